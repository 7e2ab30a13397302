// The single-instance guard: who owns a start, in which private places its
// markers go, and what a hostile or broken place (another user's, open to
// others, full, a planted link) does to it. Guards made in this process,
// over directories the test makes; helper processes where another start
// or another user is needed.
#include "app/localthread.h"
#include "app/privatedirectory.h"
#include "app/singleapplication.h"
#include "testhelpers.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <memory>
#include <poll.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

namespace {

// Keys of their own per run, so parallel runs never meet.
QString freshKey()
{
    static int counter = 0;
    return QStringLiteral("tst_guard-%1x%2").arg(QCoreApplication::applicationPid()).arg(++counter);
}

const auto ownerOnly = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner;
const auto othersAccess = QFile::ReadGroup | QFile::WriteGroup | QFile::ExeGroup |
                          QFile::ReadOther | QFile::WriteOther | QFile::ExeOther;

QString markerPathOf(const QString &key, const QString &user = QString())
{
    return SingleApplication::markerPath(
        SingleApplication::candidateDirectories().front(),
        user.isEmpty() ? uniqueKeyOf(key)
                       : SingleApplication::uniqueKey(SingleApplication::cleanKey(key), user));
}

QString serverPathOf(const QString &key)
{
    return SingleApplication::serverPath(SingleApplication::candidateDirectories().front(),
                                         uniqueKeyOf(key));
}

// A lock as another process holds it: a description of the file of its own.
class FileLock
{
public:
    explicit FileLock(const QString &path, bool create = true)
        : fd(::open(QFile::encodeName(path).constData(),
                    O_RDONLY | O_CLOEXEC | (create ? O_CREAT : 0), 0600))
    {
    }
    ~FileLock()
    {
        if (fd >= 0)
            ::close(fd);
    }
    bool lock() { return fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0; }
    bool isHeldByOthers()
    {
        if (!lock())
            return fd >= 0;
        ::flock(fd, LOCK_UN);
        return false;
    }

private:
    int fd;
};

// The helper process of tests/apphelper.cpp. Waits spin this thread's event
// loop, since the instance a helper talks to may live right here.
class Helper
{
public:
    // The test's directories follow the arguments unless some are given.
    // A descriptor limit, and a uid of its own that may run no more
    // threads than the helper's own, where given.
    explicit Helper(const QStringList &args, QStringList directories = QStringList(),
                    const QProcessEnvironment &env = QProcessEnvironment::systemEnvironment(),
                    int descriptorLimit = 0, uid_t threadlessUid = 0)
    {
        if (directories.isEmpty())
            directories = SingleApplication::candidateDirectories();
        else if (directories == QStringList{QStringLiteral("default")})
            directories.clear();
        if (descriptorLimit > 0 || threadlessUid > 0)
            process.setChildProcessModifier([descriptorLimit, threadlessUid] {
                const rlimit limit = {rlim_t(descriptorLimit), rlim_t(descriptorLimit)};
                if (descriptorLimit > 0)
                    ::setrlimit(RLIMIT_NOFILE, &limit);
                const rlimit one = {1, 1};
                if (threadlessUid > 0 &&
                    (::setgroups(0, nullptr) != 0 || ::setgid(threadlessUid) != 0 ||
                     ::setrlimit(RLIMIT_NPROC, &one) != 0 || ::setuid(threadlessUid) != 0))
                    ::_exit(99);
            });
        process.setProcessEnvironment(env);
        process.start(QStringLiteral(APP_HELPER), args + directories);
    }
    ~Helper()
    {
        // An owner ends on EOF and cleans up after itself; only a helper
        // that does not is killed.
        process.closeWriteChannel();
        if (process.state() != QProcess::NotRunning && !process.waitForFinished(5000)) {
            process.kill();
            process.waitForFinished(10000);
        }
    }

    QByteArray line()
    {
        if (!QTest::qWaitFor([this] { return process.canReadLine(); }, 10000))
            return QByteArray("<no line; stderr: ") + process.readAllStandardError() + '>';
        return process.readLine().trimmed();
    }
    bool finish()
    {
        return QTest::qWaitFor([this] { return process.state() == QProcess::NotRunning; }, 10000) &&
               process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
    }

    QProcess process;
};

QByteArray sendFromHelper(const QString &key, const QString &message,
                          const QStringList &directories = {},
                          const QProcessEnvironment &env = QProcessEnvironment::systemEnvironment())
{
    Helper sender({QStringLiteral("send"), key}, directories, env);
    sender.process.write(message.toUtf8());
    sender.process.closeWriteChannel();
    const QByteArray result = sender.line();
    sender.finish();
    return result;
}

qint64 residentBytes(qint64 pid)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong() * 1024;
    return -1;
}

} // namespace

