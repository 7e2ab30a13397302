#include "app/singleapplication.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QProcess>
#include <QRegularExpression>
#include <QSharedMemory>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtEndian>
#include <QTest>
#include <QThread>

#include <memory>
#include <unistd.h>
#include <vector>

namespace {

// Keys of their own per run, so parallel runs never meet.
QString freshKey()
{
    static int counter = 0;
    return QStringLiteral("tst_guard-%1x%2").arg(QCoreApplication::applicationPid()).arg(++counter);
}

QString uniqueKeyOf(const QString &key)
{
    return SingleApplication::uniqueKey(SingleApplication::cleanKey(key),
                                        SingleApplication::currentUserName());
}

const auto ownerOnly = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner;
const auto othersAccess = QFile::ReadGroup | QFile::WriteGroup | QFile::ExeGroup |
                          QFile::ReadOther | QFile::WriteOther | QFile::ExeOther;

QString markerPathOf(const QString &key)
{
    return SingleApplication::markerPath(SingleApplication::privateDirectory(), uniqueKeyOf(key));
}

QString serverPathOf(const QString &key)
{
    return SingleApplication::serverPath(SingleApplication::privateDirectory(), uniqueKeyOf(key));
}

// A marker as the guard makes it.

// System V keys come from a file's inode, so an orphaned segment of some
// crashed process may happen to carry our key; the guard clears such a one
// the same way before it creates its marker.
bool createMarker(QSharedMemory &marker)
{
    if (marker.attach())
        marker.detach();
    return marker.create(1);
}

QByteArray frameOf(const QString &text)
{
    QByteArray frame(8, '\0');
    QByteArray utf16;
    for (QChar c : text) {
        utf16.append(char(c.unicode() >> 8));
        utf16.append(char(c.unicode() & 0xff));
    }
    qToBigEndian<qint32>(qint32(4 + utf16.size()), frame.data());
    qToBigEndian<quint32>(quint32(utf16.size()), frame.data() + 4);
    return frame + utf16;
}

// The helper process of tests/apphelper.cpp. Waits spin this thread's event
// loop, since the instance a helper talks to may live right here.
class Helper
{
public:
    explicit Helper(const QStringList &args,
                    const QProcessEnvironment &env = QProcessEnvironment::systemEnvironment())
    {
        process.setProcessEnvironment(env);
        process.start(QStringLiteral(APP_HELPER), args);
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
    void killNow()
    {
        process.kill();
        process.waitForFinished(10000);
    }

    QProcess process;
};

QByteArray sendFromHelper(const QString &key, const QString &message)
{
    Helper sender({QStringLiteral("send"), key});
    sender.process.write(message.toUtf8());
    sender.process.closeWriteChannel();
    const QByteArray result = sender.line();
    sender.finish();
    return result;
}

// A stand-in for a running instance that answers as told, on a thread of its
// own so that the guard under test may block.
class FakeInstance : public QObject
{
    Q_OBJECT

public:
    FakeInstance(const QString &name, const QByteArray &greeting, const QByteArray &ack)
        : name(name), greeting(greeting), ack(ack)
    {
    }

    void start()
    {
        server = new QLocalServer(this);
        connect(server, &QLocalServer::newConnection, this, &FakeInstance::accept);
        listening = server->listen(name);
    }
    void stop() { delete server; }

    bool listening = false;

private:
    void accept()
    {
        QLocalSocket *socket = server->nextPendingConnection();
        socket->write(greeting);
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
            socket->readAll();
            socket->write(ack);
        });
    }

    QString name;
    QByteArray greeting;
    QByteArray ack;
    QLocalServer *server = nullptr;
};

} // namespace

class TestGuard : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanKey_data();
    void cleanKey();
    void uniqueKey_data();
    void uniqueKey();
    void userNameIsTheLoginName();
    void twoGuardsInOneProcess();
    void othersDoNotBlock_data();
    void othersDoNotBlock();
    void secondProcessReportsRunning();
    void messageFromSecondProcess_data();
    void messageFromSecondProcess();
    void sendFailures_data();
    void sendFailures();
    void warnings_data();
    void warnings();
    void privateDirectory_data();
    void privateDirectory();
    void burstThenGone();
    void simultaneousStarts();
    void leftoversOfAKilledOwner_data();
    void leftoversOfAKilledOwner();

private:
    QTemporaryDir runtimeDir;
};

void TestGuard::initTestCase()
{
    // Sockets and markers of these tests go to a directory of their own, and
    // the helpers inherit it.
    QVERIFY(runtimeDir.isValid());
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtimeDir.path()));
    QCOMPARE(SingleApplication::privateDirectory(), runtimeDir.path());
}

