#include "app/singleapplication.h"

#include "app/localmessage.h"
#include "app/threadedlocalserver.h"

#include <QCoreApplication>
#include <QHash>
#include <QLocalSocket>
#include <QMutex>
#include <QPointer>
#include <QReadWriteLock>
#include <QRegularExpression>
#include <QSharedMemory>

#include <pwd.h>
#include <unistd.h>

#include <cerrno>
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
    QLocalSocket *socket = nullptr;
    bool running = false;
};

void SingleApplicationPrivate::init(const QString &rawKey)
{
    key = SingleApplication::cleanKey(rawKey);
    uniqueKey = SingleApplication::uniqueKey(key, SingleApplication::currentUserName());

    ServerRegistry &registry = serverRegistry();
    QWriteLocker locker(&registry.lock);

    if (ThreadedLocalServer *server = registry.servers.value(uniqueKey)) {
        QObject::connect(server, &ThreadedLocalServer::messageReceived, q,
                         &SingleApplication::messageReceived, Qt::QueuedConnection);
        return;
    }

    // Marker and server outlive this guard: they belong to the application.
    QObject *owner = QCoreApplication::instance();
    if (!owner)
        owner = q;

    auto *marker = new QSharedMemory(uniqueKey, owner);
    // A segment left by a crashed instance has no process attached; attaching
    // and detaching again removes it, while a live instance's stays.
    if (marker->attach())
        marker->detach();
    if (!marker->create(1, QSharedMemory::ReadWrite)) {
        running = marker->error() == QSharedMemory::AlreadyExists;
        if (!running)
            qWarning("QSharedMemory::create: %s (Used key is '%s')",
                     marker->errorString().toUtf8().constData(), uniqueKey.toLatin1().constData());
        delete marker;
        return;
    }

    auto *server = new ThreadedLocalServer(key, owner);
    server->setSocketOptions(QLocalServer::UserAccessOption);
    // We hold the marker now, so a socket of this name was left by a crash.
    QLocalServer::removeServer(uniqueKey);
    if (!server->listen(uniqueKey)) {
        qWarning("QLocalServer::listen: %s (Used key is '%s')",
                 server->errorString().toUtf8().constData(), uniqueKey.toLatin1().constData());
        delete server;
        server = nullptr;
    }
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

    socket->connectToServer(uniqueKey, QIODevice::ReadWrite);
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
