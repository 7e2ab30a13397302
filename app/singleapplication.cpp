#include "app/singleapplication.h"

#include "app/say.h"
#include "settings/useraccount.h"

#include "app/localmessage.h"
#include "app/privatedirectory.h"
#include "app/threadedlocalserver.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QLocalSocket>
#include <QMutex>
#include <QPointer>
#include <QReadWriteLock>
#include <QRegularExpression>
#include <QSet>
#include <QSysInfo>
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
    // Unique keys whose markers this process holds, with a server or none.
    QSet<QString> owned;
    QStringList candidates;
    bool resolved = false;
    std::vector<PrivateDirectory> directories;
    QString directoryError;
    QStringList refused;
    // The lasting place beside the settings; tests give their own, or none.
    bool homeGiven = false;
    QString homeGivenPath;
    bool homeResolved = false;
    PrivateDirectory home;
    QString homeRefused;
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
const std::vector<PrivateDirectory> &privateDirectories(ServerRegistry &registry, QString *error,
                                                        QStringList *refused)
{
    if (!registry.resolved) {
        const QStringList candidates = registry.candidates.isEmpty()
                                           ? PrivateDirectory::candidates(::geteuid())
                                           : registry.candidates;
        registry.refused.clear();
        registry.directories =
            PrivateDirectory::resolve(candidates, &registry.directoryError, &registry.refused);
        registry.resolved = true;
    }
    *error = registry.directoryError;
    *refused << registry.refused;
    return registry.directories;
}

QString defaultHomePlace()
{
    QByteArray home = currentUserAccount().home;
    // A uid without an entry, as in containers, has only the environment.
    if (!home.startsWith('/'))
        home = qgetenv("HOME");
    if (!home.startsWith('/'))
        return QString();
    return QDir::cleanPath(QFile::decodeName(home) + QStringLiteral("/.Brantolex_Fixer"));
}

// Under the registry's write lock; invalid when there is none to be had.
const PrivateDirectory &homePlace(ServerRegistry &registry, QStringList *refused)
{
    if (!registry.homeResolved) {
        const QString path = registry.homeGiven ? registry.homeGivenPath : defaultHomePlace();
        registry.homeRefused.clear();
        if (!path.isEmpty()) {
            QString why;
            registry.home = PrivateDirectory::open(path, true, &why, true);
            if (!registry.home.isValid())
                registry.homeRefused = path + QStringLiteral(": ") + why;
        }
        registry.homeResolved = true;
    }
    if (!registry.homeRefused.isEmpty())
        *refused << registry.homeRefused;
    return registry.home;
}

// This machine's name for itself: a home shared over NFS by several machines
// holds one marker for each, so that each runs an instance of its own.
QString machineId()
{
    static const QString id = [] {
        for (const char *path : {"/etc/machine-id", "/var/lib/dbus/machine-id"}) {
            QFile file(QString::fromLatin1(path));
            if (file.open(QIODevice::ReadOnly)) {
                const QByteArray line = file.readLine(64).trimmed();
                if (!line.isEmpty() && !line.contains('/'))
                    return QString::fromLatin1(line);
            }
        }
        return QSysInfo::machineHostName().replace(QLatin1Char('/'), QLatin1Char('_'));
    }();
    return id;
}

QString loginName()
{
    const QByteArray name = currentUserAccount().name;
    if (!name.isEmpty())
        return QString::fromLocal8Bit(name);
    // Containers often run under a uid with no password entry.
    return QString::number(geteuid());
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

    // Taken in the candidates' order, so that two starts never wait on each
    // other. False, with the reason in *error, when the lock cannot be had
    // before deadline.
    bool lock(int fd, const QString &path, const QDeadlineTimer &deadline, QString *error)
    {
        while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            if (errno == EINTR)
                continue;
            if (errno != EWOULDBLOCK) {
                *error = QStringLiteral("cannot lock %1: %2").arg(path, errnoText(errno));
                return false;
            }
            if (deadline.hasExpired()) {
                *error = QStringLiteral("%1 has been locked by another start or exit for "
                                        "more than %2 s")
                             .arg(path)
                             .arg(SingleApplication::directoryLockTimeout / 1000);
                return false;
            }
            QThread::msleep(10);
        }
        held.push_back(fd);
        return true;
    }