void TestGuard::cleanKey_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("cleaned");

    QTest::newRow("program key") << "Brantolex_Fixer"
                                 << "BrantolexFixer";
    QTest::newRow("already clean") << "abcXYZ019"
                                   << "abcXYZ019";
    QTest::newRow("punctuation and spaces") << " a-b.c/d e\t1:2 "
                                            << "abcde12";
    QTest::newRow("letters outside ASCII") << QStringLiteral("Gr\u00fc\u00dfe-K\u00e9y") << "GreKy";
    QTest::newRow("empty") << ""
                           << "SADEFAULTKEY";
    QTest::newRow("null") << QString() << "SADEFAULTKEY";
    QTest::newRow("nothing usable") << "__ -- !!"
                                    << "SADEFAULTKEY";
    QTest::newRow("only non-ASCII letters")
        << QStringLiteral("\u00e4\u00f6\u00fc\u540d") << "SADEFAULTKEY";
}

void TestGuard::cleanKey()
{
    QFETCH(QString, key);
    QFETCH(QString, cleaned);
    QCOMPARE(SingleApplication::cleanKey(key), cleaned);
}

void TestGuard::uniqueKey_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("user");
    QTest::addColumn<QString>("unique");

    QTest::newRow("bob") << "BrantolexFixer"
                         << "bob"
                         << "_sa_BrantolexFixer_626f62";
    QTest::newRow("root") << "BrantolexFixer"
                          << "root"
                          << "_sa_BrantolexFixer_726f6f74";
    QTest::newRow("numeric uid") << "K"
                                 << "1000"
                                 << "_sa_K_31303030";
    QTest::newRow("umlaut in UTF-8")
        << "K" << QStringLiteral("j\u00fcrgen") << "_sa_K_6ac3bc7267656e";
    QTest::newRow("CJK in UTF-8") << "SADEFAULTKEY" << QStringLiteral("\u540d")
                                  << "_sa_SADEFAULTKEY_e5908d";
    QTest::newRow("upper case stays lower hex") << "K"
                                                << "Z~"
                                                << "_sa_K_5a7e";
}

void TestGuard::uniqueKey()
{
    QFETCH(QString, key);
    QFETCH(QString, user);
    QFETCH(QString, unique);
    QCOMPARE(SingleApplication::uniqueKey(key, user), unique);
}

void TestGuard::userNameIsTheLoginName()
{
    QProcess id;
    id.start(QStringLiteral("id"), {QStringLiteral("-un")});
    QVERIFY(id.waitForFinished(10000));
    QString expected = QString::fromLocal8Bit(id.readAllStandardOutput()).trimmed();
    if (id.exitCode() != 0) {
        // No password entry for this uid: the number stands in.
        id.start(QStringLiteral("id"), {QStringLiteral("-u")});
        QVERIFY(id.waitForFinished(10000));
        expected = QString::fromLatin1(id.readAllStandardOutput()).trimmed();
    }
    QVERIFY(!expected.isEmpty());
    QCOMPARE(SingleApplication::currentUserName(), expected);
}

void TestGuard::twoGuardsInOneProcess()
{
    const QString key = freshKey();
    SingleApplication first(key, nullptr);
    SingleApplication second(key, nullptr);
    QCOMPARE(first.key(), SingleApplication::cleanKey(key));
    QVERIFY(!first.isRunning());
    QVERIFY(!second.isRunning());
    QVERIFY(!SingleApplication::isRunning(key));

    // Only this user may reach the server.
    const QFileInfo socketFile(serverPathOf(key));
    QVERIFY(socketFile.exists());
    QCOMPARE(socketFile.permissions() & othersAccess, QFile::Permissions());

    // The owner's guards have nobody to talk to and must not try.
    QVERIFY(!second.sendMessage(QStringLiteral("to myself")));
    QVERIFY(second.findChildren<QLocalSocket *>().isEmpty());

    QSignalSpy toFirst(&first, &SingleApplication::messageReceived);
    QSignalSpy toSecond(&second, &SingleApplication::messageReceived);
    QCOMPARE(sendFromHelper(key, QStringLiteral("both")), QByteArray("sent=1"));
    QTRY_COMPARE_WITH_TIMEOUT(toFirst.size(), 1, 10000);
    QTRY_COMPARE_WITH_TIMEOUT(toSecond.size(), 1, 10000);
    QCOMPARE(toFirst.at(0).at(0).toString(), QStringLiteral("both"));
    QCOMPARE(toSecond.at(0).at(0).toString(), QStringLiteral("both"));
}

