#pragma once

#include <QLocalServer>
#include <QString>

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

signals:
    void messageReceived(const QString &message);

protected:
    void incomingConnection(quintptr socketDescriptor) override;

private:
    const QString serverKey;
};
