// The built program, started as a user would (see sandbox.h).
#include "midipeers.h"
#include "sandbox.h"
#include "signalprocess.h"

#include "app/privatedirectory.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <grp.h>
#include <memory>
#include <sys/file.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

namespace {

using Messages = QList<QByteArray>;

// Sent until one arrives, to know the connection is up; never part of a check.
// A controller, not a note: a note would be held, and released at a switch.
const QByteArray sentinel = QByteArray::fromHex("b06601");

// A pre-written configuration: the test's MIDI system, the test sink as
// output, the virtual input, channel 1, short loading times.
// A hand-edited file as users keep it: a byte order mark, CRLF, a comment, a
// commented-out key and Latin-1 text.
const QByteArray handEdited("\xef\xbb\xbf; mine\r\n[MIDI]\r\nmidiInDevice=Synth\xe4\r\n"
                            "sysex=No ; or Yes\r\n\r\n[Plugin]\r\n# loadingTime2=9000\r\n"
                            "loadingTime4=100\r\n");

// What the program's user may hold of System V IPC: shared memory,
// semaphores, message queues, as "file:key".
QStringList sysvObjectsOf(uid_t uid)
{
    QStringList found;
    for (const char *name : {"shm", "sem", "msg"}) {
        QFile file(QStringLiteral("/proc/sysvipc/") + QLatin1String(name));
        if (!file.open(QIODevice::ReadOnly))
            continue;
        const QList<QByteArray> lines = file.readAll().split('\n');
        const QList<QByteArray> header = lines.value(0).simplified().split(' ');
        const qsizetype cuid = header.indexOf("cuid");
        for (qsizetype i = 1; i < lines.size(); ++i) {
            const QList<QByteArray> fields = lines.at(i).simplified().split(' ');
            if (cuid >= 0 && fields.size() > cuid && fields.at(cuid).toUInt() == uid)
                found << QLatin1String(name) + QLatin1Char(':') + QString::fromLatin1(fields.at(0));
        }
    }
    return found;
}

Messages received(const PeerSink &sink)
{
    Messages out;
    for (const Bytes &message : sink.log->all())
        if (qbytes(message) != sentinel)
            out << qbytes(testbackend::asSent(message));
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
    void initTestCase();
    void secondStartExitsAtOnce_data();
    void secondStartExitsAtOnce();
    void othersCannotBlock();
    void failedStartsSaySo_data();
    void failedStartsSaySo();
    void signalSavesSettings_data();
    void signalSavesSettings();
    void quitSignalsCounted();
    void startAfterFirstEnded_data();
    void startAfterFirstEnded();
    void midiThroughProgram_data();
    void midiThroughProgram();
};

void TestProgram::initTestCase()
{
    qInfo("back-end: %s", qPrintable(testbackend::name()));
    const QString problem = testbackend::select();
    QVERIFY2(problem.isEmpty(), qPrintable(problem));
}

void TestProgram::secondStartExitsAtOnce_data()
{
    QTest::addColumn<bool>("otherEnvironment");

    QTest::newRow("same environment") << false;
    // As under su, sudo, cron or ssh without a login session.
    QTest::newRow("other TMPDIR, no XDG_RUNTIME_DIR") << true;
}

void TestProgram::secondStartExitsAtOnce()
{
    QFETCH(bool, otherEnvironment);

    Sandbox sandbox(freshUid());
    QVERIFY(sandbox.valid());
    QVERIFY(sandbox.writeConfig(configWith(100)));

    Program first(sandbox);
    QVERIFY2(first.waitForShown(), first.stderrSoFar().constData());
    const auto before = sandbox.homeSnapshot();

    QTemporaryDir secondTmp;
    QVERIFY(secondTmp.isValid());
    chownTree(secondTmp.path(), sandbox.uid);
    QProcessEnvironment env = sandbox.env;
    if (otherEnvironment) {
        env.insert(QStringLiteral("TMPDIR"), secondTmp.path());
        env.remove(QStringLiteral("XDG_RUNTIME_DIR"));
    }
    Program second(env, sandbox.uid);
    QVERIFY(second.endedNormally());
    QVERIFY(!second.stderrSoFar().contains(shownLine));
    // Said, so that a start from the menu that ends at once is explained.
    QVERIFY2(second.stderrSoFar().contains("already runs for this user"),
             second.stderrSoFar().constData());
    QCOMPARE(sandbox.homeSnapshot(), before);
    QCOMPARE(first.process.state(), QProcess::Running);
    // The marker is a lock on a file: nothing of System V IPC.
    if (sandbox.uid != ::geteuid())
        QCOMPARE(sysvObjectsOf(sandbox.uid), QStringList());

    first.signal(SIGTERM);
    QVERIFY(first.endedNormally());
}

void TestProgram::othersCannotBlock()
{
    if (::geteuid() != 0)
        QSKIP("only root can act as another user");
    Sandbox sandbox(freshUid());
    QVERIFY(sandbox.valid());
    QVERIFY(sandbox.writeConfig(configWith(100)));
    const uid_t other = 65534;

    // A login session's runtime directory, as logind makes it (the ALSA
    // guest has no logind, nor /run/user).
    const QByteArray runtime = QFile::encodeName(PrivateDirectory::candidates(sandbox.uid).at(0));
    QVERIFY(QDir().mkpath(QFileInfo(QFile::decodeName(runtime)).path()));
    QVERIFY(::mkdir(runtime.constData(), 0700) == 0);
    QVERIFY(::chown(runtime.constData(), sandbox.uid, sandbox.uid) == 0);
    // Another user's link where the fallback would go, their directories at
    // the old names in TMPDIR, and shared-memory segments by the dozen.
    QTemporaryDir theirs;
    QVERIFY(theirs.isValid());
    QVERIFY(::chown(QFile::encodeName(theirs.path()).constData(), other, other) == 0);
    const QByteArray fallback = QFile::encodeName(PrivateDirectory::candidates(sandbox.uid).at(1));
    QVERIFY(::symlink(QFile::encodeName(theirs.path()).constData(), fallback.constData()) == 0);
    QVERIFY(::lchown(fallback.constData(), other, other) == 0);
    const QString uniqueKey = QStringLiteral("_sa_BrantolexFixer_") +
                              QString::fromLatin1(QByteArray::number(sandbox.uid).toHex());
    for (const QString &name : {uniqueKey, QStringLiteral("qipc_sharedmemory_saBrantolexFixer")}) {
        const QByteArray path = QFile::encodeName(sandbox.tmp.filePath(name));
        QVERIFY(::mkdir(path.constData(), 0755) == 0);
        QVERIFY(::chown(path.constData(), other, other) == 0);
    }
    std::vector<int> segments;
    for (int i = 0; i < 64; ++i) {
        const int id = ::shmget(key_t(0x51000000 | (i << 8)), 1, IPC_CREAT | 0644);
        if (id < 0)
            continue;
        segments.push_back(id);
        shmid_ds info = {};
        if (::shmctl(id, IPC_STAT, &info) == 0) {
            info.shm_perm.uid = other;
            ::shmctl(id, IPC_SET, &info);
        }
    }

    Program program(sandbox);
    const bool shown = program.waitForShown();
    program.signal(SIGTERM);
    const bool ended = program.endedNormally();
    for (int id : segments)
        ::shmctl(id, IPC_RMID, nullptr);
    ::unlink(fallback.constData());
    QDir(QFile::decodeName(runtime)).removeRecursively();
    QVERIFY2(shown, program.stderrSoFar().constData());
    QVERIFY(ended);
}

void TestProgram::failedStartsSaySo_data()
{
    QTest::addColumn<QString>("state");
    QTest::addColumn<QString>("reason");

    QTest::newRow("fallback another user's") << "foreign"
                                             << "private directory";
    QTest::newRow("fallback open to others") << "open"
                                             << "private directory";
    QTest::newRow("fallback a symlink") << "symlink"
                                        << "private directory";
    QTest::newRow("a directory in the way of the socket") << "socket"
                                                          << "a directory is in the way";
    QTest::newRow("directory locked by a stopped start") << "locked"
                                                         << "for more than 5 s";
}

// The code reaches the shell: a refusal is no quiet success.
void TestProgram::failedStartsSaySo()
{
    QFETCH(QString, state);
    QFETCH(QString, reason);

    if (::geteuid() != 0)
        QSKIP("needs root, to start the program as a user of its own");
    Sandbox sandbox(freshUid());
    QVERIFY(sandbox.valid());
    const uid_t uid = sandbox.uid;
    const QString fallback = PrivateDirectory::candidates(uid).at(1);
    QTemporaryDir target;
    QVERIFY(target.isValid());
    QVERIFY(::chown(QFile::encodeName(target.path()).constData(), uid, uid) == 0);
    const QByteArray path = QFile::encodeName(fallback);
    int lockFd = -1;
    if (state == "symlink") {
        QVERIFY(::symlink(QFile::encodeName(target.path()).constData(), path.constData()) == 0);
    } else {
        QVERIFY(::mkdir(path.constData(), state == "open" ? 0755 : 0700) == 0);
        QVERIFY(::chmod(path.constData(), state == "open" ? 0755 : 0700) == 0);
        QVERIFY(::chown(path.constData(), state == "foreign" ? 0 : uid, uid) == 0);
    }
    if (state == "socket") {
        const QString socket = fallback + QStringLiteral("/_sa_BrantolexFixer_") +
                               QString::fromLatin1(QByteArray::number(uid).toHex());
        QVERIFY(QDir().mkpath(socket + QStringLiteral("/kept")));
    }
    if (state == "locked") {
        lockFd = ::open(path.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        QVERIFY(lockFd >= 0 && ::flock(lockFd, LOCK_EX) == 0);
    }

    Program program(sandbox);
    const bool finished = program.process.waitForFinished(30000);
    const QByteArray errors = program.stderrSoFar();
    if (lockFd >= 0)
        ::close(lockFd);
    ::unlink(path.constData());
    QDir(fallback).removeRecursively();
    QVERIFY(finished);
    QCOMPARE(program.process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(program.process.exitCode(), 1);
    QVERIFY2(errors.contains("cannot start: ") && errors.contains(reason.toUtf8()),
             errors.constData());
}

void TestProgram::signalSavesSettings_data()
{
    QTest::addColumn<QList<int>>("pattern");

    QTest::newRow("SIGTERM") << QList<int>{SIGTERM};
    QTest::newRow("SIGINT") << QList<int>{SIGINT};
    QTest::newRow("SIGHUP") << QList<int>{SIGHUP};
    QTest::newRow("terminal closed") << QList<int>{SIGHUP, SIGCONT, SIGHUP};
    QTest::newRow("relayed SIGTERM") << QList<int>{SIGTERM, SIGTERM};
    QTest::newRow("SIGTERM, then SIGHUP") << QList<int>{SIGTERM, SIGHUP};
}

void TestProgram::signalSavesSettings()
{
    QFETCH(QList<int>, pattern);

    Sandbox sandbox(freshUid());
    QVERIFY(sandbox.valid());
    QVERIFY(sandbox.writeConfig(handEdited));

    Program program(sandbox);
    QVERIFY2(program.waitForShown(), program.stderrSoFar().constData());
    // Nothing is written while it runs.
    QCOMPARE(sandbox.config(), handEdited);
    // The rest once the first has come: the kernel merges a signal that is
    // still pending with its twin (bench/quitsignals.sh sends them at once).
    program.signal(pattern.front());
    while (!program.stderrSoFar().contains("quitting on signal"))
        QVERIFY2(program.process.waitForReadyRead(30000), program.stderrSoFar().constData());
    for (int number : pattern.mid(1))
        program.signal(number);
    QVERIFY(program.endedNormally());

    // No control was touched: only the window's lines are new, in the
    // file's line ends; every other byte is as the user wrote it.
    const QByteArray saved = sandbox.config();
    QVERIFY(saved.startsWith(handEdited));
    const QRegularExpression windowLines(QStringLiteral(
        "^\\r\\n\\[WINDOWS\\]\\r\\nMainWindowState=[^\\r\\n]+\\r\\nMainWindowGeometry=[^\\r\\n]+"
        "\\r\\n$"));
    QVERIFY2(windowLines.match(QString::fromLatin1(saved.mid(handEdited.size()))).hasMatch(),
             saved.constData());
    // Marker and server went with the application object.
    QCOMPARE(sandbox.leftovers(), QStringList());
}

void TestProgram::quitSignalsCounted()
{
    // The watcher the program uses, in a process whose shutdown hangs.
    QProcess helper;
    helper.start(QStringLiteral(APP_HELPER), {QStringLiteral("signals"), QStringLiteral("-")});
    QVERIFY(helper.waitForReadyRead(30000));
    QCOMPARE(helper.readLine().trimmed(), QByteArray("ready"));

    signalProcess(helper, SIGTERM);
    while (!helper.canReadLine())
        QVERIFY(helper.waitForReadyRead(30000));
    QCOMPARE(helper.readLine().trimmed(), QByteArray("received=" + QByteArray::number(SIGTERM)));

    // The second is ignored: it has come by the time the answer does.
    signalProcess(helper, SIGHUP);
    helper.write("still there?\n");
    while (!helper.canReadLine())
        QVERIFY(helper.waitForReadyRead(30000));
    QCOMPARE(helper.readLine().trimmed(), QByteArray("alive"));
    // The third within 5 s ends it, with a word.
    signalProcess(helper, SIGINT);
    QVERIFY(helper.waitForFinished(30000));
    QCOMPARE(helper.exitStatus(), QProcess::CrashExit);
    QVERIFY(helper.readAllStandardError().contains("three quit signals within 5 s"));
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

    Sandbox sandbox(freshUid());
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
    PeerSink sink;
    Sandbox sandbox;
    QVERIFY(sandbox.valid());
    QVERIFY(sandbox.writeConfig(configWith(loadingTime4, sink.portName())));
    Program program(sandbox);
    QVERIFY2(program.waitForShown(), program.stderrSoFar().constData());

    PeerSourceTo source(QStringLiteral("Brantolex helper virtual input"), "Test Source");
    QVERIFY(source.connected);
    // A message that makes it through shows that both ends are joined.
    QVERIFY(warmUp([&] { source.send(bytes(sentinel)); }, [&] { return sink.log->size() > 0; }));
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