void TestGuard::othersDoNotBlock_data()
{
    // Empty: an instance of another key, same user.
    QTest::addColumn<QString>("otherUser");

    QTest::newRow("other key, same user") << QString();
    QTest::newRow("same key, other user") << QStringLiteral("someoneelse");
}

void TestGuard::othersDoNotBlock()
{
    QFETCH(QString, otherUser);

    const QString key = freshKey();
    std::unique_ptr<Helper> otherInstance;
    std::unique_ptr<QSharedMemory> otherMarker;
    if (otherUser.isEmpty()) {
        otherInstance = std::make_unique<Helper>(QStringList{"own", freshKey()});
        QCOMPARE(otherInstance->line(), QByteArray("guard=0"));
    } else {
        // Stands for that user's instance: their name in the marker's key.
        otherMarker = std::make_unique<QSharedMemory>();
        otherMarker->setNativeKey(SingleApplication::markerPath(
            SingleApplication::privateDirectory(),
            SingleApplication::uniqueKey(SingleApplication::cleanKey(key), otherUser)));
        QVERIFY(createMarker(*otherMarker));
    }

    SingleApplication guard(key, nullptr);
    QVERIFY(!guard.isRunning());
    QVERIFY(!SingleApplication::isRunning(key));
}

void TestGuard::secondProcessReportsRunning()
{
    const QString key = freshKey();
    SingleApplication owner(key, nullptr);
    QVERIFY(!owner.isRunning());

    Helper probe({QStringLiteral("probe"), key});
    QCOMPARE(probe.line(), QByteArray("guard=1 static=1"));
    QVERIFY(probe.finish());
    QCOMPARE(probe.process.readAllStandardError(), QByteArray());

    // And the other way round; a later guard leaves the owner's server alone.
    const QString helperKey = freshKey();
    Helper helperOwner({QStringLiteral("own"), helperKey});
    QCOMPARE(helperOwner.line(), QByteArray("guard=0"));
    SingleApplication later(helperKey, nullptr);
    QVERIFY(later.isRunning());
    QVERIFY(SingleApplication::isRunning(helperKey));
    QVERIFY(later.sendMessage(QStringLiteral("ping")));
    QVERIFY(later.sendMessage(QStringLiteral("pong"), 1000));
    QCOMPARE(helperOwner.line(), QByteArray("message=ping"));
    QCOMPARE(helperOwner.line(), QByteArray("message=pong"));
    // One connection, kept open between messages.
    QCOMPARE(later.findChildren<QLocalSocket *>().size(), 1);
    helperOwner.process.closeWriteChannel();
    QVERIFY(helperOwner.finish());
    QCOMPARE(helperOwner.process.readAllStandardError(), QByteArray());
}

void TestGuard::messageFromSecondProcess_data()
{
    QTest::addColumn<QString>("message");

    QTest::newRow("hello") << QStringLiteral("hello");
    QTest::newRow("empty") << QStringLiteral("");
    QTest::newRow("outside ASCII") << QStringLiteral("Gr\u00fc\u00dfe \U0001F3B9");
    QTest::newRow("long") << QString(200000, QLatin1Char('m'));
}

void TestGuard::messageFromSecondProcess()
{
    QFETCH(QString, message);

    const QString key = freshKey();
    SingleApplication owner(key, nullptr);
    QSignalSpy received(&owner, &SingleApplication::messageReceived);
    QCOMPARE(sendFromHelper(key, message), QByteArray("sent=1"));
    QTRY_COMPARE_WITH_TIMEOUT(received.size(), 1, 10000);
    QCOMPARE(received.at(0).at(0).toString(), message);
}

void TestGuard::sendFailures_data()
{
    QTest::addColumn<bool>("listen");
    QTest::addColumn<QByteArray>("greeting");
    QTest::addColumn<QByteArray>("ack");
    QTest::addColumn<bool>("sent");

    // Filled in with the key's own frame where it says "key".
    const QByteArray key("key");
    QTest::newRow("answers as it should") << true << key << key << true;
    QTest::newRow("nobody listening") << false << QByteArray() << QByteArray() << false;
    QTest::newRow("no greeting") << true << QByteArray() << key << false;
    QTest::newRow("greeting of another key") << true << frameOf("Other") << key << false;
    QTest::newRow("malformed greeting")
        << true << QByteArray::fromHex("0000000700000003006100") << key << false;
    QTest::newRow("greeting cut short")
        << true << QByteArray::fromHex("000000080000000400") << key << false;
    QTest::newRow("no acknowledgement") << true << key << QByteArray() << false;
    QTest::newRow("acknowledgement of another key") << true << key << frameOf("Other") << false;
}

