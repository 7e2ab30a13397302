#include "app/commandline.h"

#include "app/headlessreport.h"

#include "midi/midiio.h"
#include "settings/profile.h"
#include "ui/brantolexmainwindow.h"

#include <QCommandLineParser>
#include <QGuiApplication>

#include <cstdio>
#include <cstring>

namespace {
// The MIDI system the user chose: "alsa", "jack", or "auto" (or nothing)
// for the platform's order. Read here only, at every start.
const char groupMidi[] = "MIDI";
const char keyMidiSystem[] = "midiSystem";
const char automatic[] = "auto";

const char desktopId[] = "org.brantolexfixer.BrantolexFixer";

const char optionHeadless[] = "headless";
const char optionListPorts[] = "list-ports";
const char optionMidiSystem[] = "midi-system";

// Set once, by process(), on the GUI thread.
QString &chosenBy()
{
    static QString where;
    return where;
}

void print(FILE *stream, const QString &text)
{
    std::fputs(text.toUtf8().constData(), stream);
}

bool isSystem(const QString &name)
{
    const QString lower = name.toLower();
    return lower == QLatin1String("alsa") || lower == QLatin1String("jack") ||
           lower == QLatin1String(automatic);
}

// One line per port, "in" or "out", a tab, and the name exactly as the
// settings take it.
int listPorts()
{
    const MidiIO router;
    for (const QString &port : router.midiInPorts)
        print(stdout, QStringLiteral("in\t") + port + QLatin1Char('\n'));
    for (const QString &port : router.midiOutPorts)
        print(stdout, QStringLiteral("out\t") + port + QLatin1Char('\n'));
    std::fflush(stdout);
    const QString problem = BrantolexMainWindow::systemProblem(&router);
    if (problem.isEmpty())
        return 0;
    print(stderr, problem + QLatin1Char('\n'));
    return 1;
}
} // namespace

CommandLine::CommandLine(int argc, char **argv)
{
    if (!qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        return;
    // Without a display no window can open, and the toolkit would abort:
    // options that end at once, --headless and the word that a display is
    // missing all do without one.
    if (!HeadlessReport::displayNamed()) {
        noDisplay = true;
        qputenv("QT_QPA_PLATFORM", "offscreen");
        return;
    }
    const char *windowless[] = {"--headless", "--list-ports", "--panic", "--help", "-h",
                                "--help-all", "--version",    "-v",      "-?"};
    for (int i = 1; i < argc && std::strcmp(argv[i], "--") != 0; ++i) {
        for (const char *option : windowless) {
            if (std::strcmp(argv[i], option) == 0) {
                qputenv("QT_QPA_PLATFORM", "offscreen");
                return;
            }
        }
    }
}

QString CommandLine::systemChosenBy()
{
    return chosenBy();
}

void CommandLine::setIdentity()
{
    // The class of every window is the application name: it matches the
    // desktop entry's StartupWMClass and file name.
    QCoreApplication::setApplicationName(QLatin1String(desktopId));
    QCoreApplication::setApplicationVersion(QStringLiteral(BRANTOLEX_VERSION));
    QGuiApplication::setApplicationDisplayName(QStringLiteral("Brantolex Fixer"));
    QGuiApplication::setDesktopFileName(QLatin1String(desktopId));
}

int CommandLine::process(const QStringList &arguments)
{
    setIdentity();

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Routes one MIDI channel to a Brantolex unit and switches its plug-ins."));
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption version = parser.addVersionOption();
    const QCommandLineOption headless(
        QLatin1String(optionHeadless),
        QStringLiteral("Runs without a window: routes until a signal (SIGTERM, SIGINT, SIGHUP) "
                       "ends it, then saves the settings."));
    const QCommandLineOption listPortsOption(
        QLatin1String(optionListPorts),
        QStringLiteral("Prints the MIDI ports, one a line: \"in\" or \"out\", a tab and the name "
                       "as the settings take it (midiInDevice, midiOutDevice); then ends."));
    const QCommandLineOption midiSystem(
        QLatin1String(optionMidiSystem),
        QStringLiteral("Uses the MIDI system <system>: alsa, jack, or auto for the usual order "
                       "(ALSA where there is one). Kept in the settings for later starts."),
        QStringLiteral("system"));
    const QCommandLineOption panicOption(
        QStringLiteral("panic"),
        QStringLiteral("Asks the running instance to send a panic to the unit (Note Offs for the "
                       "notes it holds, then Sustain off, All Sound Off and All Notes Off on "
                       "every channel); ends with 1 when no instance runs or it has no output "
                       "open."));
    parser.addOptions({headless, listPortsOption, midiSystem, panicOption});

    const auto usageError = [&](const QString &error) {
        print(stderr, error + QStringLiteral("\n\n") + parser.helpText());
        return 2;
    };
    if (!parser.parse(arguments))
        return usageError(parser.errorText());
    if (parser.isSet(help) || parser.isSet(QStringLiteral("help-all"))) {
        print(stdout, parser.helpText());
        return 0;
    }
    if (parser.isSet(version)) {
        print(stdout,
              QStringLiteral("Brantolex Fixer %1\n").arg(QCoreApplication::applicationVersion()));
        return 0;
    }
    if (!parser.positionalArguments().isEmpty())
        return usageError(
            QStringLiteral("Unexpected argument: %1").arg(parser.positionalArguments().first()));

    // Nothing of this start's own: the running instance does it.
    askPanic = parser.isSet(panicOption);
    if (askPanic)
        return -1;

    QString system;
    if (parser.isSet(midiSystem)) {
        system = parser.value(midiSystem).toLower();
        if (!isSystem(system))
            return usageError(
                QStringLiteral("Unknown MIDI system \"%1\": choose alsa, jack or auto")
                    .arg(parser.value(midiSystem)));
        // A listing is a question: it leaves the choice of later starts alone.
        if (!parser.isSet(listPortsOption)) {
            Profile profile;
            profile.setValue(QString::fromLatin1(groupMidi), QString::fromLatin1(keyMidiSystem),
                             system);
            chosenBy() = QStringLiteral("midiSystem=%1 in %2").arg(system, profile.filePath());
        } else {
            chosenBy() = QStringLiteral("--midi-system %1").arg(system);
        }
    } else {
        const Profile profile;
        system = profile.value(groupMidi, keyMidiSystem, automatic).toLower();
        if (!isSystem(system)) {
            print(stderr, QStringLiteral("Brantolex Fixer: the MIDI system \"%1\" in the "
                                         "settings is unknown; the usual order is used\n")
                              .arg(system));
            system = QLatin1String(automatic);
        }
        chosenBy() = QStringLiteral("midiSystem=%1 in %2").arg(system, profile.filePath());
    }
    if (system == QLatin1String(automatic))
        chosenBy().clear();
    MidiIO::setPreferredSystem(system == QLatin1String(automatic) ? QString() : system);

    if (parser.isSet(listPortsOption))
        return listPorts();
    runHeadless = parser.isSet(headless);
    return -1;
}
