// The built program, started as a user would (see sandbox.h).
#include "midipeers.h"
#include "sandbox.h"
#include "signalprocess.h"
#include "testhelpers.h"

#include "app/privatedirectory.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <functional>
#include <sched.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using Messages = QList<QByteArray>;

// Sent until one arrives, to know the connection is up; never part of a check.
// A controller, not a note: a note would be held, and released at a switch.
const QByteArray sentinel = QByteArray::fromHex("b06601");

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
    void unusablePlaces_data();
    void unusablePlaces();
    void signalSavesSettings_data();
    void signalSavesSettings();
    void quitSignalsCounted_data();
    void quitSignalsCounted();
    void midiThroughProgram_data();
    void midiThroughProgram();
};

void TestProgram::initTestCase()
{
    QVERIFY_BACKEND_SELECTED();
}

void TestProgram::secondStartExitsAtOnce_data()
{
    // What happens between the two starts.
    QTest::addColumn<QString>("between");

    QTest::newRow("same environment") << "";
    // As under su, sudo, cron or ssh without a login session.
    QTest::newRow("other TMPDIR, no XDG_RUNTIME_DIR") << "other environment";
    // The cleaning of /tmp by age, at its shortest.
    QTest::newRow("systemd-tmpfiles --clean took the fallback's files") << "tmp cleaned";
    // An earlier first instance ended so: what it left blocks no start.
    QTest::newRow("first started after one killed") << "killed";
    QTest::newRow("first started after one terminated") << "terminated";
}

void TestProgram::secondStartExitsAtOnce()
{
    QFETCH(QString, between);

    Sandbox sandbox(freshUid());
    QVERIFY(sandbox.prepared());
    if (between == "killed" || between == "terminated") {
        Program earlier(sandbox);
        QVERIFY2(earlier.waitForShown(), earlier.stderrSoFar().constData());
        earlier.signal(between == "killed" ? SIGKILL : SIGTERM);
        QVERIFY(earlier.process.waitForFinished(quitMs));
        QCOMPARE(!sandbox.leftovers().isEmpty(), between == "killed");
    }

    Program first(sandbox);
    QVERIFY2(first.waitForShown(), first.stderrSoFar().constData());
    const auto before = sandbox.homeSnapshot();

    QTemporaryDir secondTmp;
    QVERIFY(sandbox.give(secondTmp));
    QProcessEnvironment env = sandbox.env;
    if (between == "other environment") {
        env.insert(QStringLiteral("TMPDIR"), secondTmp.path());
        env.remove(QStringLiteral("XDG_RUNTIME_DIR"));
    }
    if (between == "tmp cleaned") {
        // Installed by tools/install-deps.sh; the ALSA guest has none.
        if (QStandardPaths::findExecutable(QStringLiteral("systemd-tmpfiles")).isEmpty())
            QSKIP("systemd-tmpfiles is not installed here");
        const QString fallback = PrivateDirectory::candidates(sandbox.uid).at(1);
        QFile rules(secondTmp.filePath(QStringLiteral("brantolex.conf")));
        QVERIFY(rules.open(QIODevice::WriteOnly));
        rules.write("e " + QFile::encodeName(fallback) + " - - - 0\n");
        rules.close();
        QProcess clean;
        clean.start(QStringLiteral("systemd-tmpfiles"),
                    {QStringLiteral("--clean"), rules.fileName()});
        QVERIFY2(clean.waitForFinished(startMs) && clean.exitCode() == 0,
                 clean.readAllStandardError().constData());
        QCOMPARE(QDir(fallback).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot),
                 QStringList());
    }
    Program second(env, sandbox.uid);
    QVERIFY(second.endedNormally(startMs));
    QVERIFY(!second.stderrSoFar().contains(shownLine));
    // Said, so that a start from the menu that ends at once is explained.
    QVERIFY2(second.stderrSoFar().contains("already runs for this user"),
             second.stderrSoFar().constData());
    // Nothing of the toolkit's own about the missing variable.
    QVERIFY2(!second.stderrSoFar().contains("QStandardPaths"), second.stderrSoFar().constData());
    QCOMPARE(sandbox.homeSnapshot(), before);
    QCOMPARE(first.process.state(), QProcess::Running);
    // The marker is a lock on a file: nothing of System V IPC.
    if (sandbox.uid != ::geteuid())
        QCOMPARE(sysvObjectsOf(sandbox.uid), QStringList());

    first.signal(SIGTERM);
    QVERIFY(first.endedNormally());
    QCOMPARE(sandbox.leftovers(), QStringList());
}