class TestGuard : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void keys_data();
    void keys();
    void userNameIsTheLoginName();
    void secondProcessReportsRunning();
    void messageFromSecondProcess_data();
    void messageFromSecondProcess();
    void sendFailures_data();
    void sendFailures();
    void unusablePlaces_data();
    void unusablePlaces();
    void privateDirectory_data();
    void privateDirectory();
    void oneInstanceWhateverTheDirectories_data();
    void oneInstanceWhateverTheDirectories();
    void burstThenGone();
    void floodTurnedAway_data();
    void floodTurnedAway();
    void ownerMemoryBounded_data();
    void ownerMemoryBounded();
    void simultaneousStarts();

private:
    QTemporaryDir base;
};

void TestGuard::initTestCase()
{
    // Sockets and markers of these tests go to directories of their own, and
    // the helpers are given them.
    QVERIFY(base.isValid());
    const QString runtime = base.filePath(QStringLiteral("runtime"));
    QVERIFY(::mkdir(QFile::encodeName(runtime).constData(), 0700) == 0);
    SingleApplication::setCandidateDirectories(
        {runtime, base.filePath(QStringLiteral("fallback"))});
}

void TestGuard::keys_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("cleaned");
    // The unique key of the key for this user, where a user is given.
    QTest::addColumn<QString>("user");
    QTest::addColumn<QString>("unique");

    const auto row = [](const char *name, const QString &key, const QString &cleaned,
                        const QString &user = {}, const QString &unique = {}) {
        QTest::newRow(name) << key << cleaned << user << unique;
    };
    row("program key", "Brantolex_Fixer", "BrantolexFixer");
    row("already clean", "abcXYZ019", "abcXYZ019");
    row("punctuation and spaces", " a-b.c/d e\t1:2 ", "abcde12");
    row("letters outside ASCII", QStringLiteral("Gr\u00fc\u00dfe-K\u00e9y"), "GreKy");
    row("empty", "", "SADEFAULTKEY");
    row("null", QString(), "SADEFAULTKEY");
    row("nothing usable", "__ -- !!", "SADEFAULTKEY");
    row("only non-ASCII letters", QStringLiteral("\u00e4\u00f6\u00fc\u540d"), "SADEFAULTKEY");
    row("bob", "BrantolexFixer", "BrantolexFixer", "bob", "_sa_BrantolexFixer_626f62");
    row("root", "BrantolexFixer", "BrantolexFixer", "root", "_sa_BrantolexFixer_726f6f74");
    row("numeric uid", "K", "K", "1000", "_sa_K_31303030");
    row("umlaut in UTF-8", "K", "K", QStringLiteral("j\u00fcrgen"), "_sa_K_6ac3bc7267656e");
    row("CJK in UTF-8", "SADEFAULTKEY", "SADEFAULTKEY", QStringLiteral("\u540d"),
        "_sa_SADEFAULTKEY_e5908d");
    row("upper case stays lower hex", "K", "K", "Z~", "_sa_K_5a7e");
}

void TestGuard::keys()
{
    QFETCH(QString, key);
    QFETCH(QString, cleaned);
    QFETCH(QString, user);
    QFETCH(QString, unique);
    QCOMPARE(SingleApplication::cleanKey(key), cleaned);
    if (!user.isEmpty())
        QCOMPARE(SingleApplication::uniqueKey(key, user), unique);
}

void TestGuard::userNameIsTheLoginName()
{
    // With no password entry for this uid, the number stands in.
    QProcess id;
    id.start(QStringLiteral("sh"),
             {QStringLiteral("-c"), QStringLiteral("id -un 2>/dev/null || id -u")});
    QVERIFY(id.waitForFinished(10000));
    const QString expected = QString::fromLocal8Bit(id.readAllStandardOutput()).trimmed();
    QVERIFY(!expected.isEmpty());
    QCOMPARE(SingleApplication::currentUserName(), expected);
}

