// The program's options, from outside as a user types them (no display, a
// home of its own, a user of its own where no MIDI system is needed) and,
// for the MIDI system's choice, in the process.
#include "app/commandline.h"
#include "jackpeers.h"
#include "midi/midiio.h"
#include "midi/midisystem.h"
#include "midipeers.h"
#include "sandbox.h"
#include "testhelpers.h"
#include "ui/brantolexmainwindow.h"

#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSettings>
#include <QStandardPaths>
#include <QTest>

#include <csignal>

namespace {
const Bytes ping = {0x90, 0x7F, 0x01};

// As on a rack machine or over ssh: no display, and no platform named.
void withoutDisplay(QProcessEnvironment &env)
{
    for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        env.remove(QLatin1String(name));
}

// The lines of the headless report among what the program said.
QStringList reported(const QByteArray &errors, const QStringList &texts)
{
    QStringList lines;
    const QString prefix = QStringLiteral("Brantolex Fixer: ");
    for (const QString &line : QString::fromUtf8(errors).split(QLatin1Char('\n')))
        if (line.startsWith(prefix) && texts.contains(line.mid(prefix.size())))
            lines << line.mid(prefix.size());
    return lines;
}
} // namespace

class TestCommandLine : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void answers_data();
    void answers();
    void listedNamesOpenTheirPorts();
    void storedNameFindsPort_data();
    void storedNameFindsPort();
    void midiSystemKept_data();
    void midiSystemKept();
    void headless_data();
    void headless();
    void windowClassMatchesDesktopEntry();

private:
    QString configPath() const { return home.configPath(); }

    // The in-process tests' home.
    TemporaryHome home;
};

void TestCommandLine::initTestCase()
{
    QVERIFY(home.use());
}

void TestCommandLine::init()
{
    home.clear();
}

void TestCommandLine::answers_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("out"); // patterns
    QTest::addColumn<QString>("err");

    const auto row = [](const char *name, const QStringList &arguments, int exitCode,
                        const char *out, const char *err) {
        QTest::newRow(name) << arguments << exitCode << QString(out) << QString(err);
    };
    row("help", {"--help"}, 0, "--list-ports.*--midi-system", "^$");
    row("version", {"--version"}, 0, "^Brantolex Fixer \\d+\\.\\d+\\n$", "^$");
    row("unknown option", {"--list-port"}, 2, "^$", "list-port.*Usage:.*--headless");
    row("unknown MIDI system", {"--midi-system", "oss", "--list-ports"}, 2, "^$", "oss.*Usage:");
    row("MIDI system missing", {"--midi-system"}, 2, "^$", "Usage:");
    // A question: no choice is kept, whatever comes with it.
    row("listing on a system", {"--list-ports", "--midi-system", "jack"}, 0,
        "out\tForeign Synth:midi in\n", "");
    row("listing, headless", {"--headless", "--midi-system=jack", "--list-ports"}, 0,
        "in\tForeign Synth:midi out\n", "");
    // NAME=VALUE before the options goes to the environment.
    row("listing with no MIDI system",
        {"JACK_DEFAULT_SERVER=brantolex-none", "--list-ports", "--midi-system", "jack"}, 1, "^$",
        "^No JACK server runs here \\(--midi-system jack\\); start one, or --midi-system alsa "
        "uses the ALSA sequencer\\n$");
    row("panic with no instance running", {"--panic"}, 1, "^$",
        "^Brantolex Fixer: no instance runs[^\\n]*\\n$");
    row("stray argument", {"ports"}, 2, "^$", "ports.*Usage:");
    // Where a window cannot open, the toolkit would abort.
    row("no display", {}, 1, "^$",
        "^Brantolex Fixer: no display found[^\\n]*--headless runs it without a window\\n$");
    row("a display that cannot be opened", {"DISPLAY=:65001"}, 1, "^$",
        "^Brantolex Fixer: the display \\(DISPLAY=:65001\\) cannot be opened; --headless runs "
        "it without a window\\n$");
}

