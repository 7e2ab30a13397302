#pragma once

#include <QString>
#include <QThread>

class QLocalSocket;

// Serves one accepted connection of the instance channel on a thread of its
// own: greets with the key, then acknowledges and signals every message.
class LocalThread : public QThread
{
    Q_OBJECT

public:
    LocalThread(quintptr socketDescriptor, const QString &key, QObject *parent);
    // Ends the connection if it is still open and joins the thread.
    ~LocalThread() override;

    // Timeout for the greeting and each acknowledgement to be written.
    static constexpr int writeTimeout = 500;

signals:
    void messageReceived(const QString &message);

protected:
    void run() override;

private slots:
    void readyRead();

private:
    quintptr socketDescriptor;
    QString key;
    // Lives on this thread only, while run() executes.
    QLocalSocket *socket = nullptr;
};