// A later guard in this process talks to the owner's process, over one
// connection that the owner drops once idle; the owner's server is left alone.
void TestGuard::secondProcessReportsRunning()
{
    const QString key = freshKey();
    Helper owner({QStringLiteral("own"), key});
    QCOMPARE(owner.line(), QByteArray("guard=0"));
    SingleApplication later(key, nullptr);
    QVERIFY(later.isRunning());
    QVERIFY(SingleApplication::isRunning(key));
    QVERIFY(later.sendMessage(QStringLiteral("ping")));
    QVERIFY(later.sendMessage(QStringLiteral("pong"), 1000));
    QCOMPARE(owner.line(), QByteArray("message=ping"));
    QCOMPARE(owner.line(), QByteArray("message=pong"));
    QCOMPARE(later.findChildren<QLocalSocket *>().size(), 1);
    QSignalSpy dropped(later.findChildren<QLocalSocket *>().front(), &QLocalSocket::disconnected);
    QVERIFY(dropped.wait(2 * LocalThread::idleTimeout));
    QVERIFY(later.sendMessage(QStringLiteral("again")));
    QCOMPARE(owner.line(), QByteArray("message=again"));
    owner.process.closeWriteChannel();
    QVERIFY(owner.finish());
    QCOMPARE(owner.process.readAllStandardError(), QByteArray());
}

void TestGuard::messageFromSecondProcess_data()
{
    // A helper that held the key before ("own", "marker" or "socket", see
    // apphelper.cpp), then ended, was killed or stays; or an instance of
    // another key, or another user's marker, that stays.
    QTest::addColumn<QString>("earlier");
    QTest::addColumn<bool>("killed");
    // What it left: files that nobody holds.
    QTest::addColumn<QStringList>("left");
    // The owner's guards in this process.
    QTest::addColumn<int>("guards");
    QTest::addColumn<QString>("message");

    const auto row = [](const char *name, const QString &message, int guards = 1,
                        const QString &earlier = {}, bool killed = false,
                        const QStringList &left = {}) {
        QTest::newRow(name) << earlier << killed << left << guards << message;
    };
    row("hello", QStringLiteral("hello"));
    row("empty", QStringLiteral(""));
    row("outside ASCII", QStringLiteral("Gr\u00fc\u00dfe \U0001F3B9"));
    row("long", QString(200000, QLatin1Char('m')));
    row("two guards in one process", QStringLiteral("both"), 2);
    const QString after = QStringLiteral("after that");
    row("owner ended", after, 1, "own");
    row("owner killed", after, 1, "own", true, {"marker", "socket"});
    row("marker only, killed", after, 1, "marker", true, {"marker"});
    // A server at our path with no marker behind it is nobody's instance.
    row("socket only, alive", after, 1, "socket", false, {"socket"});
    row("other key, same user", after, 1, "other key");
    row("same key, other user", after, 1, "other user");
}

// Whatever an earlier start left, the guards in this process own the key:
// a later start sees it running, and each guard hears what it sends.
void TestGuard::messageFromSecondProcess()
{
    QFETCH(QString, earlier);
    QFETCH(bool, killed);
    QFETCH(QStringList, left);
    QFETCH(int, guards);
    QFETCH(QString, message);

    const QString key = freshKey();
    std::unique_ptr<Helper> before;
    // Stands for that user's instance: their name in the marker's.
    std::unique_ptr<FileLock> othersMarker;
    if (earlier == "other user") {
        othersMarker = std::make_unique<FileLock>(markerPathOf(key, QStringLiteral("someoneelse")));
        QVERIFY(othersMarker->lock());
    } else if (!earlier.isEmpty()) {
        const bool otherKey = earlier == "other key";
        before = std::make_unique<Helper>(
            QStringList{otherKey ? QStringLiteral("own") : earlier, otherKey ? freshKey() : key});
        const QByteArray ready = before->line();
        QVERIFY2(ready == "guard=0" || ready == "ready", ready.constData());
        if (killed) {
            before->process.kill();
            QVERIFY(before->process.waitForFinished(10000));
            QCOMPARE(before->process.exitStatus(), QProcess::CrashExit);
        } else if (earlier == "own") {
            before->process.closeWriteChannel();
            QVERIFY(before->finish());
        }
    }
    if (!earlier.isEmpty()) {
        QCOMPARE(QFileInfo::exists(markerPathOf(key)), left.contains("marker"));
        QCOMPARE(QFileInfo::exists(serverPathOf(key)), left.contains("socket"));
        if (left.contains("marker"))
            QVERIFY(!FileLock(markerPathOf(key), false).isHeldByOthers());
    }

    std::vector<std::unique_ptr<SingleApplication>> owner;
    std::vector<std::unique_ptr<QSignalSpy>> received;
    for (int i = 0; i < guards; ++i) {
        owner.push_back(std::make_unique<SingleApplication>(key, nullptr));
        QVERIFY(!owner.back()->isRunning());
        received.push_back(
            std::make_unique<QSignalSpy>(owner.back().get(), &SingleApplication::messageReceived));
    }
    QCOMPARE(owner.front()->key(), SingleApplication::cleanKey(key));
    QVERIFY(!SingleApplication::isRunning(key));
    QVERIFY(QFileInfo(serverPathOf(key)).exists());
    // The owner's guards have nobody to talk to and must not try.
    QVERIFY(!owner.back()->sendMessage(QStringLiteral("to myself")));
    QVERIFY(owner.back()->findChildren<QLocalSocket *>().isEmpty());

    Helper probe({QStringLiteral("probe"), key});
    QCOMPARE(probe.line(), QByteArray("guard=1 static=1"));
    QVERIFY(probe.finish());
    QCOMPARE(probe.process.readAllStandardError(), QByteArray());
    QCOMPARE(sendFromHelper(key, message), QByteArray("sent=1"));
    for (const auto &spy : received) {
        QTRY_COMPARE_WITH_TIMEOUT(spy->size(), 1, 10000);
        QCOMPARE(spy->at(0).at(0).toString(), message);
    }
}

