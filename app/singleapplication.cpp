#include "app/singleapplication.h"

#include "app/localmessage.h"
#include "app/threadedlocalserver.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QLocalSocket>
#include <QMutex>
#include <QPointer>
#include <QReadWriteLock>
#include <QRegularExpression>
#include <QSharedMemory>
#include <QThread>

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

namespace {

// Servers started in this process, by unique key; a null entry stands for a
// server that could not listen.
struct ServerRegistry
{
    QReadWriteLock lock;
    QHash<QString, QPointer<ThreadedLocalServer>> servers;
};

ServerRegistry &serverRegistry()
{
    static ServerRegistry registry;
    return registry;
}

QString loginName()
{
    const uid_t uid = geteuid();
    long bufferSize = sysconf(_SC_GETPW_R_SIZE_MAX);
    if (bufferSize <= 0)
        bufferSize = 1024;
    std::vector<char> buffer(static_cast<std::size_t>(bufferSize));
    passwd entry{};
    passwd *found = nullptr;
    int error = 0;
    while ((error = getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found)) == ERANGE &&
           buffer.size() < 1024 * 1024)
        buffer.resize(buffer.size() * 2);
    if (error == 0 && found && found->pw_name && *found->pw_name)
        return QString::fromLocal8Bit(found->pw_name);
    // Containers often run under a uid with no password entry.
    return QString::number(uid);
}

QString errnoText()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

// Nobody else may place, replace or remove anything in it.
bool isPrivate(const QString &path, QString *why)
{
    struct stat info = {};
    if (::lstat(QFile::encodeName(path).constData(), &info) != 0)
        *why = errnoText();
    else if (S_ISLNK(info.st_mode))
        *why = QStringLiteral("is a symbolic link");
    else if (!S_ISDIR(info.st_mode))
        *why = QStringLiteral("is not a directory");
    else if (info.st_uid != geteuid())
        *why = QStringLiteral("belongs to uid %1").arg(info.st_uid);
    else if (info.st_mode & 077)
        *why = QStringLiteral("is open to other users (mode %1)")
                   .arg(info.st_mode & 07777, 4, 8, QLatin1Char('0'));
    else
        return true;
    return false;
}

// Finding, taking and giving up the marker and the server is one step per
// process: without it a start can clear a segment that another is creating,
// or lose its fresh socket to an instance on its way out.
class DirectoryLock
{
public:
    explicit DirectoryLock(const QString &directory)
        : fd(::open(QFile::encodeName(directory).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC))
    {
        // Without a descriptor to spare we go on unlocked, as before.
        while (fd >= 0 && ::flock(fd, LOCK_EX) != 0 && errno == EINTR) {
        }
    }
    ~DirectoryLock()
    {
        if (fd >= 0)
            ::close(fd);
    }
    DirectoryLock(const DirectoryLock &) = delete;
    DirectoryLock &operator=(const DirectoryLock &) = delete;

private:
    int fd;
};

// What the owning instance holds until the application object goes. The
// server goes first, so that a start landing in between never has its fresh
// socket removed by us.
class InstanceHold : public QObject
{
public:
    InstanceHold(const QString &directory, QObject *parent) : QObject(parent), directory(directory)
    {
    }
    ~InstanceHold() override
    {
        const DirectoryLock lock(directory);
        delete server;
        delete marker;
    }

    const QString directory;
    QPointer<ThreadedLocalServer> server;
    QPointer<QSharedMemory> marker;
};

} // namespace

class SingleApplicationPrivate
{
public:
    explicit SingleApplicationPrivate(SingleApplication *q) : q(q) {}

    void init(const QString &rawKey);
    bool connectToInstance();

    SingleApplication *q;
    QString key;
    QString uniqueKey;
    QString serverName;
    QLocalSocket *socket = nullptr;
    bool running = false;
};

void SingleApplicationPrivate::init(const QString &rawKey)
{
    key = SingleApplication::cleanKey(rawKey);
    uniqueKey = SingleApplication::uniqueKey(key, SingleApplication::currentUserName());
    QString error;
    const QString directory = SingleApplication::privateDirectory(&error);
    serverName = SingleApplication::serverPath(directory, uniqueKey);

    ServerRegistry &registry = serverRegistry();
    QWriteLocker locker(&registry.lock);

    if (ThreadedLocalServer *server = registry.servers.value(uniqueKey)) {
        QObject::connect(server, &ThreadedLocalServer::messageReceived, q,
                         &SingleApplication::messageReceived, Qt::QueuedConnection);
        return;
    }

    if (directory.isEmpty()) {
        qWarning("QSharedMemory::create: %s (Used key is '%s')", error.toUtf8().constData(),
                 uniqueKey.toLatin1().constData());
        return;
    }
    const DirectoryLock lock(directory);

    auto marker = std::make_unique<QSharedMemory>();
    marker->setNativeKey(SingleApplication::markerPath(directory, uniqueKey));
    // A segment left by a crashed instance has no process attached; attaching
    // and detaching again removes it, while a live instance's stays.
    if (marker->attach())
        marker->detach();
    bool created = false;
    for (int attempt = 1; !created; ++attempt) {
        created = marker->create(1, QSharedMemory::ReadWrite);
        if (created || marker->error() == QSharedMemory::AlreadyExists ||
            attempt == SingleApplication::createAttempts)
            break;
        QThread::msleep(10 * attempt);
    }
    if (!created) {
        running = marker->error() == QSharedMemory::AlreadyExists;
        if (!running)
            qWarning("QSharedMemory::create: %s (Used key is '%s')",
                     marker->errorString().toUtf8().constData(), uniqueKey.toLatin1().constData());
        return;
    }

    // Marker and server outlive this guard: they belong to the application.
    QObject *owner = QCoreApplication::instance();
    if (!owner)
        owner = q;
    auto *hold = new InstanceHold(directory, owner);
    marker->setParent(hold);
    hold->marker = marker.release();

    auto *server = new ThreadedLocalServer(key, hold);
    server->setSocketOptions(QLocalServer::UserAccessOption);
    // We hold the marker now, so whatever is at the socket's path was left
    // by a crash: a socket file, or an empty directory.
    QLocalServer::removeServer(serverName);
    QDir().rmdir(serverName);
    if (!server->listen(serverName)) {
        qWarning("QLocalServer::listen: %s (Used key is '%s')",
                 server->errorString().toUtf8().constData(), uniqueKey.toLatin1().constData());
        delete server;
        server = nullptr;
    }
    hold->server = server;
    registry.servers.insert(uniqueKey, server);
    if (server)
        QObject::connect(server, &ThreadedLocalServer::messageReceived, q,
                         &SingleApplication::messageReceived, Qt::QueuedConnection);
}

