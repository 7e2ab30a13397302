#include "app/localthread.h"

#include "app/localmessage.h"

#include <QLocalSocket>

#include <memory>

LocalThread::LocalThread(quintptr socketDescriptor, const QString &key, QObject *parent)
    : QThread(parent), socketDescriptor(socketDescriptor), key(key)
{
}

LocalThread::~LocalThread()
{
    // Interruption cuts short a frame that is still trickling in; quit() ends
    // the event loop, or makes exec() return at once if it is not yet running.
    requestInterruption();
    quit();
    wait();
}

void LocalThread::run()
{
    auto connection = std::make_unique<QLocalSocket>();
    socket = connection.get();
    // This object lives on the thread that created it; the socket's signals
    // must be handled here, on the connection's own thread.
    connect(socket, &QLocalSocket::readyRead, this, &LocalThread::readyRead, Qt::DirectConnection);
    connect(socket, &QLocalSocket::disconnected, this, &QThread::quit, Qt::DirectConnection);

    if (socket->setSocketDescriptor(socketDescriptor, QLocalSocket::ConnectedState,
                                    QIODevice::ReadWrite) &&
        socket->state() == QLocalSocket::ConnectedState && writeMessage(socket, key, writeTimeout))
        exec();

    socket = nullptr;
}

void LocalThread::readyRead()
{
    // Stops at the first frame that cannot be completed: its bytes wait for
    // the next readyRead, and a peer that has gone leaves nothing to spin on.
    // Stops as well when asked to: a peer that sends much and reads none of
    // the acknowledgements would otherwise hold up teardown 500 ms per frame.
    while (socket->bytesAvailable() > 0 && !isInterruptionRequested()) {
        bool ok = false;
        const QString message = readMessage(socket, &ok);
        if (!ok)
            break;
        writeMessage(socket, key, writeTimeout);
        emit messageReceived(message);
    }
    if (socket->state() != QLocalSocket::ConnectedState)
        quit();
}