void TestGuard::sendFailures_data()
{
    QTest::addColumn<bool>("listen");
    QTest::addColumn<QByteArray>("greeting");
    QTest::addColumn<QByteArray>("ack");
    QTest::addColumn<bool>("sent");
    // What a question (--panic) gets after the acknowledgement.
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<int>("asked");

    // Filled in with the key's own frame where it says "key".
    const QByteArray key("key"), none;
    const QByteArray sent = frameOf("sent");
    const int noInstance = int(SingleApplication::Asked::NoInstance),
              noAnswer = int(SingleApplication::Asked::NoAnswer),
              answered = int(SingleApplication::Asked::Answered);
    const auto row = [](const char *name, bool listen, const QByteArray &greeting,
                        const QByteArray &ack, bool sent, const QByteArray &answer, int asked) {
        QTest::newRow(name) << listen << greeting << ack << sent << answer << asked;
    };
    row("answers as it should", true, key, key, true, sent, answered);
    row("acknowledges, never answers", true, key, key, true, none, noAnswer);
    row("nobody listening", false, none, none, false, none, noInstance);
    row("no greeting", true, none, key, false, sent, noAnswer);
    row("greeting of another key", true, frameOf("Other"), key, false, sent, noAnswer);
    row("malformed greeting", true, QByteArray::fromHex("0000000700000003006100"), key, false, sent,
        noAnswer);
    row("greeting cut short", true, QByteArray::fromHex("000000080000000400"), key, false, sent,
        noAnswer);
    row("no acknowledgement", true, key, none, false, none, noAnswer);
    row("acknowledgement of another key", true, key, frameOf("Other"), false, sent, noAnswer);
}

void TestGuard::sendFailures()
{
    QFETCH(bool, listen);
    QFETCH(QByteArray, greeting);
    QFETCH(QByteArray, ack);
    QFETCH(bool, sent);
    QFETCH(QByteArray, answer);
    QFETCH(int, asked);

    const QString key = freshKey();
    const QByteArray keyFrame = frameOf(SingleApplication::cleanKey(key));
    if (greeting == "key")
        greeting = keyFrame;
    if (ack == "key")
        ack = keyFrame;

    // The marker of a running instance, without a guard behind it.
    FileLock marker(markerPathOf(key));
    QVERIFY(marker.lock());

    // A stand-in for a running instance that answers as told, on a thread of
    // its own so that the guard under test may block.
    QThread thread;
    auto *fake = new QObject;
    fake->moveToThread(&thread);
    connect(&thread, &QThread::finished, fake, &QObject::deleteLater);
    thread.start();
    const auto stop = qScopeGuard([&] {
        thread.quit();
        thread.wait();
    });
    bool listening = !listen;
    const auto start = [&] {
        auto *server = new QLocalServer(fake);
        connect(server, &QLocalServer::newConnection, fake, [=] {
            QLocalSocket *socket = server->nextPendingConnection();
            socket->write(greeting);
            connect(socket, &QLocalSocket::readyRead, fake, [=] {
                socket->readAll();
                socket->write(ack + answer);
            });
        });
        listening = server->listen(serverPathOf(key));
    };
    if (listen)
        QMetaObject::invokeMethod(fake, start, Qt::BlockingQueuedConnection);
    QVERIFY(listening);

    QString answered;
    QCOMPARE(int(SingleApplication::ask(key, QStringLiteral("question"), 1000, &answered)), asked);
    QCOMPARE(answered,
             asked == int(SingleApplication::Asked::Answered) ? QStringLiteral("sent") : QString());
    SingleApplication guard(key, nullptr);
    QVERIFY(guard.isRunning());
    QCOMPARE(guard.sendMessage(QStringLiteral("message")), sent);
}