private:
    std::vector<int> held;
};

// What the owning instance holds until the application object goes: the
// markers, and a server in each directory, so that a later start finds us in
// whichever of them it can use. The servers and their sockets go first, the
// markers last: a start landing in between never has its fresh socket
// removed by us. The marker beside the settings stays: nothing removes it
// while a start may be about to lock it.
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
        const QDeadlineTimer deadline(SingleApplication::directoryLockTimeout);
        std::vector<bool> locked;
        QString error;
        // Without the lock a marker file stays: harmless, and a start in
        // the middle of its check never sees one vanish.
        for (std::size_t i = 0; i < directoryFds.size(); ++i)
            locked.push_back(locks.lock(directoryFds[i], paths.at(int(i)), deadline, &error));
        qDeleteAll(findChildren<ThreadedLocalServer *>());
        for (int fd : directoryFds)
            ::unlinkat(fd, QFile::encodeName(socketName).constData(), 0);
        for (std::size_t i = 0; i < markerFds.size(); ++i) {
            if (locked[i])
                ::unlinkat(directoryFds[i], QFile::encodeName(markerFile).constData(), 0);
            ::close(markerFds[i]);
        }
        if (lastingMarkerFd >= 0)
            ::close(lastingMarkerFd);
    }

    // Directories whose marker we hold, each with its marker.
    std::vector<int> directoryFds;
    QStringList paths;
    std::vector<int> markerFds;
    int lastingMarkerFd = -1;
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

namespace {

// Opens and locks the marker name in the directory held as directoryFd.
// Locked: the descriptor. Another holds it: -1 and *taken. Otherwise -1
// with the reason in *why.
// The directory is ours and closed to others, so nobody can put anything
// there now: a link or another user's file at the marker's name was left
// from a time it was open, and would lock us out for good. It goes.
int lockMarker(int directoryFd, const QByteArray &name, bool *taken, QString *why)
{
    int fd = -1;
    for (int attempt = 0; attempt < 2 && fd < 0; ++attempt) {
        fd = ::openat(directoryFd, name.constData(),
                      O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, 0600);
        const int openError = errno;
        struct stat info = {};
        const bool planted =
            fd >= 0
                ? ::fstat(fd, &info) == 0 && (info.st_uid != ::geteuid() || !S_ISREG(info.st_mode))
                : ::fstatat(directoryFd, name.constData(), &info, AT_SYMLINK_NOFOLLOW) == 0 &&
                      (S_ISLNK(info.st_mode) || info.st_uid != ::geteuid());
        if (!planted) {
            errno = openError;
            break;
        }
        if (fd >= 0)
            ::close(fd);
        fd = -1;
        if (::unlinkat(directoryFd, name.constData(), 0) != 0)
            break;
        say(QStringLiteral("Brantolex Fixer: removed %1, planted where the instance's marker goes")
                .arg(QString::fromLocal8Bit(name)));
    }
    if (fd < 0) {
        *why = errnoText(errno);
        return -1;
    }
    int locked;
    while ((locked = ::flock(fd, LOCK_EX | LOCK_NB)) != 0 && errno == EINTR) {
    }
    if (locked == 0)
        return fd;
    if (errno == EWOULDBLOCK)
        *taken = true;
    else
        *why = QStringLiteral("cannot lock it: %1").arg(errnoText(errno));
    ::close(fd);
    return -1;
}

} // namespace

