// The built program, started as a user would: offscreen, with a home, a
// temporary and a runtime directory of its own per test (the marker and the
// local server live in the last, so a real instance of the user never
// interferes).
#include "jackpeers.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSettings>
#include <QSharedMemory>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <grp.h>
#include <memory>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

namespace {

using Messages = QList<QByteArray>;

const QByteArray shownLine("brantolex.startup: window shown");
// Sent until one arrives, to know the connection is up; never part of a check.
const QByteArray sentinel = QByteArray::fromHex("900101");

// A pre-written configuration: the test sink as output, the virtual input,
// channel 1, short loading times.
QByteArray configWith(int loadingTime4)
{
    return "[MIDI]\n"
           "createVirtualInput=Yes\n"
           "midiChannel=1\n"
           "midiOutDevice=" +
           JackSink::portName().toLatin1() +
           "\n"
           "translateCC0toPluginSelect=Yes\n"
           "\n"
           "[Plugin]\n"
           "loadingTime4=" +
           QByteArray::number(loadingTime4) + "\n";
}

class Sandbox
{
public:
    Sandbox()
    {
        QDir(home.path()).mkpath(QStringLiteral(".Brantolex_Fixer"));
        env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("HOME"), home.path());
        env.insert(QStringLiteral("TMPDIR"), tmp.path());
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime.path());
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        env.insert(QStringLiteral("QT_LOGGING_RULES"),
                   QStringLiteral("brantolex.startup.debug=true"));
    }
    bool valid() const { return home.isValid() && tmp.isValid() && runtime.isValid(); }
    QString configPath() const { return home.filePath(QStringLiteral(".Brantolex_Fixer/config")); }
    bool writeConfig(const QByteArray &content) const
    {
        QFile file(configPath());
        return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
    }
    // Every file under HOME, with a hash of its content.
    QMap<QString, QByteArray> homeSnapshot() const
    {
        QMap<QString, QByteArray> files;
        QDirIterator it(home.path(), QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            QFile file(it.next());
            if (file.open(QIODevice::ReadOnly))
                files.insert(file.fileName(),
                             QCryptographicHash::hash(file.readAll(), QCryptographicHash::Sha1));
        }
        return files;
    }
    QStringList leftovers() const
    {
        return QDir(runtime.path()).entryList(QDir::Files | QDir::System | QDir::Hidden);
    }

    QTemporaryDir home;
    QTemporaryDir tmp;
    QTemporaryDir runtime;
    QProcessEnvironment env;
};

class Program
{
public:
    explicit Program(const Sandbox &sandbox) : Program(sandbox.env) {}
    explicit Program(const QProcessEnvironment &env, uid_t uid = 0)
    {
        if (uid != 0)
            process.setChildProcessModifier([uid] {
                if (::setgroups(0, nullptr) != 0 || ::setgid(uid) != 0 || ::setuid(uid) != 0)
                    ::_exit(99);
            });
        process.setProcessEnvironment(env);
        process.setReadChannel(QProcess::StandardError);
        process.start(QStringLiteral(BRANTOLEX_EXE), QStringList());
    }
    // A killed instance would leave its marker behind for good once the test
    // removes the key file's directory: only what ignores SIGTERM is killed.
    ~Program()
    {
        if (process.state() == QProcess::NotRunning)
            return;
        process.terminate();
        if (!process.waitForFinished(30000)) {
            process.kill();
            process.waitForFinished(10000);
        }
    }

    bool waitForShown()
    {
        for (;;) {
            if (stderrSoFar().contains(shownLine))
                return true;
            if (!process.waitForReadyRead(30000))
                return stderrSoFar().contains(shownLine);
        }
    }
    QByteArray stderrSoFar()
    {
        errors += process.readAllStandardError();
        return errors;
    }
    void signal(int number) { ::kill(pid_t(process.processId()), number); }
    bool endedNormally()
    {
        return process.waitForFinished(30000) && process.exitStatus() == QProcess::NormalExit &&
               process.exitCode() == 0;
    }

    QProcess process;
    QByteArray errors;
};

