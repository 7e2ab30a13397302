#include "app/threadedlocalserver.h"

#include "app/localthread.h"

ThreadedLocalServer::ThreadedLocalServer(const QString &key, QObject *parent)
    : QLocalServer(parent), serverKey(key)
{
}

ThreadedLocalServer::~ThreadedLocalServer()
{
    close();
    // Joined here, while this object is still whole: a thread that is still
    // running may be about to signal us.
    const auto threads = findChildren<LocalThread *>(Qt::FindDirectChildrenOnly);
    for (LocalThread *thread : threads)
        thread->requestInterruption();
    qDeleteAll(threads);
}

void ThreadedLocalServer::incomingConnection(quintptr socketDescriptor)
{
    auto *thread = new LocalThread(socketDescriptor, serverKey, this);
    connect(thread, &LocalThread::messageReceived, this, &ThreadedLocalServer::messageReceived,
            Qt::QueuedConnection);
    connect(thread, &QThread::finished, thread, &QObject::deleteLater, Qt::QueuedConnection);
    thread->start();
}
