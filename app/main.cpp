#include "app/commandline.h"

#include "app/headlessreport.h"
#include "app/privatedirectory.h"
#include "app/say.h"
#include "app/sessionclient.h"
#include "app/singleapplication.h"
#include "app/unixsignalwatcher.h"
#include "midi/jackclient.h"
#include "settings/profile.h"
#include "ui/brantolexmainwindow.h"

#include <QApplication>
#include <QFile>
#include <QLoggingCategory>
#include <QScopeGuard>
#include <QTimer>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

#include <malloc.h>
#include <unistd.h>

namespace {

const QString applicationKey = QStringLiteral("Brantolex_Fixer");
constexpr const char *panicMessage = "panic";

// Silent unless enabled (QT_LOGGING_RULES="brantolex.startup.debug=true"):
// lets tests and the start-up benchmark see when the window is up.
Q_LOGGING_CATEGORY(lcStartup, "brantolex.startup", QtWarningMsg)

// The toolkit looks for a runtime directory as it starts, and without
// XDG_RUNTIME_DIR (su, runuser, cron) it warns on every start and makes one
// in /tmp. It is given the user's own instead, as the guard finds it; the
// guard itself never reads the variable.
void provideRuntimeDirectory()
{
    if (!qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR"))
        return;
    QString why;
    const std::vector<PrivateDirectory> places =
        PrivateDirectory::resolve(PrivateDirectory::candidates(::geteuid()), &why);
    if (!places.empty())
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(places.front().path()));
}

constexpr const char *panicSent = "sent";
constexpr const char *panicNoOutput = "no output";

// Through the instance channel; the instance answers once the panic is on
// its way, or that no output took it.
int askForPanic(const QString &key)
{
    QString answer;
    switch (SingleApplication::ask(key, QLatin1String(panicMessage), 3000, &answer)) {
    case SingleApplication::Asked::NoInstance:
        say(QStringLiteral("Brantolex Fixer: no instance runs; there is nothing to send a panic"));
        return 1;
    case SingleApplication::Asked::NoAnswer:
        say(QStringLiteral("Brantolex Fixer: the running instance did not answer the panic"));
        return 1;
    case SingleApplication::Asked::Answered:
        break;
    }
    if (answer != QLatin1String(panicSent)) {
        say(QStringLiteral("Brantolex Fixer: the running instance has no output to the unit open; "
                           "no panic was sent"));
        return 1;
    }
    std::fputs("Brantolex Fixer: the running instance sent a panic to the unit\n", stdout);
    return 0;
}

// Qt ends the process when no platform plug-in can open the display (an X
// server that is not there, a Wayland socket that refuses): its last word
// is replaced by ours, and its earlier lines about the attempt are dropped.
// Anything else it said while starting is passed on once it has started.
struct Held
{
    QtMsgType type;
    QByteArray category;
    QString text;
};
QList<Held> heldBack;

void whileStarting(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    if (type == QtFatalMsg) {
        HeadlessReport::refuseUnopenedDisplay();
        std::_Exit(1);
    }
    heldBack.append({type, QByteArray(context.category), text});
}

void started(QtMessageHandler toolkitHandler)
{
    qInstallMessageHandler(toolkitHandler);
    for (const Held &held : std::as_const(heldBack)) {
        const QMessageLogContext context(nullptr, 0, nullptr, held.category.constData());
        qt_message_output(held.type, context, held.text);
    }
    heldBack.clear();
}

} // namespace

int main(int argc, char **argv)
{
    // A server that went away mid-write (JACK's, a second start's socket)
    // must end a write with an error, not the program.
    std::signal(SIGPIPE, SIG_IGN);
    // PipeWire's libjack keeps a 260 KB block of each closed client that had
    // ports, and every server restart needs a new client. A fixed mapping
    // threshold keeps such blocks in mappings of their own, where only the
    // pages the library touched stay resident; glibc's moving threshold
    // would put them on the heap, wholly written.
    mallopt(M_MMAP_THRESHOLD, 128 * 1024);
    provideRuntimeDirectory();
    CommandLine commandLine(argc, argv);
    const bool opensDisplay = qgetenv("QT_QPA_PLATFORM") != "offscreen";
    const QtMessageHandler toolkitHandler =
        opensDisplay ? qInstallMessageHandler(whileStarting) : nullptr;
    QApplication app(argc, argv);
    if (opensDisplay)
        started(toolkitHandler);
    const int answered = commandLine.process(QApplication::arguments());
    // A service manager learns of settings that could not be kept.
    if (answered >= 0)
        return answered == 0 && Profile::anySaveFailed() ? 1 : answered;
    if (commandLine.panic())
        return askForPanic(applicationKey);
    // A session manager may start it where there is no display: it then
    // runs without a window, as the session's optional window allows.
    const bool underSession = !qEnvironmentVariableIsEmpty("NSM_URL");
    if (commandLine.displayMissing() && !commandLine.headless() && !underSession)
        return HeadlessReport::refuseWithoutDisplay();
    const bool headless = commandLine.headless() || commandLine.displayMissing();
    SingleApplication guard(applicationKey, &app);
    // Without a place that is ours alone, anyone could stop or impersonate
    // the instance: better not to start at all, and say so.
    if (!guard.errorString().isEmpty()) {
        say(QStringLiteral("Brantolex Fixer cannot start: %1").arg(guard.errorString()));
        return 1;
    }
    // Started by a session manager (NSM_URL): it is told why not.
    SessionClient session(qEnvironmentVariable("NSM_URL"), QString::fromLocal8Bit(argv[0]));
    if (guard.isRunning()) {
        say(QStringLiteral("Brantolex Fixer already runs for this user; this start ends"));
        session.decline();
        return 0;
    }

    // A signal ends the event loop the same way closing the window does, so
    // the window is destroyed in order and saves the settings.
    UnixSignalWatcher signalWatcher({SIGINT, SIGTERM, SIGHUP});
    QObject::connect(&signalWatcher, &UnixSignalWatcher::received, &app, &QCoreApplication::quit,
                     Qt::QueuedConnection);
    QObject::connect(&signalWatcher, &UnixSignalWatcher::received, &session,
                     &SessionClient::cancel);
    if (!session.join())
        return 0;

    int exitCode = -1;
    {
        BrantolexMainWindow window;
        window.setHeadless(headless);
        SingleApplication::setAnswerer([&window](const QString &message) {
            if (message != QLatin1String(panicMessage))
                return QString();
            return QString::fromLatin1(window.panic() ? panicSent : panicNoOutput);
        });
        // Gone before the window is.
        const auto forget = qScopeGuard([] { SingleApplication::setAnswerer(nullptr); });
        std::unique_ptr<HeadlessReport> report;
        if (headless)
            report = std::make_unique<HeadlessReport>(window.midiStateLine(), window.router());
        // Under a session the window starts hidden, until the manager shows it.
        session.manage(&window, headless);
        if (!headless && !session.isActive())
            window.show();
        if (lcStartup().isDebugEnabled())
            QTimer::singleShot(0, &window, [&window] {
                qCDebug(lcStartup, window.isVisible() ? "window shown" : "routing");
            });
        try {
            exitCode = app.exec();
        } catch (...) {
            exitCode = -1;
        }
    }
    const int code = exitCode == 0 && Profile::anySaveFailed() ? 1 : exitCode;
    // A JACK client's close left hanging in the library: the library's own
    // teardown at exit would wait on it. All is saved and closed by now.
    if (JackClient::closeLeftHanging()) {
        std::fflush(nullptr);
        std::_Exit(code);
    }
    return code;
}