void TestGuard::sendFailures()
{
    QFETCH(bool, listen);
    QFETCH(QByteArray, greeting);
    QFETCH(QByteArray, ack);
    QFETCH(bool, sent);

    const QString key = freshKey();
    const QByteArray keyFrame = frameOf(SingleApplication::cleanKey(key));
    if (greeting == "key")
        greeting = keyFrame;
    if (ack == "key")
        ack = keyFrame;

    // The marker of a running instance, without a guard behind it.
    QSharedMemory marker;
    marker.setNativeKey(markerPathOf(key));
    QVERIFY2(createMarker(marker), qPrintable(marker.errorString()));

    QThread thread;
    auto *fake = new FakeInstance(serverPathOf(key), greeting, ack);
    fake->moveToThread(&thread);
    connect(&thread, &QThread::finished, fake, &QObject::deleteLater);
    thread.start();
    if (listen) {
        QMetaObject::invokeMethod(fake, &FakeInstance::start, Qt::BlockingQueuedConnection);
        QVERIFY(fake->listening);
    }

    SingleApplication guard(key, nullptr);
    QVERIFY(guard.isRunning());
    QCOMPARE(guard.sendMessage(QStringLiteral("message")), sent);

    QMetaObject::invokeMethod(fake, &FakeInstance::stop, Qt::BlockingQueuedConnection);
    thread.quit();
    QVERIFY(thread.wait(10000));
}

void TestGuard::warnings_data()
{
    QTest::addColumn<bool>("deep");
    QTest::addColumn<QByteArray>("result");
    QTest::addColumn<QString>("operation");
    QTest::addColumn<int>("count");

    // The key file's name leads nowhere, so the marker cannot be made; the
    // program runs unprotected, and the static test warns again.
    QTest::newRow("marker cannot be created")
        << false << QByteArray("guard=0 static=0") << "QSharedMemory::create" << 2;
    // A directory too deep for a socket address: the marker is there, the
    // server is not, and the static test then sees the marker as taken.
    QTest::newRow("server cannot listen")
        << true << QByteArray("guard=0 static=1") << "QLocalServer::listen" << 1;
}

void TestGuard::warnings()
{
    QFETCH(bool, deep);
    QFETCH(QByteArray, result);
    QFETCH(QString, operation);
    QFETCH(int, count);

    const QString key = freshKey();
    QTemporaryDir base;
    QVERIFY(base.isValid());
    QString runtime = base.path();
    if (deep) {
        runtime = base.filePath(QString(120, QLatin1Char('d')));
        QVERIFY(QDir().mkpath(runtime));
        QVERIFY(QFile::setPermissions(runtime, ownerOnly));
    } else {
        QVERIFY(QFile::link(base.filePath(QStringLiteral("nowhere")),
                            SingleApplication::markerPath(runtime, uniqueKeyOf(key))));
    }
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime);

    Helper probe({QStringLiteral("probe"), key}, env);
    QCOMPARE(probe.line(), result);
    QVERIFY(probe.finish());

    const QStringList lines = QString::fromUtf8(probe.process.readAllStandardError())
                                  .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), count);
    const QRegularExpression format(QStringLiteral("^%1: .+ \\(Used key is '%2'\\)$")
                                        .arg(QRegularExpression::escape(operation),
                                             QRegularExpression::escape(uniqueKeyOf(key))));
    for (const QString &line : lines)
        QVERIFY2(format.match(line).hasMatch(), qPrintable(line));
}

void TestGuard::privateDirectory_data()
{
    // States: missing, private, open (0755), symlink (to a private
    // directory), foreign (another owner), file, relative (runtime only).
    QTest::addColumn<QString>("runtime");
    QTest::addColumn<QString>("fallback");
    QTest::addColumn<QString>("chosen");

    QTest::newRow("runtime directory of our own") << "private"
                                                  << "open"
                                                  << "runtime";
    QTest::newRow("no runtime directory") << "missing"
                                          << "missing"
                                          << "fallback";
    QTest::newRow("fallback already made") << "missing"
                                           << "private"
                                           << "fallback";
    QTest::newRow("relative runtime directory") << "relative"
                                                << "missing"
                                                << "fallback";
    QTest::newRow("runtime directory open to others") << "open"
                                                      << "missing"
                                                      << "fallback";
    QTest::newRow("runtime directory a symlink") << "symlink"
                                                 << "missing"
                                                 << "fallback";
    QTest::newRow("runtime directory of another user") << "foreign"
                                                       << "missing"
                                                       << "fallback";
    QTest::newRow("fallback open to others") << "missing"
                                             << "open"
                                             << "";
    QTest::newRow("fallback a symlink") << "missing"
                                        << "symlink"
                                        << "";
    QTest::newRow("fallback of another user") << "missing"
                                              << "foreign"
                                              << "";
    QTest::newRow("fallback a file") << "missing"
                                     << "file"
                                     << "";
}