Messages received(const JackSink &sink)
{
    Messages out;
    for (const QByteArray &message : qmessages(sink.log->all()))
        if (message != sentinel)
            out << message;
    return out;
}

Messages hexList(std::initializer_list<const char *> list)
{
    Messages out;
    for (const char *h : list)
        out << hex(h);
    return out;
}

} // namespace

class TestProgram : public QObject
{
    Q_OBJECT

private slots:
    void secondStartExitsAtOnce_data();
    void secondStartExitsAtOnce();
    void othersInSharedTemp();
    void refusedPrivateDirectory_data();
    void refusedPrivateDirectory();
    void signalSavesSettings_data();
    void signalSavesSettings();
    void secondSignalEndsAtOnce();
    void startAfterFirstEnded_data();
    void startAfterFirstEnded();
    void midiThroughProgram_data();
    void midiThroughProgram();
};

void TestProgram::secondStartExitsAtOnce_data()
{
    QTest::addColumn<bool>("otherTmp");

    QTest::newRow("same TMPDIR") << false;
    QTest::newRow("another TMPDIR") << true;
}

void TestProgram::secondStartExitsAtOnce()
{
    QFETCH(bool, otherTmp);

    Sandbox sandbox;
    QVERIFY(sandbox.valid());
    QVERIFY(sandbox.writeConfig(configWith(100)));

    Program first(sandbox);
    QVERIFY2(first.waitForShown(), first.stderrSoFar().constData());
    const auto before = sandbox.homeSnapshot();

    QTemporaryDir secondTmp;
    QVERIFY(secondTmp.isValid());
    QProcessEnvironment env = sandbox.env;
    if (otherTmp)
        env.insert(QStringLiteral("TMPDIR"), secondTmp.path());
    Program second(env);
    QVERIFY(second.endedNormally());
    QVERIFY(!second.stderrSoFar().contains(shownLine));
    QCOMPARE(sandbox.homeSnapshot(), before);
    QCOMPARE(first.process.state(), QProcess::Running);

    first.signal(SIGTERM);
    QVERIFY(first.endedNormally());
}

void TestProgram::othersInSharedTemp()
{
    if (::geteuid() != 0)
        QSKIP("only root can place another user's files");
    Sandbox sandbox;
    QVERIFY(sandbox.valid());
    QVERIFY(sandbox.writeConfig(configWith(100)));

    // Someone else's directories where the socket and the key file used to
    // go, in a shared sticky temporary directory: none of our business now.
    QTemporaryDir shared;
    QVERIFY(shared.isValid());
    QVERIFY(::chmod(QFile::encodeName(shared.path()).constData(), 01777) == 0);
    const QString uniqueKey = QStringLiteral("_sa_BrantolexFixer_726f6f74");
    const QStringList names{uniqueKey, QFileInfo(QSharedMemory(uniqueKey).nativeKey()).fileName()};
    for (const QString &name : names) {
        const QByteArray path = QFile::encodeName(shared.filePath(name));
        QVERIFY(::mkdir(path.constData(), 0755) == 0);
        // Not empty, so that not even root would clear it away.
        QVERIFY(QFile(shared.filePath(name + "/theirs")).open(QIODevice::WriteOnly));
        QVERIFY(::chown(path.constData(), 65534, 65534) == 0);
    }
    QProcessEnvironment env = sandbox.env;
    env.insert(QStringLiteral("TMPDIR"), shared.path());

    Program program(env);
    QVERIFY2(program.waitForShown(), program.stderrSoFar().constData());
    program.signal(SIGTERM);
    QVERIFY(program.endedNormally());
    QCOMPARE(sandbox.leftovers(), QStringList());
}

void TestProgram::refusedPrivateDirectory_data()
{
    QTest::addColumn<QString>("state");

    QTest::newRow("another user's") << "foreign";
    QTest::newRow("open to others") << "open";
    QTest::newRow("a symlink") << "symlink";
}