void TestGuard::unusablePlaces_data()
{
    QTest::addColumn<QString>("obstacle");
    QTest::addColumn<QString>("key");
    // What the probe says: its error, or that it owns the marker.
    QTest::addColumn<QString>("result");
    QTest::addColumn<QString>("warning"); // on the probe's stderr

    const QString key = QStringLiteral("Key"), owns = QStringLiteral("guard=0 static=0");
    QTest::newRow("socket name too long") << "" << QString(120, QLatin1Char('k')) << "too long"
                                          << "";
    // One place of two cannot be used; the other holds the marker.
    QTest::newRow("directory in the way of the socket")
        << "socket directory" << key << owns << "a directory is in the way of the socket";
    QTest::newRow("directory in the way of the marker")
        << "marker directory" << key << owns << "passed over marker .*Is a directory";
    QTest::newRow("directory locked by a stopped start")
        << "locked" << key << owns << "locked by another start or exit for more than 5 s";
    QTest::newRow("fallback open to others, the lasting place ours")
        << "open fallback, lasting" << key << owns << "passed over .*is open to other users";
    // Left there by another user while the directory was open to others.
    QTest::newRow("a link at the lasting marker, the fallback open to others")
        << "open fallback, lasting link" << key << owns << "removed .*planted";
    // Nowhere to hold a marker.
    QTest::newRow("directories in the way of both markers")
        << "marker directories" << key << "no private place.*Is a directory.*Is a directory"
        << "";
    QTest::newRow("fallback open to others, nothing else")
        << "open fallback" << key << "no private place.*is open to other users"
        << "";
}

// Each says why, instead of passing for a running instance; a place that
// cannot be used is passed over while another holds the marker.
void TestGuard::unusablePlaces()
{
    QFETCH(QString, obstacle);
    QFETCH(QString, key);
    QFETCH(QString, result);
    QFETCH(QString, warning);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString runtime = dir.filePath(QStringLiteral("r"));
    const QString fallback = dir.filePath(QStringLiteral("f"));
    QVERIFY(::mkdir(QFile::encodeName(runtime).constData(), 0700) == 0);
    if (obstacle == "socket directory")
        QVERIFY(QDir().mkpath(SingleApplication::serverPath(runtime, uniqueKeyOf(key)) + "/x"));
    if (obstacle.startsWith("marker director")) {
        QVERIFY(QDir().mkpath(SingleApplication::markerPath(runtime, uniqueKeyOf(key))));
        if (obstacle == "marker directories")
            QVERIFY(::mkdir(QFile::encodeName(fallback).constData(), 0700) == 0 &&
                    QDir().mkpath(SingleApplication::markerPath(fallback, uniqueKeyOf(key))));
    }
    FileLock directoryLock(runtime, false);
    if (obstacle == "locked")
        QVERIFY(directoryLock.lock());
    QStringList directories{runtime, fallback};
    if (obstacle.startsWith("open fallback")) {
        QVERIFY(::mkdir(QFile::encodeName(fallback).constData(), 0755) == 0);
        directories = QStringList{fallback};
        if (obstacle.contains("lasting"))
            directories << "lasting=" + dir.filePath(QStringLiteral("home/.Brantolex_Fixer"));
        QVERIFY(QDir().mkpath(dir.filePath(QStringLiteral("home"))));
    }
    const QString lastingMarker = SingleApplication::lastingMarkerPath(
        dir.filePath(QStringLiteral("home/.Brantolex_Fixer")), uniqueKeyOf(key));
    if (obstacle.endsWith("link")) {
        QVERIFY(::mkdir(QFile::encodeName(QFileInfo(lastingMarker).path()).constData(), 0755) == 0);
        QVERIFY(QFile::link(dir.filePath(QStringLiteral("elsewhere")), lastingMarker));
    }

    Helper probe({QStringLiteral("probe"), key}, directories);
    const QByteArray line = probe.line();
    QVERIFY2(QRegularExpression(QStringLiteral("^(error=.*)?") + result)
                 .match(QString::fromUtf8(line))
                 .hasMatch(),
             line.constData());
    QVERIFY(probe.finish());
    const QByteArray errors = probe.process.readAllStandardError();
    QVERIFY2(warning.isEmpty() ||
                 QRegularExpression(warning).match(QString::fromUtf8(errors)).hasMatch(),
             errors.constData());
    QVERIFY(!QFileInfo(lastingMarker).isSymLink());
}