bool SingleApplicationPrivate::connectToInstance()
{
    if (socket && socket->state() == QLocalSocket::ConnectedState)
        return true;
    if (!socket)
        socket = new QLocalSocket(q);

    socket->connectToServer(serverName, QIODevice::ReadWrite);
    if (!socket->waitForConnected(SingleApplication::connectTimeout)) {
        socket->abort();
        return false;
    }

    bool ok = false;
    const QString greeting = readMessage(socket, &ok);
    if (ok && greeting == key)
        return true;

    if (socket->state() != QLocalSocket::UnconnectedState) {
        socket->disconnectFromServer();
        if (socket->state() != QLocalSocket::UnconnectedState)
            socket->waitForDisconnected(SingleApplication::connectTimeout);
    }
    socket->abort();
    return false;
}

SingleApplication::SingleApplication(QObject *parent)
    : SingleApplication(QCoreApplication::applicationName(), parent)
{
}

SingleApplication::SingleApplication(const QString &key, QObject *parent)
    : QObject(parent), d(new SingleApplicationPrivate(this))
{
    d->init(key);
}

SingleApplication::~SingleApplication()
{
    delete d;
}

QString SingleApplication::key() const
{
    return d->key;
}

bool SingleApplication::isRunning() const
{
    return d->running;
}

bool SingleApplication::isRunning(const QString &key)
{
    const SingleApplication probe(key, nullptr);
    return probe.isRunning();
}

bool SingleApplication::sendMessage(const QString &key, const QString &message, int timeout)
{
    SingleApplication sender(key, nullptr);
    return sender.sendMessage(message, timeout);
}

bool SingleApplication::sendMessage(const QString &message, int timeout)
{
    if (!d->running)
        return false;
    if (!d->connectToInstance())
        return false;
    if (!writeMessage(d->socket, message, timeout))
        return false;
    bool ok = false;
    const QString acknowledgement = readMessage(d->socket, &ok);
    return ok && acknowledgement == d->key;
}

QString SingleApplication::cleanKey(const QString &key)
{
    static const QRegularExpression notAlphanumeric(QStringLiteral("[^A-Za-z0-9]"));
    QString cleaned = key;
    cleaned.remove(notAlphanumeric);
    if (cleaned.isEmpty())
        cleaned = QStringLiteral("SADEFAULTKEY");
    return cleaned;
}

QString SingleApplication::uniqueKey(const QString &cleanedKey, const QString &userName)
{
    return QStringLiteral("_sa_") + cleanedKey + QLatin1Char('_') +
           QString::fromLatin1(userName.toUtf8().toHex());
}

QString SingleApplication::currentUserName()
{
    static QMutex mutex;
    static QString name;
    const QMutexLocker locker(&mutex);
    if (name.isEmpty())
        name = loginName();
    return name;
}

QString SingleApplication::privateDirectory(QString *error)
{
    return privateDirectory(qEnvironmentVariable("XDG_RUNTIME_DIR"),
                            QStringLiteral("/tmp/brantolex-%1").arg(geteuid()), error);
}

QString SingleApplication::privateDirectory(const QString &runtimeDir, const QString &fallback,
                                            QString *error)
{
    QString why;
    if (QDir::isAbsolutePath(runtimeDir) && isPrivate(runtimeDir, &why))
        return QDir::cleanPath(runtimeDir);

    if (::mkdir(QFile::encodeName(fallback).constData(), 0700) != 0 && errno != EEXIST)
        why = errnoText();
    else if (isPrivate(fallback, &why))
        return fallback;
    if (error)
        *error = QStringLiteral("private directory %1: %2; set XDG_RUNTIME_DIR to a directory of "
                                "your own, mode 0700")
                     .arg(fallback, why);
    return QString();
}

QString SingleApplication::serverPath(const QString &directory, const QString &uniqueKey)
{
    return directory + QLatin1Char('/') + uniqueKey;
}

QString SingleApplication::markerPath(const QString &directory, const QString &uniqueKey)
{
    return directory + QLatin1Char('/') +
           QFileInfo(QSharedMemory(uniqueKey).nativeKey()).fileName();
}
