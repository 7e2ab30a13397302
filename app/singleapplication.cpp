#include "app/singleapplication.h"

#include "settings/useraccount.h"

#include "app/localmessage.h"
#include "app/privatedirectory.h"
#include "app/threadedlocalserver.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QFile>
#include <QHash>
#include <QLocalSocket>
#include <QMutex>
#include <QPointer>
#include <QReadWriteLock>
#include <QRegularExpression>
#include <QThread>

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace {

// Servers started in this process, by unique key, and the private
// directories, looked up once.
struct ServerRegistry
{
    QReadWriteLock lock;
    QHash<QString, QPointer<ThreadedLocalServer>> servers;
    QStringList candidates;
    bool resolved = false;
    std::vector<PrivateDirectory> directories;
    QString directoryError;
    // Still open: guards and owners made before a change of candidates use
    // their descriptors.
    std::vector<PrivateDirectory> retired;
};

ServerRegistry &serverRegistry()
{
    static ServerRegistry registry;
    return registry;
}

// Under the registry's write lock.
const std::vector<PrivateDirectory> &privateDirectories(ServerRegistry &registry, QString *error)
{
    if (!registry.resolved) {
        const QStringList candidates = registry.candidates.isEmpty()
                                           ? PrivateDirectory::candidates(::geteuid())
                                           : registry.candidates;
        registry.directories = PrivateDirectory::resolve(candidates, &registry.directoryError);
        registry.resolved = true;
    }
    *error = registry.directoryError;
    return registry.directories;
}

QString loginName()
{
    const QByteArray name = currentUserAccount().name;
    if (!name.isEmpty())
        return QString::fromLocal8Bit(name);
    // Containers often run under a uid with no password entry.
    return QString::number(geteuid());
}

QString errnoText(int number)
{
    return QString::fromLocal8Bit(std::strerror(number));
}

// The file name Qt gave the key file of the old shared-memory marker.
QString markerName(const QString &uniqueKey)
{
    QString name = QStringLiteral("qipc_sharedmemory_");
    for (QChar c : uniqueKey)
        if ((c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z'))
            name += c;
    return name +
           QString::fromLatin1(
               QCryptographicHash::hash(uniqueKey.toUtf8(), QCryptographicHash::Sha1).toHex());
}

// Finding, taking and giving up the marker and the server is one step per
// user: without it a start could lock a marker file that an exiting owner is
// about to remove, or lose its fresh socket to it. A start that is stopped
// while it holds the lock must not stall every later one, so the wait ends.
class DirectoryLocks
{
public:
    DirectoryLocks() = default;
    DirectoryLocks(const DirectoryLocks &) = delete;
    DirectoryLocks &operator=(const DirectoryLocks &) = delete;
    ~DirectoryLocks()
    {
        for (int fd : held)
            ::flock(fd, LOCK_UN);
    }

    // In the candidates' order, so that two starts never wait on each other.
    bool lock(const std::vector<int> &fds, const QStringList &paths, QString *error)
    {
        const QDeadlineTimer deadline(SingleApplication::directoryLockTimeout);
        for (std::size_t i = 0; i < fds.size(); ++i) {
            while (::flock(fds[i], LOCK_EX | LOCK_NB) != 0) {
                if (errno == EINTR)
                    continue;
                if (errno != EWOULDBLOCK) {
                    *error = QStringLiteral("cannot lock %1: %2")
                                 .arg(paths.at(int(i)), errnoText(errno));
                    return false;
                }
                if (deadline.hasExpired()) {
                    *error = QStringLiteral("%1 has been locked by another start or exit for "
                                            "more than %2 s")
                                 .arg(paths.at(int(i)))
                                 .arg(SingleApplication::directoryLockTimeout / 1000);
                    return false;
                }
                QThread::msleep(10);
            }
            held.push_back(fds[i]);
        }
        return true;
    }

private:
    std::vector<int> held;
};

// What the owning instance holds until the application object goes: the
// markers, and a server in each directory, so that a later start finds us in
// whichever of them it can use. The servers and their sockets go first, the markers last: a start
// landing in between never has its fresh socket removed by us.
class InstanceHold : public QObject
{
public:
    explicit InstanceHold(QObject *parent) : QObject(parent) {}
    ~InstanceHold() override
    {
        if (!armed)
            return;
        const QWriteLocker locker(&serverRegistry().lock);
        DirectoryLocks locks;
        QString error;
        // Without the lock the marker files stay: harmless, and a start in
        // the middle of its check never sees one vanish.
        const bool locked = locks.lock(directoryFds, paths, &error);
        qDeleteAll(findChildren<ThreadedLocalServer *>());
        for (int fd : directoryFds)
            ::unlinkat(fd, QFile::encodeName(socketName).constData(), 0);
        for (std::size_t i = 0; i < markerFds.size(); ++i) {
            if (locked)
                ::unlinkat(directoryFds[i], QFile::encodeName(markerFile).constData(), 0);
            ::close(markerFds[i]);
        }
    }

    std::vector<int> directoryFds;
    QStringList paths;
    std::vector<int> markerFds;
    QString socketName;
    QString markerFile;
    // Set once everything is in place.
    bool armed = false;
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
    // Where a running instance may listen, through our descriptors.
    QList<QByteArray> serverAddresses;
    QLocalSocket *socket = nullptr;
    bool running = false;
    QString error;
};

void SingleApplicationPrivate::init(const QString &rawKey)
{
    key = SingleApplication::cleanKey(rawKey);
    uniqueKey = SingleApplication::uniqueKey(key, SingleApplication::currentUserName());

    ServerRegistry &registry = serverRegistry();
    const QWriteLocker locker(&registry.lock);

    if (ThreadedLocalServer *server = registry.servers.value(uniqueKey)) {
        QObject::connect(server, &ThreadedLocalServer::messageReceived, q,
                         &SingleApplication::messageReceived, Qt::QueuedConnection);
        return;
    }

    const std::vector<PrivateDirectory> &directories = privateDirectories(registry, &error);
    if (directories.empty())
        return;
    std::vector<int> fds;
    QStringList paths;
    for (const PrivateDirectory &directory : directories) {
        fds.push_back(directory.descriptor());
        paths << directory.path();
        serverAddresses << directory.address(uniqueKey);
    }
    if (std::size_t(serverAddresses.front().size()) >= ThreadedLocalServer::maxAddressSize) {
        error = QStringLiteral("the socket name %1 is too long for a local socket")
                    .arg(SingleApplication::serverPath(paths.front(), uniqueKey));
        return;
    }

    DirectoryLocks locks;
    if (!locks.lock(fds, paths, &error))
        return;

    const QByteArray markerFile = QFile::encodeName(markerName(uniqueKey));
    std::vector<int> markers;
    const auto release = [&markers] {
        for (int fd : markers)
            ::close(fd);
    };
    for (std::size_t i = 0; i < fds.size(); ++i) {
        const int fd = ::openat(fds[i], markerFile.constData(),
                                O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, 0600);
        if (fd < 0) {
            error = QStringLiteral("marker %1: %2")
                        .arg(SingleApplication::markerPath(paths.at(int(i)), uniqueKey),
                             errnoText(errno));
            release();
            return;
        }
        markers.push_back(fd);
        int locked;
        while ((locked = ::flock(fd, LOCK_EX | LOCK_NB)) != 0 && errno == EINTR) {
        }
        if (locked != 0) {
            if (errno == EWOULDBLOCK)
                running = true;
            else
                error = QStringLiteral("cannot lock the marker %1: %2")
                            .arg(SingleApplication::markerPath(paths.at(int(i)), uniqueKey),
                                 errnoText(errno));
            release();
            return;
        }
    }

    // Marker and servers outlive this guard: they belong to the application.
    QObject *owner = QCoreApplication::instance();
    if (!owner)
        owner = q;
    auto *hold = new InstanceHold(nullptr);
    hold->directoryFds = fds;
    hold->paths = paths;
    hold->markerFds = markers;
    hold->socketName = uniqueKey;
    hold->markerFile = QFile::decodeName(markerFile);
    // We hold every marker: whatever is at a socket's path was left by a crash.
    ThreadedLocalServer *first = nullptr;
    for (std::size_t i = 0; i < fds.size(); ++i) {
        auto *server = new ThreadedLocalServer(key, hold);
        if (!server->listenIn(fds[i], uniqueKey,
                              SingleApplication::serverPath(paths.at(int(i)), uniqueKey), &error)) {
            delete hold;
            for (int fd : fds)
                ::unlinkat(fd, QFile::encodeName(uniqueKey).constData(), 0);
            release();
            return;
        }
        if (first)
            QObject::connect(server, &ThreadedLocalServer::messageReceived, first,
                             &ThreadedLocalServer::messageReceived);
        else
            first = server;
    }
    hold->armed = true;
    hold->setParent(owner);
    registry.servers.insert(uniqueKey, first);
    QObject::connect(first, &ThreadedLocalServer::messageReceived, q,
                     &SingleApplication::messageReceived, Qt::QueuedConnection);
}

bool SingleApplicationPrivate::connectToInstance()
{
    if (socket && socket->state() == QLocalSocket::ConnectedState)
        return true;
    if (!socket)
        socket = new QLocalSocket(q);

    // The owner listens in every directory it found; we may know fewer.
    for (const QByteArray &address : std::as_const(serverAddresses)) {
        socket->connectToServer(QFile::decodeName(address), QIODevice::ReadWrite);
        if (!socket->waitForConnected(SingleApplication::connectTimeout)) {
            socket->abort();
            continue;
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
    }
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

QString SingleApplication::errorString() const
{
    return d->error;
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

QStringList SingleApplication::candidateDirectories()
{
    ServerRegistry &registry = serverRegistry();
    const QReadLocker locker(&registry.lock);
    return registry.candidates.isEmpty() ? PrivateDirectory::candidates(::geteuid())
                                         : registry.candidates;
}

void SingleApplication::setCandidateDirectories(const QStringList &directories)
{
    ServerRegistry &registry = serverRegistry();
    const QWriteLocker locker(&registry.lock);
    registry.candidates = directories;
    registry.resolved = false;
    for (PrivateDirectory &directory : registry.directories)
        registry.retired.push_back(std::move(directory));
    registry.directories.clear();
}

QString SingleApplication::serverPath(const QString &directory, const QString &uniqueKey)
{
    return directory + QLatin1Char('/') + uniqueKey;
}

QString SingleApplication::markerPath(const QString &directory, const QString &uniqueKey)
{
    return directory + QLatin1Char('/') + markerName(uniqueKey);
}