// Answered at once, with no display and nothing written.
void TestCommandLine::answers()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QString, out);
    QFETCH(QString, err);
    // The listings need the suite's MIDI system.
    Sandbox sandbox(midiUid());
    QVERIFY(sandbox.valid());
    withoutDisplay(sandbox.env);
    while (!arguments.isEmpty() && arguments.first().contains(QLatin1Char('='))) {
        const QString setting = arguments.takeFirst();
        sandbox.env.insert(setting.section(QLatin1Char('='), 0, 0),
                           setting.section(QLatin1Char('='), 1));
    }
    Program program(sandbox, arguments);
    QProcess &process = program.process;
    QVERIFY(process.waitForFinished(startMs));
    const QString stdOut = QString::fromUtf8(process.readAllStandardOutput());
    const QString stdErr = QString::fromUtf8(process.readAllStandardError());
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), exitCode);
    const auto matches = [](const QString &pattern, const QString &text) {
        return QRegularExpression(pattern, QRegularExpression::DotMatchesEverythingOption)
            .match(text)
            .hasMatch();
    };
    QVERIFY2(matches(out, stdOut), qPrintable(stdOut));
    QVERIFY2(matches(err, stdErr), qPrintable(stdErr));
    QVERIFY(!QFile::exists(sandbox.configPath()));
}

// What --list-ports prints is what the settings take: pasted into the file,
// the names open those very ports and MIDI flows through them.
void TestCommandLine::listedNamesOpenTheirPorts()
{
    JackSource source("bx-cl-src");
    JackSink sink("bx-cl-sink");
    Sandbox sandbox(midiUid());
    withoutDisplay(sandbox.env);
    Program program(sandbox, {QStringLiteral("--list-ports")});
    QProcess &process = program.process;
    QVERIFY(process.waitForFinished(startMs));
    QCOMPARE(process.exitCode(), 0);
    QStringList inputs, outputs;
    const QStringList lines = QString::fromUtf8(process.readAllStandardOutput())
                                  .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    for (const QString &line : lines) {
        const QString kind = line.section(QLatin1Char('\t'), 0, 0);
        const QString name = line.section(QLatin1Char('\t'), 1);
        QVERIFY2(kind == QLatin1String("in") || kind == QLatin1String("out"), qPrintable(line));
        (kind == QLatin1String("in") ? inputs : outputs) << name;
    }
    {
        const MidiIO router;
        QCOMPARE(inputs, router.midiInPorts);
        QCOMPARE(outputs, router.midiOutPorts);
    }
    const QString in = JackSource::portName("bx-cl-src");
    const QString out = JackSink::portName("bx-cl-sink");
    QVERIFY(inputs.contains(in) && outputs.contains(out));
    QVERIFY(inputs.contains(QStringLiteral("Foreign Synth:midi out")));

    QVERIFY(home.write(
        "[MIDI]\ncreateVirtualInput=No\nmidiInDevice=" + inputs.at(inputs.indexOf(in)).toUtf8() +
        "\nmidiOutDevice=" + outputs.at(outputs.indexOf(out)).toUtf8() + "\n"));
    BrantolexMainWindow window;
    QVERIFY(window.router()->inputOpen() && !window.router()->inputIsVirtual());
    QVERIFY(warmUp([&] { source.send(ping); }, [&] { return sink.log->size() > 0; }));
}

void TestCommandLine::storedNameFindsPort_data()
{
    QTest::addColumn<QStringList>("ports");
    QTest::addColumn<QString>("stored");
    QTest::addColumn<QString>("found");

    const QStringList alsa{"Midi Through:Port-0 14:0", "Lat Recv:router 128:0"};
    const auto row = [](const char *name, const QStringList &ports, const char *stored,
                        const char *found) {
        QTest::newRow(name) << ports << QString(stored) << QString(found);
    };
    row("as listed", alsa, "Lat Recv:router 128:0", "Lat Recv:router 128:0");
    row("other numbers", alsa, "Lat Recv:router 130:0", "Lat Recv:router 128:0");
    row("as aconnect shows it", alsa, "Lat Recv:router", "Lat Recv:router 128:0");
    row("another port", alsa, "Lat Recv:monitor", "");
    row("JACK", {"Foreign Synth:midi in"}, "Foreign Synth:midi in", "Foreign Synth:midi in");
}

// Settings name a port as --list-ports prints it, or, on ALSA, without the
// numbers.
void TestCommandLine::storedNameFindsPort()
{
    QFETCH(QStringList, ports);
    QFETCH(QString, stored);
    QFETCH(QString, found);
    QCOMPARE(MidiSystem::matchPort(ports, stored), found);
}