void TestProgram::unusablePlaces_data()
{
    QTest::addColumn<QString>("state");  // of the fallback in /tmp
    QTest::addColumn<bool>("runtime");   // a runtime directory of the user's
    QTest::addColumn<bool>("home");      // a home for the marker beside the settings
    QTest::addColumn<QString>("reason"); // empty: it starts

    QTest::newRow("/tmp without inodes, a runtime directory") << "no inodes" << true << true << "";
    // Another user's link where the fallback would go, their directories at
    // the old names in TMPDIR, and shared-memory segments by the dozen.
    QTest::newRow("others' link, directories and shared memory, a runtime directory")
        << "planted" << true << true << "";
    QTest::newRow("fallback another user's, the home ours") << "foreign" << false << true << "";
    QTest::newRow("a directory in the way of the socket") << "socket" << false << true << "";
    QTest::newRow("fallback another user's, nothing else")
        << "foreign" << false << false << "no private place";
    QTest::newRow("fallback open to others, nothing else")
        << "open" << false << false << "no private place";
    QTest::newRow("fallback a symlink, nothing else")
        << "symlink" << false << false << "no private place";
    QTest::newRow("directory locked by a stopped start, nothing else")
        << "locked" << false << false << "for more than 5 s";
}

// A place that cannot be used is passed over while another holds the
// marker; with none, the start says why, and the code reaches the shell.
void TestProgram::unusablePlaces()
{
    QFETCH(QString, state);
    QFETCH(bool, runtime);
    QFETCH(bool, home);
    QFETCH(QString, reason);

    if (::geteuid() != 0)
        QSKIP("needs root, to start the program as a user of its own");
    Sandbox sandbox(freshUid());
    QVERIFY(sandbox.prepared());
    const uid_t uid = sandbox.uid;
    const QString fallback = PrivateDirectory::candidates(uid).at(1);
    const QByteArray runtimePath = QFile::encodeName(PrivateDirectory::candidates(uid).at(0));
    QTemporaryDir target;
    QVERIFY(target.isValid());
    const uid_t owner = state == "planted" ? 65534 : uid;
    QVERIFY(::chown(QFile::encodeName(target.path()).constData(), owner, owner) == 0);
    const QByteArray path = QFile::encodeName(fallback);
    int lockFd = -1;
    std::vector<int> segments;
    const auto cleanUp = qScopeGuard([&] {
        if (lockFd >= 0)
            ::close(lockFd);
        for (int id : segments)
            ::shmctl(id, IPC_RMID, nullptr);
        ::unlink(path.constData());
        QDir(fallback).removeRecursively();
        QDir(QFile::decodeName(runtimePath)).removeRecursively();
    });
    if (state == "symlink" || state == "planted") {
        QVERIFY(::symlink(QFile::encodeName(target.path()).constData(), path.constData()) == 0);
        QVERIFY(::lchown(path.constData(), owner, owner) == 0);
    } else {
        QVERIFY(::mkdir(path.constData(), state == "open" ? 0755 : 0700) == 0);
        QVERIFY(::chmod(path.constData(), state == "open" ? 0755 : 0700) == 0);
        QVERIFY(::chown(path.constData(), state == "foreign" ? 0 : uid, uid) == 0);
    }
    const QString uniqueKey = QStringLiteral("_sa_BrantolexFixer_") +
                              QString::fromLatin1(QByteArray::number(uid).toHex());
    if (state == "socket")
        QVERIFY(QDir().mkpath(fallback + QLatin1Char('/') + uniqueKey + QStringLiteral("/kept")));
    if (state == "planted") {
        for (const QString &name :
             {uniqueKey, QStringLiteral("qipc_sharedmemory_saBrantolexFixer")}) {
            const QByteArray planted = QFile::encodeName(sandbox.tmp.filePath(name));
            QVERIFY(::mkdir(planted.constData(), 0755) == 0);
            QVERIFY(::chown(planted.constData(), owner, owner) == 0);
        }
        for (int i = 0; i < 64; ++i) {
            const int id = ::shmget(key_t(0x51000000 | (i << 8)), 1, IPC_CREAT | 0644);
            if (id < 0)
                continue;
            segments.push_back(id);
            shmid_ds info = {};
            if (::shmctl(id, IPC_STAT, &info) == 0) {
                info.shm_perm.uid = owner;
                ::shmctl(id, IPC_SET, &info);
            }
        }
    }
    if (state == "locked") {
        lockFd = ::open(path.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        QVERIFY(lockFd >= 0 && ::flock(lockFd, LOCK_EX) == 0);
    }
    if (runtime) {
        QVERIFY(QDir().mkpath(QFileInfo(QFile::decodeName(runtimePath)).path()));
        QVERIFY(::mkdir(runtimePath.constData(), 0700) == 0);
        QVERIFY(::chown(runtimePath.constData(), uid, uid) == 0);
    }
    QProcessEnvironment env = sandbox.env;
    // A user with no entry in the password database has only $HOME.
    if (!home)
        env.remove(QStringLiteral("HOME"));
    // The fallback as it is when /tmp has no inode left, for the program
    // alone: a file system of its own there, in a mount namespace.
    const QByteArray options =
        "nr_inodes=1,mode=0700,uid=" + QByteArray::number(uid) + ",gid=" + QByteArray::number(uid);
    const auto full = [path, options] {
        if (::unshare(CLONE_NEWNS) != 0 ||
            ::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            ::mount("tmpfs", path.constData(), "tmpfs", 0, options.constData()) != 0)
            ::_exit(98);
    };

    Program program(env, uid, {}, state == "no inodes" ? std::function<void()>(full) : nullptr);
    const bool shown = reason.isEmpty() && program.waitForShown();
    QVERIFY2(shown == reason.isEmpty(), program.stderrSoFar().constData());
    if (shown)
        program.signal(SIGTERM);
    QVERIFY(program.process.waitForFinished(shown ? quitMs : startMs));
    const QByteArray errors = program.stderrSoFar();
    QCOMPARE(program.process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(program.process.exitCode(), reason.isEmpty() ? 0 : 1);
    if (!reason.isEmpty())
        QVERIFY2(errors.contains("cannot start: ") && errors.contains(reason.toUtf8()),
                 errors.constData());
}

void TestProgram::signalSavesSettings_data()
{
    QTest::addColumn<QList<int>>("pattern");
    // All at once, or the rest only once the first has come: the kernel
    // merges a signal that is still pending with its twin
    // (bench/quitsignals.sh sends them at once).
    QTest::addColumn<bool>("atOnce");
    // Beside the settings: nothing, a FIFO where a save's temporary file
    // goes, or a directory the program may not write in.
    QTest::addColumn<QString>("obstacle");

    const auto row = [](const char *name, const QList<int> &pattern, bool atOnce = false,
                        const char *obstacle = "") {
        QTest::newRow(name) << pattern << atOnce << QString(obstacle);
    };
    row("SIGTERM", {SIGTERM});
    row("SIGINT", {SIGINT});
    row("SIGHUP", {SIGHUP});
    row("terminal closed", {SIGHUP, SIGCONT, SIGHUP});
    row("relayed SIGTERM", {SIGTERM, SIGTERM});
    row("SIGTERM, then SIGHUP", {SIGTERM, SIGHUP});
    row("HUP, TERM and INT at once", {SIGHUP, SIGTERM, SIGINT}, true);
    row("a session's stop: TERM, CONT, HUP", {SIGTERM, SIGCONT, SIGHUP}, true);
    row("a session's stop, then a relayed SIGTERM", {SIGTERM, SIGCONT, SIGHUP, SIGTERM});
    row("a FIFO where the temporary file goes", {SIGTERM}, false, "fifo");
    row("a settings directory not writable", {SIGTERM}, false, "read-only");
}

void TestProgram::signalSavesSettings()
{
    QFETCH(QList<int>, pattern);
    QFETCH(bool, atOnce);
    QFETCH(QString, obstacle);

    Sandbox sandbox(freshUid());
    QVERIFY(sandbox.valid());
    QVERIFY(sandbox.writeConfig(handEdited));
    const QString directory = QFileInfo(sandbox.configPath()).path();
    const QByteArray fifo = QFile::encodeName(sandbox.configPath() + ".saving-FiFo00");
    if (obstacle == "fifo") {
        QVERIFY(::mkfifo(fifo.constData(), 0600) == 0);
        QVERIFY(::chown(fifo.constData(), sandbox.uid, sandbox.uid) == 0);
    }
    if (obstacle == "read-only") {
        if (sandbox.uid == 0)
            QSKIP("root may write anywhere");
        QVERIFY(::chmod(QFile::encodeName(directory).constData(), 0500) == 0);
    }

    Program program(sandbox);
    QVERIFY2(program.waitForShown(), program.stderrSoFar().constData());
    // Nothing is written while it runs.
    QCOMPARE(sandbox.config(), handEdited);
    program.signal(pattern.front());
    while (!atOnce && !program.stderrSoFar().contains("quitting on signal"))
        QVERIFY2(program.process.waitForReadyRead(answerMs), program.stderrSoFar().constData());
    for (int number : pattern.mid(1))
        program.signal(number);
    const bool finished = program.process.waitForFinished(quitMs);
    ::chmod(QFile::encodeName(directory).constData(), 0700);
    QVERIFY2(finished, program.stderrSoFar().constData());
    QCOMPARE(program.process.exitStatus(), QProcess::NormalExit);

    // Marker and server went with the application object.
    QCOMPARE(sandbox.leftovers(), QStringList());
    if (obstacle == "read-only") {
        // A service manager learns that the settings were not kept, and why.
        QCOMPARE(program.process.exitCode(), 1);
        QVERIFY2(program.stderrSoFar().contains("could not save the settings to " +
                                                QFile::encodeName(sandbox.configPath()) +
                                                ": Permission denied"),
                 program.stderrSoFar().constData());
        QCOMPARE(sandbox.config(), handEdited);
        return;
    }
    QCOMPARE(program.process.exitCode(), 0);
    // No control was touched: only the window's lines are new, in the
    // file's line ends; every other byte is as the user wrote it.
    const QByteArray saved = sandbox.config();
    QVERIFY(saved.startsWith(handEdited));
    const QRegularExpression windowLines(QStringLiteral(
        "^\\r\\n\\[WINDOWS\\]\\r\\nMainWindowState=[^\\r\\n]+\\r\\nMainWindowGeometry=[^\\r\\n]+"
        "\\r\\n$"));
    QVERIFY2(windowLines.match(QString::fromLatin1(saved.mid(handEdited.size()))).hasMatch(),
             saved.constData());
    // The FIFO was nobody's save: left alone.
    QCOMPARE(QFileInfo::exists(QFile::decodeName(fifo)), obstacle == "fifo");
}

void TestProgram::quitSignalsCounted_data()
{
    // The first signal, then the others, each seen before the next.
    QTest::addColumn<QList<int>>("sequence");
    QTest::addColumn<bool>("forced");

    QTest::newRow("SIGTERM, SIGHUP, SIGCONT never force")
        << QList<int>{SIGTERM, SIGHUP, SIGTERM, SIGCONT, SIGHUP, SIGTERM} << false;
    QTest::newRow("two SIGINTs after a SIGTERM")
        << QList<int>{SIGTERM, SIGINT, SIGHUP, SIGINT} << false;
    QTest::newRow("a third SIGINT") << QList<int>{SIGINT, SIGTERM, SIGINT, SIGINT} << true;
    QTest::newRow("three SIGINTs after a SIGTERM")
        << QList<int>{SIGTERM, SIGINT, SIGINT, SIGINT} << true;
}

// Only a person pressing Ctrl+C a third time cuts a stuck quit short.
void TestProgram::quitSignalsCounted()
{
    QFETCH(QList<int>, sequence);
    QFETCH(bool, forced);

    // The watcher the program uses, in a process whose shutdown hangs.
    QProcess helper;
    helper.start(QStringLiteral(APP_HELPER), {QStringLiteral("signals"), QStringLiteral("-")});
    QVERIFY(helper.waitForReadyRead(startMs));
    QCOMPARE(helper.readLine().trimmed(), QByteArray("ready"));

    // Each signal is seen before the next: the helper answers a line after it.
    const auto answer = [&] {
        while (!helper.canReadLine())
            if (!helper.waitForReadyRead(answerMs))
                return QByteArray();
        return helper.readLine().trimmed();
    };
    signalProcess(helper, sequence.front());
    QCOMPARE(answer(), QByteArray("received=" + QByteArray::number(sequence.front())));
    for (int i = 1; i < sequence.size(); ++i) {
        signalProcess(helper, sequence.at(i));
        if (forced && i == sequence.size() - 1)
            break;
        // Ignored: it has come by the time the answer does.
        helper.write("still there?\n");
        QCOMPARE(answer(), QByteArray("alive"));
    }
    if (!forced)
        helper.kill();
    QVERIFY(helper.waitForFinished(quitMs));
    QCOMPARE(helper.exitStatus(), QProcess::CrashExit);
    QCOMPARE(helper.readAllStandardError().contains("a third Ctrl+C"), forced);
}

void TestProgram::midiThroughProgram_data()
{
    QTest::addColumn<int>("loadingTime4");
    QTest::addColumn<Messages>("first");
    // How many messages must have arrived before the second part is sent.
    QTest::addColumn<int>("waitFor");
    QTest::addColumn<Messages>("second");
    // From another start, after waitFor: its exit code, -1 for none; with 1
    // the unit has gone first.
    QTest::addColumn<int>("panic");
    QTest::addColumn<Messages>("expected");

    const auto row = [](const char *name, const Messages &first, const Messages &expected,
                        int loadingTime4 = 100, int waitFor = 0, const Messages &second = {},
                        int panic = -1) {
        QTest::newRow(name) << loadingTime4 << first << waitFor << second << panic << expected;
    };
    row("routed channel passes", hexList({"903c64", "803c00", "b00740"}),
        hexList({"903c64", "803c00", "b00740"}));
    row("other channels dropped", hexList({"913c64", "9f3c64", "903d64"}), hexList({"903d64"}));
    row("program change without a switch", hexList({"c005"}), hexList({"c005"}));
    row("plug-in switch", hexList({"b00003", "c005"}),
        hexList({"c068", "90407f", "904000", "c005"}));
    // Long enough that the note surely comes during the wait.
    row("notes held back while loading", hexList({"b00003", "c005", "903c64"}),
        hexList({"c068", "90407f", "904000", "c005", "903e64"}), 2000, 4, hexList({"903e64"}));
    Messages panicked = hexList({"903c64", "803c00"});
    for (int channel = 0; channel < 16; ++channel)
        for (const char *cc : {"4000", "7800", "7b00"})
            panicked << QByteArray(1, char(0xB0 + channel)) + QByteArray::fromHex(cc);
    row("a panic asked by another start", hexList({"903c64"}), panicked, 100, 1, {}, 0);
    row("a panic with no output open", hexList({"903c64"}), hexList({"903c64"}), 100, 1, {}, 1);
}

void TestProgram::midiThroughProgram()
{
    QFETCH(int, loadingTime4);
    QFETCH(Messages, first);
    QFETCH(int, waitFor);
    QFETCH(Messages, second);
    QFETCH(int, panic);
    QFETCH(Messages, expected);

    // The sink must exist before the program lists its ports.
    PeerSink sink;
    Sandbox sandbox(midiUid());
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
        QTRY_VERIFY_WITH_TIMEOUT(received(sink).size() >= waitFor, 10000);
        for (const QByteArray &m : second)
            source.send(bytes(m));
    }
    if (panic == 1) {
        sink.unplug();
        QVERIFY2(program.waitForError("has gone"), program.stderrSoFar().constData());
    }
    if (panic >= 0) {
        Program asking(sandbox, {QStringLiteral("--panic")});
        QVERIFY(asking.process.waitForFinished(startMs));
        QCOMPARE(asking.process.exitCode(), panic);
        QCOMPARE(asking.process.readAllStandardError().contains("no output"), panic == 1);
    }
    QTRY_VERIFY_WITH_TIMEOUT(received(sink).size() >= expected.size(), 10000);
    // Anything that should have been dropped would have come by now: the
    // last expected message was sent after it.
    QCOMPARE(received(sink), expected);

    program.signal(SIGTERM);
    QVERIFY(program.endedNormally());
}

QTEST_GUILESS_MAIN(TestProgram)
#include "tst_program.moc"