void TestGuard::privateDirectory_data()
{
    // States: missing, private, open (0755), symlink (to a private
    // directory), slash (such a symlink, with a trailing slash), foreign
    // (another owner), file, relative.
    QTest::addColumn<QString>("runtime");
    QTest::addColumn<QString>("fallback");
    // The directories taken, in order; empty: refused.
    QTest::addColumn<QStringList>("chosen");

    const QStringList both{"runtime", "fallback"}, fallbackOnly{"fallback"}, none;
    const auto row = [](const char *name, const char *runtime, const char *fallback,
                        const QStringList &chosen) {
        QTest::newRow(name) << QString(runtime) << QString(fallback) << chosen;
    };
    row("runtime directory of our own", "private", "missing", both);
    row("both already there", "private", "private", both);
    row("runtime directory ours, fallback not", "private", "open", {"runtime"});
    row("no runtime directory", "missing", "missing", fallbackOnly);
    row("relative runtime directory", "relative", "missing", fallbackOnly);
    row("runtime directory open to others", "open", "missing", fallbackOnly);
    row("runtime directory a symlink", "symlink", "missing", fallbackOnly);
    row("runtime directory a symlink, trailing slash", "slash", "missing", fallbackOnly);
    row("runtime directory of another user", "foreign", "missing", fallbackOnly);
    row("runtime directory a file", "file", "missing", fallbackOnly);
    row("fallback open to others", "missing", "open", none);
    row("fallback a symlink", "missing", "symlink", none);
    row("fallback a symlink, trailing slash", "missing", "slash", none);
    row("fallback of another user", "missing", "foreign", none);
    row("fallback a file", "missing", "file", none);
}

void TestGuard::privateDirectory()
{
    QFETCH(QString, runtime);
    QFETCH(QString, fallback);
    QFETCH(QStringList, chosen);

    if ((runtime == "foreign" || fallback == "foreign") && ::geteuid() != 0)
        QSKIP("only root can give a directory to another user");
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const auto arrange = [&](const QString &state, const QString &name) {
        const QString path = dir.filePath(name);
        if (state == "relative")
            return name;
        if (state == "private" || state == "open" || state == "foreign") {
            QDir().mkdir(path);
            QFile::setPermissions(
                path, state == "open" ? ownerOnly | QFile::ReadOther | QFile::ExeOther : ownerOnly);
            if (state == "foreign" && ::chown(QFile::encodeName(path).constData(), 65534, 65534))
                return QString();
        } else if (state == "symlink" || state == "slash") {
            QDir().mkdir(path + "-target");
            QFile::setPermissions(path + "-target", ownerOnly);
            QFile::link(path + "-target", path);
            if (state == "slash")
                return path + QLatin1Char('/');
        } else if (state == "file") {
            QFile file(path);
            file.open(QIODevice::WriteOnly);
        }
        return path;
    };
    const QStringList candidates{arrange(runtime, QStringLiteral("runtime")),
                                 arrange(fallback, QStringLiteral("fallback"))};

    QString error;
    const std::vector<PrivateDirectory> got = PrivateDirectory::resolve(candidates, &error);
    QStringList paths;
    for (const PrivateDirectory &directory : got) {
        paths << directory.path();
        // What is held open is what was checked: a directory of ours, closed.
        struct stat info = {};
        QVERIFY(::fstat(directory.descriptor(), &info) == 0);
        QVERIFY(S_ISDIR(info.st_mode));
        QCOMPARE(info.st_uid, ::geteuid());
        QCOMPARE(info.st_mode & 077, 0u);
    }
    QStringList expected;
    for (const QString &name : chosen)
        expected << dir.filePath(name);
    QCOMPARE(paths, expected);
    if (chosen.isEmpty())
        QVERIFY2(error.contains(candidates.last()), qPrintable(error));
}

void TestGuard::oneInstanceWhateverTheDirectories_data()
{
    // Which of the directories A to D each start finds its own, L the one
    // beside the settings; "default": the user's real ones, with the
    // environment varied.
    QTest::addColumn<QStringList>("first");
    QTest::addColumn<QStringList>("later");
    // Whether the later start can hand the first a message.
    QTest::addColumn<bool>("reachable");

    QTest::newRow("runtime directory gone for the later start")
        << QStringList{"A", "B"} << QStringList{"B"} << true;
    QTest::newRow("runtime directory there for the later start only")
        << QStringList{"B"} << QStringList{"A", "B"} << true;
    QTest::newRow("the user's directories, other XDG_RUNTIME_DIR and TMPDIR")
        << QStringList{"default", "L"} << QStringList{"default", "L"} << true;
    // A logout took the runtime directory, /tmp was cleaned: the marker
    // beside the settings is still held.
    QTest::newRow("both directories new, the lasting one kept")
        << QStringList{"A", "B", "L"} << QStringList{"C", "D", "L"} << false;
}

