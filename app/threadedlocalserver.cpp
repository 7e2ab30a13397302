#include "app/threadedlocalserver.h"

#include "app/localthread.h"

#include <unistd.h>

ThreadedLocalServer::ThreadedLocalServer(const QString &key, QObject *parent)
    : QLocalServer(parent), serverKey(key)
{
    // When an accept fails, as when we run out of descriptors, Qt closes the
    // server and removes its socket file without a word: nobody could reach
    // us again, while the marker still turns every later start away.
    watch.setInterval(watchInterval);
    connect(&watch, &QTimer::timeout, this, &ThreadedLocalServer::keepListening);
    watch.start();
}

ThreadedLocalServer::~ThreadedLocalServer()
{
    watch.stop();
    close();
    // Joined here, while this object is still whole: a thread that is still
    // running may be about to signal us.
    const auto threads = findChildren<LocalThread *>(Qt::FindDirectChildrenOnly);
    for (LocalThread *thread : threads)
        thread->requestInterruption();
    qDeleteAll(threads);
}

bool ThreadedLocalServer::listen(const QString &name)
{
    if (!QLocalServer::listen(name))
        return false;
    listeningOn = fullServerName();
    return true;
}

void ThreadedLocalServer::keepListening()
{
    if (isListening() || listeningOn.isEmpty())
        return;
    if (!lost)
        qWarning("ThreadedLocalServer: stopped listening on %s (%s); trying again",
                 qUtf8Printable(listeningOn), qUtf8Printable(errorString()));
    lost = true;
    // Still ours: we hold the marker.
    removeServer(listeningOn);
    if (QLocalServer::listen(listeningOn)) {
        qWarning("ThreadedLocalServer: listening again on %s", qUtf8Printable(listeningOn));
        lost = false;
    }
}

void ThreadedLocalServer::incomingConnection(quintptr socketDescriptor)
{
    // A thread per connection: a flood would otherwise cost a thread each.
    if (findChildren<LocalThread *>(Qt::FindDirectChildrenOnly).size() >= maxConnections) {
        ::close(int(socketDescriptor));
        if (!refusing)
            qWarning("ThreadedLocalServer: %d connections open; closing new ones until one ends",
                     maxConnections);
        refusing = true;
        return;
    }
    refusing = false;
    auto *thread = new LocalThread(socketDescriptor, serverKey, this);
    connect(thread, &LocalThread::messageReceived, this, &ThreadedLocalServer::messageReceived,
            Qt::QueuedConnection);
    connect(thread, &QThread::finished, thread, &QObject::deleteLater, Qt::QueuedConnection);
    thread->start();
}