void TestGuard::privateDirectory()
{
    QFETCH(QString, runtime);
    QFETCH(QString, fallback);
    QFETCH(QString, chosen);

    if ((runtime == "foreign" || fallback == "foreign") && ::geteuid() != 0)
        QSKIP("only root can give a directory to another user");
    QTemporaryDir base;
    QVERIFY(base.isValid());
    const auto arrange = [&](const QString &state, const QString &name) {
        const QString path = base.filePath(name);
        if (state == "relative")
            return name;
        if (state == "private" || state == "open" || state == "foreign") {
            QDir().mkdir(path);
            QFile::setPermissions(
                path, state == "open" ? ownerOnly | QFile::ReadOther | QFile::ExeOther : ownerOnly);
            if (state == "foreign" && ::chown(QFile::encodeName(path).constData(), 65534, 65534))
                return QString();
        } else if (state == "symlink") {
            QDir().mkdir(path + "-target");
            QFile::setPermissions(path + "-target", ownerOnly);
            QFile::link(path + "-target", path);
        } else if (state == "file") {
            QFile file(path);
            file.open(QIODevice::WriteOnly);
        }
        return state == "missing" && name == "runtime" ? QString() : path;
    };
    const QString runtimePath = arrange(runtime, QStringLiteral("runtime"));
    const QString fallbackPath = arrange(fallback, QStringLiteral("fallback"));

    QString error;
    const QString got = SingleApplication::privateDirectory(runtimePath, fallbackPath, &error);
    if (chosen.isEmpty()) {
        QCOMPARE(got, QString());
        QVERIFY2(error.contains(fallbackPath), qPrintable(error));
        return;
    }
    QCOMPARE(got, chosen == "runtime" ? runtimePath : fallbackPath);
    const QFileInfo info(got);
    QVERIFY(info.isDir() && !info.isSymLink());
    QCOMPARE(info.permissions() & othersAccess, QFile::Permissions());
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

void TestGuard::leftoversOfAKilledOwner_data()
{
    QTest::addColumn<QString>("mode");
    QTest::addColumn<bool>("markerLeft");
    QTest::addColumn<bool>("socketLeft");

    QTest::newRow("guard killed") << "own" << true << true;
    QTest::newRow("marker only") << "marker" << true << false;
    QTest::newRow("socket only") << "socket" << false << true;
}

void TestGuard::leftoversOfAKilledOwner()
{
    QFETCH(QString, mode);
    QFETCH(bool, markerLeft);
    QFETCH(bool, socketLeft);

    const QString key = freshKey();
    {
        Helper owner({mode, key});
        const QByteArray ready = owner.line();
        QVERIFY2(ready == "guard=0" || ready == "ready", ready.constData());
        owner.killNow();
        QCOMPARE(owner.process.exitStatus(), QProcess::CrashExit);
    }

    // What the crash left: a marker that nobody holds, a socket file with
    // nobody behind it. Probed without removing either.
    QSharedMemory probe;
    probe.setNativeKey(markerPathOf(key));
    if (markerLeft) {
        QVERIFY(!probe.create(1));
        QCOMPARE(probe.error(), QSharedMemory::AlreadyExists);
    } else {
        QVERIFY2(createMarker(probe), qPrintable(probe.errorString()));
        probe.detach();
    }
    QCOMPARE(QFileInfo::exists(serverPathOf(key)), socketLeft);

    SingleApplication guard(key, nullptr);
    QVERIFY(!guard.isRunning());
    QSignalSpy received(&guard, &SingleApplication::messageReceived);
    QCOMPARE(sendFromHelper(key, QStringLiteral("after the crash")), QByteArray("sent=1"));
    QVERIFY(received.size() == 1 || received.wait(10000));
    QCOMPARE(received.at(0).at(0).toString(), QStringLiteral("after the crash"));

    Helper later({QStringLiteral("probe"), key});
    QCOMPARE(later.line(), QByteArray("guard=1 static=1"));
    QVERIFY(later.finish());
}

QTEST_GUILESS_MAIN(TestGuard)
#include "tst_guard.moc"