void TestGuard::oneInstanceWhateverTheDirectories()
{
    QFETCH(QStringList, first);
    QFETCH(QStringList, later);
    QFETCH(bool, reachable);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const auto paths = [&](const QStringList &names) {
        QStringList result;
        for (const QString &name : names) {
            const QString path = dir.filePath(name);
            if (name == "L") {
                result << "lasting=" + path;
            } else if (name != "default") {
                QDir().mkpath(path);
                QFile::setPermissions(path, ownerOnly);
                result << path;
            }
        }
        return result;
    };
    QProcessEnvironment firstEnv = QProcessEnvironment::systemEnvironment();
    QProcessEnvironment laterEnv = firstEnv;
    firstEnv.insert(QStringLiteral("XDG_RUNTIME_DIR"), dir.path());
    firstEnv.insert(QStringLiteral("TMPDIR"), dir.path());
    laterEnv.remove(QStringLiteral("XDG_RUNTIME_DIR"));
    laterEnv.remove(QStringLiteral("TMPDIR"));

    const QString key = freshKey();
    Helper owner({QStringLiteral("own"), key}, paths(first), firstEnv);
    QCOMPARE(owner.line(), QByteArray("guard=0"));
    Helper probe({QStringLiteral("probe"), key}, paths(later), laterEnv);
    QCOMPARE(probe.line(), QByteArray("guard=1 static=1"));
    QVERIFY(probe.finish());
    // And it reaches the instance, wherever that listens.
    QCOMPARE(sendFromHelper(key, QStringLiteral("found you"), paths(later), laterEnv),
             QByteArray(reachable ? "sent=1" : "sent=0"));
    if (reachable)
        QCOMPARE(owner.line(), QByteArray("message=found%20you"));
}

void TestGuard::burstThenGone()
{
    // The owner is a process of its own; our client writes three messages
    // and leaves without waiting for a single acknowledgement.
    const QString key = freshKey();
    Helper owner({QStringLiteral("own"), key});
    QCOMPARE(owner.line(), QByteArray("guard=0"));
    const QStringList messages{QStringLiteral("one"), QStringLiteral("two"),
                               QStringLiteral("three")};
    for (int round = 0; round < 5; ++round) {
        QLocalSocket client;
        client.connectToServer(serverPathOf(key));
        QVERIFY(client.waitForConnected(5000));
        QByteArray burst;
        for (const QString &message : messages)
            burst += frameOf(message + QString::number(round));
        client.write(burst);
        QVERIFY(client.waitForBytesWritten(5000));
        client.abort();
        for (const QString &message : messages)
            QCOMPARE(owner.line(), "message=" + message.toUtf8() + QByteArray::number(round));
    }
}

void TestGuard::floodTurnedAway_data()
{
    QTest::addColumn<int>("descriptorLimit"); // 0: none
    QTest::addColumn<bool>("threadless");

    // Each connection costs the owner a socket and its thread's wakeup
    // descriptors.
    QTest::newRow("more connections than descriptors") << 64 << false;
    // Not one thread can be started: each connection is closed at once, and
    // the owner's thread never waits for one.
    QTest::newRow("no thread to spare") << 0 << true;
}

// Far more connections than the owner can serve are turned away, and it
// lives on.
void TestGuard::floodTurnedAway()
{
    QFETCH(int, descriptorLimit);
    QFETCH(bool, threadless);

    if (threadless && ::geteuid() != 0)
        QSKIP("only root can start a helper as a user of its own");
    const uid_t uid = threadless ? 210000 + uid_t(QCoreApplication::applicationPid() % 10000) : 0;
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QStringList directories = SingleApplication::candidateDirectories();
    if (threadless) {
        const QByteArray path = QFile::encodeName(dir.filePath(QStringLiteral("r")));
        QVERIFY(::mkdir(path.constData(), 0700) == 0 && ::chown(path.constData(), uid, uid) == 0);
        QVERIFY(::chmod(QFile::encodeName(dir.path()).constData(), 0755) == 0);
        directories = QStringList{QFile::decodeName(path)};
    }
    const QString key = freshKey();
    const QString server = SingleApplication::serverPath(
        directories.front(),
        SingleApplication::uniqueKey(SingleApplication::cleanKey(key),
                                     threadless ? QString::number(uid)
                                                : SingleApplication::currentUserName()));
    Helper owner({QStringLiteral("own"), key}, directories,
                 QProcessEnvironment::systemEnvironment(), descriptorLimit, uid);
    QCOMPARE(owner.line(), QByteArray("guard=0"));
    std::vector<std::unique_ptr<QLocalSocket>> clients;
    for (int i = 0; i < (threadless ? 8 : 200); ++i) {
        clients.push_back(std::make_unique<QLocalSocket>());
        clients.back()->connectToServer(server);
    }
    // Every one is greeted or closed.
    const int greeting = int(frameOf(SingleApplication::cleanKey(key)).size());
    int served = 0, closed = 0;
    // Served in about a tenth of a second here: 10 s leaves room for the
    // sanitizers on a loaded machine.
    QVERIFY(QTest::qWaitFor(
        [&] {
            served = closed = 0;
            for (auto &client : clients) {
                closed += client->state() != QLocalSocket::ConnectedState;
                served += client->state() != QLocalSocket::ConnectedState ||
                          client->bytesAvailable() >= greeting;
            }
            return served == int(clients.size());
        },
        10000));
    QCOMPARE(owner.process.state(), QProcess::Running);
    clients.clear();
    if (threadless) {
        QCOMPARE(closed, served);
        return;
    }
    QCOMPARE(sendFromHelper(key, QStringLiteral("still here")), QByteArray("sent=1"));
    QCOMPARE(owner.line(), QByteArray("message=still%20here"));
}

