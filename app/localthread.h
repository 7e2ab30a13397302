#pragma once

#include <QSemaphore>
#include <QString>
#include <QThread>

class QLocalSocket;
class QTimer;

// Serves one accepted connection of the instance channel on a thread of its
// own: greets with the key, then acknowledges and signals every message.
// What one connection may cost is bounded: a frame no larger than the
// reader accepts is buffered, a peer that reads none of its
// acknowledgements or sends no whole frame for a while is dropped, and
// reading waits while its messages are still on their way to the server's
// thread.
class LocalThread : public QThread
{
    Q_OBJECT

public:
    LocalThread(quintptr socketDescriptor, const QString &key, QObject *parent);
    // Ends the connection if it is still open and joins the thread.
    ~LocalThread() override;

    // Called on the server's thread for each message it has passed on.
    void messageDelivered(const QString &message);

    // Timeout for the greeting to be written.
    static constexpr int writeTimeout = 500;
    // A connection that brings no whole frame for this long is dropped.
    static constexpr int idleTimeout = 5000;
    // Acknowledgements the peer has not read, in bytes, beyond the system's
    // buffer: past this the peer is dropped.
    static constexpr qint64 maxUnreadAcknowledgements = 64 * 1024;
    // Bytes of text signalled but not yet passed on by the server's thread.
    static constexpr int maxUndelivered = 2 * 1024 * 1024;

signals:
    void messageReceived(const QString &message);
    // From the server's thread: written to the peer on the connection's.
    void answerReady(const QString &answer);

protected:
    void run() override;

private slots:
    void readyRead();

private:
    static int costOf(const QString &message);
    bool waitForRoom(int cost);

    quintptr socketDescriptor;
    QString key;
    // Lives on this thread only, while run() executes.
    QLocalSocket *socket = nullptr;
    QTimer *idle = nullptr;
    QSemaphore room{maxUndelivered};
};