void SingleApplicationPrivate::init(const QString &rawKey)
{
    key = SingleApplication::cleanKey(rawKey);
    uniqueKey = SingleApplication::uniqueKey(key, SingleApplication::currentUserName());

    ServerRegistry &registry = serverRegistry();
    const QWriteLocker locker(&registry.lock);

    if (registry.owned.contains(uniqueKey)) {
        if (ThreadedLocalServer *server = registry.servers.value(uniqueKey))
            QObject::connect(server, &ThreadedLocalServer::messageReceived, q,
                             &SingleApplication::messageReceived, Qt::QueuedConnection);
        return;
    }

    // Each place that cannot be used is passed over, as long as another
    // holds the marker: the directory in /tmp may be full or taken by
    // someone else, the runtime directory gone with a logout.
    QStringList refused;
    QString directoryError;
    const std::vector<PrivateDirectory> &directories =
        privateDirectories(registry, &directoryError, &refused);
    const PrivateDirectory &home = homePlace(registry, &refused);
    for (const PrivateDirectory &directory : directories)
        serverAddresses << directory.address(uniqueKey);
    if (!directories.empty() &&
        std::size_t(serverAddresses.front().size()) >= ThreadedLocalServer::maxAddressSize) {
        error = QStringLiteral("the socket name %1 is too long for a local socket")
                    .arg(SingleApplication::serverPath(directories.front().path(), uniqueKey));
        return;
    }

    DirectoryLocks locks;
    const QDeadlineTimer deadline(SingleApplication::directoryLockTimeout);
    const QByteArray markerFile = QFile::encodeName(markerName(uniqueKey));
    auto *hold = new InstanceHold(nullptr);
    hold->socketName = uniqueKey;
    hold->markerFile = QFile::decodeName(markerFile);
    for (const PrivateDirectory &directory : directories) {
        const QString path = directory.path();
        QString why;
        int fd = -1;
        if (locks.lock(directory.descriptor(), path, deadline, &why)) {
            fd = lockMarker(directory.descriptor(), markerFile, &running, &why);
            if (running)
                break;
            if (fd < 0)
                why = QStringLiteral("marker %1: %2")
                          .arg(SingleApplication::markerPath(path, uniqueKey), why);
        }
        if (fd < 0) {
            refused << why;
            continue;
        }
        hold->directoryFds.push_back(directory.descriptor());
        hold->paths << path;
        hold->markerFds.push_back(fd);
    }
    if (!running && home.isValid()) {
        QString why;
        const QString name =
            QFileInfo(SingleApplication::lastingMarkerPath(home.path(), uniqueKey)).fileName();
        hold->lastingMarkerFd =
            lockMarker(home.descriptor(), QFile::encodeName(name), &running, &why);
        if (hold->lastingMarkerFd < 0 && !running)
            refused << QStringLiteral("marker %1: %2")
                           .arg(SingleApplication::lastingMarkerPath(home.path(), uniqueKey), why);
    }
    if (running || (hold->markerFds.empty() && hold->lastingMarkerFd < 0)) {
        if (!running)
            error =
                QStringLiteral("no private place for the instance's marker: %1")
                    .arg(refused.isEmpty() ? directoryError : refused.join(QStringLiteral("; ")));
        delete hold;
        return;
    }
    for (const QString &why : std::as_const(refused))
        say(QStringLiteral("Brantolex Fixer: passed over %1").arg(why));

    // Marker and servers outlive this guard: they belong to the application.
    QObject *owner = QCoreApplication::instance();
    if (!owner)
        owner = q;
    // We hold the markers: whatever is at a socket's path was left by a crash.
    ThreadedLocalServer *first = nullptr;
    for (std::size_t i = 0; i < hold->directoryFds.size(); ++i) {
        auto *server = new ThreadedLocalServer(key, hold);
        QString why;
        if (!server->listenIn(hold->directoryFds[i], uniqueKey,
                              SingleApplication::serverPath(hold->paths.at(int(i)), uniqueKey),
                              &why)) {
            // Later starts still see the marker; only messages cannot reach us there.
            say(QStringLiteral("QLocalServer::listen: %1 (Used key is '%2')").arg(why, uniqueKey));
            delete server;
            continue;
        }
        if (first)
            QObject::connect(server, &ThreadedLocalServer::messageReceived, first,
                             &ThreadedLocalServer::messageReceived);
        else
            first = server;
    }
    hold->armed = true;
    hold->setParent(owner);
    registry.owned.insert(uniqueKey);
    registry.servers.insert(uniqueKey, first);
    if (first)
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

namespace {
// One frame, waiting for it until the deadline.
QString readWithin(QLocalSocket *socket, const QDeadlineTimer &deadline, bool *ok)
{
    for (;;) {
        const QString text = readMessage(socket, ok);
        if (*ok || deadline.hasExpired() || socket->state() != QLocalSocket::ConnectedState)
            return text;
    }
}
} // namespace

SingleApplication::Asked SingleApplication::ask(const QString &key, const QString &message,
                                                int timeout, QString *answer)
{
    const QString cleaned = cleanKey(key);
    const QString name = uniqueKey(cleaned, currentUserName());
    const QDeadlineTimer deadline(timeout);
    bool reached = false;
    for (const QString &path : candidateDirectories()) {
        QString why;
        const PrivateDirectory directory = PrivateDirectory::open(path, false, &why);
        if (!directory.isValid())
            continue;
        QLocalSocket socket;
        socket.connectToServer(QFile::decodeName(directory.address(name)), QIODevice::ReadWrite);
        if (!socket.waitForConnected(connectTimeout))
            continue;
        reached = true;
        bool ok = false;
        if (readWithin(&socket, deadline, &ok) != cleaned || !ok)
            continue;
        if (!writeMessage(&socket, message, timeout) ||
            readWithin(&socket, deadline, &ok) != cleaned || !ok)
            return Asked::NoAnswer;
        *answer = readWithin(&socket, deadline, &ok);
        return ok ? Asked::Answered : Asked::NoAnswer;
    }
    return reached ? Asked::NoAnswer : Asked::NoInstance;
}

void SingleApplication::setAnswerer(std::function<QString(const QString &message)> answerer)
{
    ThreadedLocalServer::answerer = std::move(answerer);
}

bool SingleApplication::sendMessage(const QString &message, int timeout)
{
    if (!d->running)
        return false;
    // The instance drops a connection that has been idle a while: one kept
    // from an earlier message gets a second try on a new one.
    for (bool kept = d->socket && d->socket->state() == QLocalSocket::ConnectedState;;
         kept = false) {
        if (!d->connectToInstance())
            return false;
        bool ok = false;
        if (writeMessage(d->socket, message, timeout)) {
            const QString acknowledgement = readMessage(d->socket, &ok);
            if (ok)
                return acknowledgement == d->key;
        }
        if (!kept)
            return false;
        d->socket->abort();
    }
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

void SingleApplication::setCandidateDirectories(const QStringList &directories,
                                                const QString &lastingDirectory)
{
    ServerRegistry &registry = serverRegistry();
    const QWriteLocker locker(&registry.lock);
    registry.candidates = directories;
    registry.resolved = false;
    for (PrivateDirectory &directory : registry.directories)
        registry.retired.push_back(std::move(directory));
    registry.directories.clear();
    registry.homeGiven = true;
    registry.homeGivenPath = lastingDirectory;
    registry.homeResolved = false;
    registry.retired.push_back(std::move(registry.home));
    registry.home = PrivateDirectory();
}

QString SingleApplication::lastingDirectory()
{
    ServerRegistry &registry = serverRegistry();
    const QReadLocker locker(&registry.lock);
    return registry.homeGiven ? registry.homeGivenPath : defaultHomePlace();
}

QString SingleApplication::lastingMarkerPath(const QString &directory, const QString &uniqueKey)
{
    return directory + QLatin1Char('/') + uniqueKey + QLatin1Char('.') + machineId() +
           QStringLiteral(".lock");
}

QString SingleApplication::serverPath(const QString &directory, const QString &uniqueKey)
{
    return directory + QLatin1Char('/') + uniqueKey;
}

QString SingleApplication::markerPath(const QString &directory, const QString &uniqueKey)
{
    return directory + QLatin1Char('/') + markerName(uniqueKey);
}