void TestProgram::refusedPrivateDirectory()
{
    QFETCH(QString, state);

    // The fallback is a fixed path per uid: a uid nobody uses keeps us off
    // the real user's.
    if (::geteuid() != 0)
        QSKIP("needs root, to start the program as a user of its own");
    const uid_t uid = 200000 + uid_t(QCoreApplication::applicationPid() % 100000);
    const QString fallback = QStringLiteral("/tmp/brantolex-%1").arg(uid);
    QTemporaryDir target;
    QVERIFY(target.isValid());
    QVERIFY(::chown(QFile::encodeName(target.path()).constData(), uid, uid) == 0);
    const QByteArray path = QFile::encodeName(fallback);
    if (state == "symlink") {
        QVERIFY(::symlink(QFile::encodeName(target.path()).constData(), path.constData()) == 0);
    } else {
        QVERIFY(::mkdir(path.constData(), state == "open" ? 0755 : 0700) == 0);
        QVERIFY(::chmod(path.constData(), state == "open" ? 0755 : 0700) == 0);
        QVERIFY(::chown(path.constData(), state == "open" ? uid : 0, uid) == 0);
    }

    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("HOME"), target.path());
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.remove(QStringLiteral("XDG_RUNTIME_DIR"));
    Program program(env, uid);
    const bool finished = program.process.waitForFinished(30000);
    const QByteArray errors = program.stderrSoFar();
    ::unlink(path.constData());
    ::rmdir(path.constData());
    QVERIFY(finished);
    // The code reaches the shell: a refusal is no quiet success.
    QCOMPARE(program.process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(program.process.exitCode(), 1);
    QVERIFY2(errors.contains("cannot start: private directory " + path), errors.constData());
}

void TestProgram::signalSavesSettings_data()
{
    QTest::addColumn<int>("signalNumber");

    QTest::newRow("SIGTERM") << int(SIGTERM);
    QTest::newRow("SIGINT") << int(SIGINT);
    QTest::newRow("SIGHUP") << int(SIGHUP);
}

void TestProgram::signalSavesSettings()
{
    QFETCH(int, signalNumber);

    Sandbox sandbox;
    QVERIFY(sandbox.valid());
    QVERIFY(sandbox.writeConfig(configWith(100)));

    Program program(sandbox);
    QVERIFY2(program.waitForShown(), program.stderrSoFar().constData());
    // Nothing is written while it runs.
    QVERIFY(!QSettings(sandbox.configPath(), QSettings::IniFormat)
                 .contains("WINDOWS/MainWindowGeometry"));
    program.signal(signalNumber);
    QVERIFY(program.endedNormally());

    const QSettings saved(sandbox.configPath(), QSettings::IniFormat);
    QVERIFY(!saved.value("WINDOWS/MainWindowGeometry").toByteArray().isEmpty());
    QVERIFY(!saved.value("WINDOWS/MainWindowState").toByteArray().isEmpty());
    // No control was touched, so the choices stay as they were written.
    QCOMPARE(saved.value("Plugin/loadingTime4").toString(), QStringLiteral("100"));
    // Marker and server went with the application object.
    QCOMPARE(sandbox.leftovers(), QStringList());
}

void TestProgram::secondSignalEndsAtOnce()
{
    // The watcher the program uses, in a process whose shutdown hangs.
    QProcess helper;
    helper.start(QStringLiteral(APP_HELPER), {QStringLiteral("signals"), QStringLiteral("-")});
    QVERIFY(helper.waitForReadyRead(30000));
    QCOMPARE(helper.readLine().trimmed(), QByteArray("ready"));

    ::kill(pid_t(helper.processId()), SIGTERM);
    while (!helper.canReadLine())
        QVERIFY(helper.waitForReadyRead(30000));
    QCOMPARE(helper.readLine().trimmed(), QByteArray("received=" + QByteArray::number(SIGTERM)));
    QCOMPARE(helper.state(), QProcess::Running);

    ::kill(pid_t(helper.processId()), SIGINT);
    QVERIFY(helper.waitForFinished(30000));
    QCOMPARE(helper.exitStatus(), QProcess::CrashExit);
}

void TestProgram::startAfterFirstEnded_data()
{
    QTest::addColumn<int>("signalNumber");
    QTest::addColumn<bool>("leavesTraces");

    QTest::newRow("killed") << int(SIGKILL) << true;
    QTest::newRow("terminated") << int(SIGTERM) << false;
}

