#include "app/localthread.h"

#include "app/localmessage.h"

#include <QLocalSocket>
#include <QTimer>

#include <memory>

LocalThread::LocalThread(quintptr socketDescriptor, const QString &key, QObject *parent)
    : QThread(parent), socketDescriptor(socketDescriptor), key(key)
{
}

LocalThread::~LocalThread()
{
    // Interruption cuts short a wait for room; quit() ends the event loop, or
    // makes exec() return at once if it is not yet running.
    requestInterruption();
    quit();
    wait();
}

void LocalThread::messageDelivered(const QString &message)
{
    room.release(costOf(message));
}

int LocalThread::costOf(const QString &message)
{
    return int(qMin<qsizetype>(message.size() * 2 + 1, maxUndelivered));
}

void LocalThread::run()
{
    auto connection = std::make_unique<QLocalSocket>();
    socket = connection.get();
    // A whole frame fits, and no more waits here for us to read it.
    socket->setReadBufferSize(4 + LocalMessage::maxFrameSize);
    // This object lives on the thread that created it; the socket's signals
    // must be handled here, on the connection's own thread.
    connect(socket, &QLocalSocket::readyRead, this, &LocalThread::readyRead, Qt::DirectConnection);
    connect(socket, &QLocalSocket::disconnected, this, &QThread::quit, Qt::DirectConnection);
    connect(this, &LocalThread::answerReady, socket,
            [s = socket](const QString &answer) { writeMessage(s, answer, writeTimeout); });
    QTimer timer;
    idle = &timer;
    timer.setSingleShot(true);
    timer.setInterval(idleTimeout);
    connect(&timer, &QTimer::timeout, socket, &QLocalSocket::abort, Qt::DirectConnection);

    if (socket->setSocketDescriptor(socketDescriptor, QLocalSocket::ConnectedState,
                                    QIODevice::ReadWrite) &&
        socket->state() == QLocalSocket::ConnectedState &&
        writeMessage(socket, key, writeTimeout)) {
        timer.start();
        // What came with the connection, before our handler was there.
        if (socket->bytesAvailable() > 0)
            readyRead();
        if (socket->state() == QLocalSocket::ConnectedState)
            exec();
    }

    idle = nullptr;
    socket = nullptr;
}

bool LocalThread::waitForRoom(int cost)
{
    while (!room.tryAcquire(cost, 100))
        if (isInterruptionRequested())
            return false;
    return true;
}

void LocalThread::readyRead()
{
    // Stops at the first frame that cannot be completed: its bytes wait for
    // the next readyRead, and a peer that has gone leaves nothing to spin on.
    // Stops as well when asked to, so that teardown never waits on a peer.
    QString message;
    while (!isInterruptionRequested() && takeMessage(socket, &message) == FrameState::Whole) {
        idle->start();
        writeMessage(socket, key, 0);
        if (socket->bytesToWrite() > maxUnreadAcknowledgements) {
            socket->abort();
            break;
        }
        if (!waitForRoom(costOf(message)))
            break;
        emit messageReceived(message);
    }
    if (socket->state() != QLocalSocket::ConnectedState)
        quit();
}