void TestCommandLine::midiSystemKept_data()
{
    QTest::addColumn<QByteArray>("stored");
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QString>("used");
    QTest::addColumn<QString>("kept"); // "-" for no key

    const auto row = [](const char *name, const QByteArray &stored, const QStringList &options,
                        const char *used, const char *kept) {
        QTest::newRow(name) << stored << options << QString(used) << QString(kept);
    };
    row("nothing chosen", {}, {}, "", "-");
    row("kept choice", "jack", {}, "jack", "jack");
    row("option over kept choice", "jack", {"--midi-system", "alsa"}, "alsa", "alsa");
    row("option in capitals", {}, {"--midi-system=JACK"}, "jack", "jack");
    row("back to the usual order", "jack", {"--midi-system", "auto"}, "", "auto");
    row("hand-edited nonsense", "oss", {}, "", "oss");
}

// The option chooses the system the router uses and stays for the next
// starts; without it, the settings choose.
void TestCommandLine::midiSystemKept()
{
    QFETCH(QByteArray, stored);
    QFETCH(QStringList, options);
    QFETCH(QString, used);
    QFETCH(QString, kept);
    if (!stored.isEmpty())
        QVERIFY(home.write("[MIDI]\nmidiSystem=" + stored + "\n"));
    MidiIO::setPreferredSystem(QStringLiteral("alsa"));
    CommandLine commandLine(0, nullptr);
    QCOMPARE(commandLine.process(QStringList{QStringLiteral("brantolex-fixer")} + options), -1);
    QCOMPARE(MidiIO::preferredSystem(), used);
    QSettings file(configPath(), QSettings::IniFormat);
    QCOMPARE(file.value(QStringLiteral("MIDI/midiSystem"), QStringLiteral("-")).toString(), kept);
}

void TestCommandLine::headless_data()
{
    QTest::addColumn<bool>("midiSystem");
    QTest::addColumn<bool>("unitAtStart");
    // Steps after the first line: "+" makes the unit's port, "-" takes it away.
    QTest::addColumn<QString>("steps");
    QTest::addColumn<QStringList>("lines");

    const QString unit = JackSink::portName("bx-cl-later");
    const QString absent = QStringLiteral("Output port %1 is absent").arg(unit);
    const QString routing =
        QStringLiteral("routing channel 1 from the virtual input \"Brantolex helper virtual "
                       "input\" to %1 on JACK")
            .arg(unit);
    QTest::newRow("routes and saves") << true << true << "" << QStringList{routing};
    // The system the settings chose is named, with the way to another.
    QTest::newRow("no MIDI system")
        << false << false << ""
        << QStringList{QStringLiteral("No JACK server runs here (midiSystem=jack in <config>); "
                                      "start one, or --midi-system alsa uses the ALSA "
                                      "sequencer; ") +
                       absent};
    QTest::newRow("unit away, there, away")
        << true << false << "+-" << QStringList{absent, routing, absent};
}