void TestGuard::ownerMemoryBounded_data()
{
    QTest::addColumn<int>("clients");

    QTest::newRow("one client") << 1;
    QTest::newRow("eight clients") << 8;
}

// Clients that write as fast as they can and read none of the
// acknowledgements cost the owner a bounded amount of memory, and are
// dropped.
void TestGuard::ownerMemoryBounded()
{
    QFETCH(int, clients);

    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    // Memory the sanitizer holds back after it was freed is no growth.
    env.insert(QStringLiteral("ASAN_OPTIONS"),
               env.value(QStringLiteral("ASAN_OPTIONS")) + QStringLiteral(":quarantine_size_mb=8"));
    const QString key = freshKey();
    Helper owner({QStringLiteral("own"), key}, QStringList(), env);
    QCOMPARE(owner.line(), QByteArray("guard=0"));
    const qint64 before = residentBytes(owner.process.processId());
    QVERIFY(before > 0);

    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    const QByteArray path = QFile::encodeName(serverPathOf(key));
    std::memcpy(address.sun_path, path.constData(), std::size_t(path.size()));
    std::vector<pollfd> open;
    for (int i = 0; i < clients; ++i) {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        QVERIFY(fd >= 0);
        open.push_back({fd, POLLOUT, 0});
        QVERIFY(::connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0);
    }
    const QByteArray burst = frameOf(QStringLiteral("x")).repeated(4096);
    const qint64 limit = qint64(256) << 20;
    const qint64 growthLimit = qint64(64) << 20;
    qint64 sent = 0;
    int closed = 0;
    // Until the owner has dropped them all, read no more for a while, or
    // grew past the limit (a fault must not take the machine's memory).
    while (sent < limit && closed < clients &&
           residentBytes(owner.process.processId()) -
               before<growthLimit && ::poll(open.data(), open.size(), 2000)> 0) {
        for (pollfd &client : open) {
            if (client.fd < 0 || !client.revents)
                continue;
            const ssize_t n =
                ::send(client.fd, burst.constData(), std::size_t(burst.size()), MSG_NOSIGNAL);
            if (n > 0) {
                sent += n;
            } else if (n < 0 && errno != EAGAIN) {
                ::close(client.fd);
                client.fd = -1;
                ++closed;
            }
        }
        // What the owner prints must not fill its pipe.
        QCoreApplication::processEvents();
        owner.process.readAllStandardOutput();
    }
    const qint64 after = residentBytes(owner.process.processId());
    for (const pollfd &client : open)
        if (client.fd >= 0)
            ::close(client.fd);
    qInfo("%lld KiB sent, %d of %d clients dropped", sent >> 10, closed, clients);
    QVERIFY2(after - before < growthLimit,
             qPrintable(QStringLiteral("grew by %1 MiB after %2 MiB sent")
                            .arg((after - before) >> 20)
                            .arg(sent >> 20)));
    QCOMPARE(owner.process.state(), QProcess::Running);
}

void TestGuard::simultaneousStarts()
{
    // Every start at once holds on, so exactly one may see itself first.
    for (int round = 0; round < 5; ++round) {
        const QString key = freshKey();
        std::vector<std::unique_ptr<Helper>> starts;
        for (int i = 0; i < 16; ++i)
            starts.push_back(std::make_unique<Helper>(QStringList{"own", key}));
        int owners = 0;
        for (auto &start : starts) {
            const QByteArray line = start->line();
            QVERIFY2(line == "guard=0" || line == "guard=1", line.constData());
            owners += line == "guard=0";
        }
        QCOMPARE(owners, 1);
    }
}

QTEST_GUILESS_MAIN(TestGuard)
#include "tst_guard.moc"
