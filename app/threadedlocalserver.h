#pragma once

#include <QLocalServer>
#include <QString>
#include <QTimer>

// The local server of the instance that owns the marker; every connection is
// served by a LocalThread of its own.
class ThreadedLocalServer : public QLocalServer
{
    Q_OBJECT

public:
    ThreadedLocalServer(const QString &key, QObject *parent);
    // Closes the connections still open and joins their threads.
    ~ThreadedLocalServer() override;

    QString key() const { return serverKey; }

    // Hides QLocalServer's to remember the name: once listening, the server
    // listens again on it whenever Qt has closed it, until it is destroyed.
    bool listen(const QString &name);

    // Beyond this many open connections a new one is closed at once.
    static constexpr int maxConnections = 64;
    // How often we check that the server still listens.
    static constexpr int watchInterval = 250;

signals:
    void messageReceived(const QString &message);

protected:
    void incomingConnection(quintptr socketDescriptor) override;

private:
    void keepListening();

    const QString serverKey;
    QTimer watch;
    QString listeningOn;
    bool lost = false;
    bool refusing = false;
};