// No window, and no display needed: it routes from the virtual input to the
// chosen output until SIGTERM, then saves. The journal is a service's only
// screen: the state line's news, once each, said at start (before the
// program settles down to route) and at each change.
void TestCommandLine::headless()
{
    QFETCH(bool, midiSystem);
    QFETCH(bool, unitAtStart);
    QFETCH(QString, steps);
    QFETCH(QStringList, lines);

    std::unique_ptr<JackSink> unit;
    if (unitAtStart)
        unit = std::make_unique<JackSink>("bx-cl-later");
    Sandbox sandbox(midiSystem ? midiUid() : freshUid());
    QVERIFY(sandbox.valid());
    QVERIFY(sandbox.writeConfig("[MIDI]\nmidiSystem=jack\nmidiOutDevice=" +
                                JackSink::portName("bx-cl-later").toUtf8() + "\n"));
    lines.replaceInStrings(QStringLiteral("<config>"), sandbox.configPath());
    withoutDisplay(sandbox.env);
    // A display that is named but not there, as in an ssh session.
    sandbox.env.insert(QStringLiteral("DISPLAY"), QStringLiteral(":65000"));
    if (!midiSystem)
        sandbox.env.insert(QStringLiteral("JACK_DEFAULT_SERVER"), QStringLiteral("bx-none"));
    Program program(sandbox, {QStringLiteral("--headless")});
    QVERIFY2(program.waitForError("brantolex.startup: routing"), program.stderrSoFar().constData());
    const QByteArray atStart = program.stderrSoFar();
    QVERIFY(!atStart.contains("window shown"));
    QVERIFY2(reported(atStart, lines) == lines.mid(0, 1), atStart.constData());
    QVERIFY(atStart.indexOf("Brantolex Fixer: " + lines.first().toUtf8()) <
            atStart.indexOf("brantolex.startup: routing"));

    int expected = 1;
    for (QChar step : steps) {
        if (step == QLatin1Char('+'))
            unit = std::make_unique<JackSink>("bx-cl-later");
        else
            unit.reset();
        ++expected;
        QVERIFY2(
            QTest::qWaitFor(
                [&] { return reported(program.stderrSoFar(), lines).size() >= expected; }, startMs),
            program.stderrSoFar().constData());
    }
    // Where the unit is there, MIDI reaches it.
    std::unique_ptr<JackSourceTo> source;
    const auto joined = [&] {
        source = std::make_unique<JackSourceTo>(QStringLiteral("virtual input"), "bx-cl-keys");
        return source->connected;
    };
    if (unit) {
        QVERIFY(QTest::qWaitFor(joined, startMs));
        QVERIFY(warmUp([&] { source->send(ping); }, [&] { return unit->log->size() > 0; }));
    }
    program.signal(SIGTERM);
    QVERIFY(program.endedNormally());
    QCOMPARE(reported(program.stderrSoFar(), lines), lines);
    // Nothing of a window that never was.
    QSettings file(sandbox.configPath(), QSettings::IniFormat);
    QVERIFY(file.childGroups().contains(QStringLiteral("MIDI")));
    QVERIFY(!file.childGroups().contains(QStringLiteral("WINDOWS")));
}

// Docks match a window to its desktop entry by the window's class, the
// second part of WM_CLASS.
void TestCommandLine::windowClassMatchesDesktopEntry()
{
    const QString xvfb = QStandardPaths::findExecutable(QStringLiteral("Xvfb"));
    const QString xwininfo = QStandardPaths::findExecutable(QStringLiteral("xwininfo"));
    if (xvfb.isEmpty() || xwininfo.isEmpty())
        QSKIP("needs Xvfb and xwininfo");
    const QString id = QStringLiteral("org.brantolexfixer.BrantolexFixer");
    QFile entry(QStringLiteral(PACKAGING_DIR "/") + id + QStringLiteral(".desktop"));
    QVERIFY(entry.open(QIODevice::ReadOnly));
    QVERIFY(entry.readAll().split('\n').contains("StartupWMClass=" + id.toLatin1()));

    QProcess server;
    server.start(xvfb, {"-displayfd", "1", "-screen", "0", "640x480x24", "-nolisten", "tcp"});
    const auto stop = qScopeGuard([&] {
        server.terminate();
        server.waitForFinished(startMs);
    });
    QVERIFY(server.waitForReadyRead(startMs));
    Sandbox sandbox(freshUid());
    QVERIFY(sandbox.valid());
    QProcessEnvironment &env = sandbox.env;
    withoutDisplay(env);
    env.insert(QStringLiteral("DISPLAY"), QLatin1Char(':') + server.readAll().trimmed());
    // The keyboard library of the X connection reads a string past its end
    // (strndup), and the X libraries keep what they allocate: in the
    // sanitizer build both checks are off for this child, which is not ours.
    env.insert(QStringLiteral("ASAN_OPTIONS"), QStringLiteral("detect_leaks=0"));
    Program program(sandbox);
    QString wmClass;
    QVERIFY(QTest::qWaitFor(
        [&] {
            QProcess info;
            info.setProcessEnvironment(env);
            info.start(xwininfo, {"-root", "-tree"});
            info.waitForFinished(startMs);
            wmClass = QRegularExpression(
                          QStringLiteral("\"Brantolex Fixer\": \\(\"[^\"]*\" \"([^\"]*)\"\\)"))
                          .match(QString::fromUtf8(info.readAllStandardOutput()))
                          .captured(1);
            return !wmClass.isEmpty();
        },
        // A first window on a fresh X server has taken over 15 s in the
        // sanitizer build, now and then.
        2 * startMs));
    program.signal(SIGTERM);
    QVERIFY(program.endedNormally());
    QCOMPARE(wmClass, id);
}

QTEST_MAIN(TestCommandLine)
#include "tst_commandline.moc"
