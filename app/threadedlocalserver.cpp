#include "app/threadedlocalserver.h"

#include "app/localthread.h"
#include "app/say.h"

#include <QFile>

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

const std::size_t ThreadedLocalServer::maxAddressSize = sizeof(sockaddr_un::sun_path);

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

bool ThreadedLocalServer::listenIn(int directoryFd, const QString &name, const QString &path,
                                   QString *error)
{
    const QByteArray entry = QFile::encodeName(name);
    const QByteArray address = "/proc/self/fd/" + QByteArray::number(directoryFd) + '/' + entry;
    if (std::size_t(address.size()) >= maxAddressSize) {
        *error = QStringLiteral("the socket name %1 is too long for a local socket").arg(path);
        return false;
    }
    // We hold the marker, so whatever is there was left by a crash.
    if (::unlinkat(directoryFd, entry.constData(), 0) != 0 && errno == EISDIR &&
        ::unlinkat(directoryFd, entry.constData(), AT_REMOVEDIR) != 0) {
        *error = QStringLiteral("a directory is in the way of the socket %1: %2")
                     .arg(path, errnoText(errno));
        return false;
    }
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un socketAddress = {};
    socketAddress.sun_family = AF_UNIX;
    std::memcpy(socketAddress.sun_path, address.constData(), std::size_t(address.size()));
    if (fd < 0 ||
        ::bind(fd, reinterpret_cast<const sockaddr *>(&socketAddress), sizeof socketAddress) != 0 ||
        ::listen(fd, 50) != 0) {
        *error = QStringLiteral("cannot listen on %1: %2").arg(path, errnoText(errno));
        if (fd >= 0)
            ::close(fd);
        return false;
    }
    if (!QLocalServer::listen(qintptr(fd))) {
        *error = QStringLiteral("cannot listen on %1: %2").arg(path, errorString());
        ::close(fd);
        return false;
    }
    listeningOn = path;
    listeningDirectory = directoryFd;
    listeningName = name;
    return true;
}

bool ThreadedLocalServer::listenAgain()
{
    if (listeningDirectory >= 0) {
        QString error;
        return listenIn(listeningDirectory, listeningName, listeningOn, &error);
    }
    // Still ours: we hold the marker.
    removeServer(listeningOn);
    return QLocalServer::listen(listeningOn);
}

std::function<QString(const QString &)> ThreadedLocalServer::answerer;

void ThreadedLocalServer::keepListening()
{
    if (isListening() || listeningOn.isEmpty())
        return;
    if (!lost)
        say(QStringLiteral("ThreadedLocalServer: stopped listening on %1 (%2); trying again")
                .arg(listeningOn, errorString()));
    lost = true;
    if (listenAgain()) {
        say(QStringLiteral("ThreadedLocalServer: listening again on %1").arg(listeningOn));
        lost = false;
    }
}

int ThreadedLocalServer::descriptorsLeft()
{
    rlimit limit = {};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY ||
        limit.rlim_cur > rlim_t(INT_MAX))
        return INT_MAX;
    DIR *open = ::opendir("/proc/self/fd");
    if (!open)
        return errno == EMFILE || errno == ENFILE ? 0 : INT_MAX;
    // ".", ".." and the listing's own descriptor.
    int count = -3;
    while (::readdir(open))
        ++count;
    ::closedir(open);
    return int(limit.rlim_cur) - count;
}

void ThreadedLocalServer::incomingConnection(quintptr socketDescriptor)
{
    // A thread per connection: a flood would otherwise cost a thread each,
    // and a thread that cannot make its wakeup descriptors aborts the process.
    // Threads not yet started have not made theirs: they are counted ahead.
    const int open = int(findChildren<LocalThread *>(Qt::FindDirectChildrenOnly).size());
    if (open >= maxConnections || descriptorsLeft() - starting * descriptorsPerConnection <
                                      descriptorsPerConnection + descriptorReserve) {
        refuse(socketDescriptor, open >= maxConnections
                                     ? QStringLiteral("%1 connections open").arg(open)
                                     : QStringLiteral("descriptors running short"));
        return;
    }
    auto *thread = new LocalThread(socketDescriptor, serverKey, this);
    // Passed on here, on our thread; the connection's thread reads on only
    // while what it sent is not piling up.
    connect(
        thread, &LocalThread::messageReceived, thread,
        [this, thread](const QString &message) {
            thread->messageDelivered(message);
            // Handled now, so that the answer says what was done.
            if (answerer) {
                const QString answer = answerer(message);
                if (!answer.isNull())
                    emit thread->answerReady(answer);
            }
            emit messageReceived(message);
        },
        Qt::QueuedConnection);
    connect(thread, &QThread::finished, thread, &QObject::deleteLater, Qt::QueuedConnection);
    connect(
        thread, &QThread::started, this, [this] { --starting; }, Qt::QueuedConnection);
    ++starting;
    thread->start();
    // Never waited for: with no thread to spare the start fails at once.
    if (!thread->isRunning() && !thread->isFinished()) {
        --starting;
        delete thread;
        refuse(socketDescriptor, QStringLiteral("no thread to spare"));
        return;
    }
    refusing = false;
}

void ThreadedLocalServer::refuse(quintptr socketDescriptor, const QString &why)
{
    ::close(int(socketDescriptor));
    if (!refusing)
        say(QStringLiteral("ThreadedLocalServer: %1; closing new connections until one ends")
                .arg(why));
    refusing = true;
}