void TestProgram::startAfterFirstEnded()
{
    QFETCH(int, signalNumber);
    QFETCH(bool, leavesTraces);

    Sandbox sandbox;
    QVERIFY(sandbox.valid());
    QVERIFY(sandbox.writeConfig(configWith(100)));
    {
        Program first(sandbox);
        QVERIFY2(first.waitForShown(), first.stderrSoFar().constData());
        first.signal(signalNumber);
        QVERIFY(first.process.waitForFinished(30000));
    }
    QCOMPARE(!sandbox.leftovers().isEmpty(), leavesTraces);

    Program next(sandbox);
    QVERIFY2(next.waitForShown(), next.stderrSoFar().constData());
    // It owns the marker now: a further start declines.
    Program third(sandbox);
    QVERIFY(third.endedNormally());
    QVERIFY(!third.stderrSoFar().contains(shownLine));

    next.signal(SIGTERM);
    QVERIFY(next.endedNormally());
    QCOMPARE(sandbox.leftovers(), QStringList());
}

void TestProgram::midiThroughProgram_data()
{
    QTest::addColumn<int>("loadingTime4");
    QTest::addColumn<Messages>("first");
    // How many messages must have arrived before the second part is sent.
    QTest::addColumn<int>("waitFor");
    QTest::addColumn<Messages>("second");
    QTest::addColumn<Messages>("expected");

    QTest::newRow("routed channel passes") << 100 << hexList({"903c64", "803c00", "b00740"}) << 0
                                           << Messages() << hexList({"903c64", "803c00", "b00740"});
    QTest::newRow("other channels dropped")
        << 100 << hexList({"913c64", "9f3c64", "903d64"}) << 0 << Messages() << hexList({"903d64"});
    QTest::newRow("program change without a switch")
        << 100 << hexList({"c005"}) << 0 << Messages() << hexList({"c005"});
    QTest::newRow("plug-in switch") << 100 << hexList({"b00003", "c005"}) << 0 << Messages()
                                    << hexList({"c068", "90407f", "904000", "c005"});
    // Long enough that the note surely comes during the wait.
    QTest::newRow("notes held back while loading")
        << 2000 << hexList({"b00003", "c005", "903c64"}) << 4 << hexList({"903e64"})
        << hexList({"c068", "90407f", "904000", "c005", "903e64"});
}

void TestProgram::midiThroughProgram()
{
    QFETCH(int, loadingTime4);
    QFETCH(Messages, first);
    QFETCH(int, waitFor);
    QFETCH(Messages, second);
    QFETCH(Messages, expected);

    // The sink must exist before the program lists its ports.
    JackSink sink;
    Sandbox sandbox;
    QVERIFY(sandbox.valid());
    QVERIFY(sandbox.writeConfig(configWith(loadingTime4)));
    Program program(sandbox);
    QVERIFY2(program.waitForShown(), program.stderrSoFar().constData());

    JackSourceTo source(QStringLiteral("Brantolex helper virtual input"), "Test Source");
    QVERIFY(source.connected);
    // A new connection takes effect at the server's next cycle; a note that
    // makes it through shows that both ends are joined.
    bool joined = false;
    for (int attempt = 0; attempt < 50 && !joined; ++attempt) {
        source.send(bytes(sentinel));
        joined = QTest::qWaitFor([&] { return sink.log->size() > 0; }, 200);
    }
    QVERIFY(joined);
    sink.log->clear();

    for (const QByteArray &m : first)
        source.send(bytes(m));
    if (waitFor > 0) {
        QTRY_VERIFY_WITH_TIMEOUT(received(sink).size() >= waitFor, 30000);
        for (const QByteArray &m : second)
            source.send(bytes(m));
    }
    QTRY_VERIFY_WITH_TIMEOUT(received(sink).size() >= expected.size(), 30000);
    // Anything that should have been dropped would have come by now: the
    // last expected message was sent after it.
    QCOMPARE(received(sink), expected);

    program.signal(SIGTERM);
    QVERIFY(program.endedNormally());
}

QTEST_GUILESS_MAIN(TestProgram)
#include "tst_program.moc"
