#include "app/commandline.h"

#include "app/headlessreport.h"
#include "app/privatedirectory.h"
#include "app/say.h"
#include "app/sessionclient.h"
#include "app/singleapplication.h"
#include "app/unixsignalwatcher.h"
#include "settings/profile.h"
#include "ui/brantolexmainwindow.h"

#include <QApplication>
#include <QFile>
#include <QLoggingCategory>
#include <QTimer>

#include <cstdio>
#include <memory>
#include <vector>

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

// Through the instance channel, whose acknowledgement says the running
// instance has the request.
int askForPanic(const QString &key)
{
    if (!SingleApplication::isRunning(key)) {
        say(QStringLiteral("Brantolex Fixer: no instance runs; there is nothing to send a panic"));
        return 1;
    }
    if (!SingleApplication::sendMessage(key, QLatin1String(panicMessage), 2000)) {
        say(QStringLiteral("Brantolex Fixer: the running instance did not answer the panic"));
        return 1;
    }
    std::fputs("Brantolex Fixer: the running instance sent a panic to the unit\n", stdout);
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    provideRuntimeDirectory();
    CommandLine commandLine(argc, argv);
    QApplication app(argc, argv);
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
        QObject::connect(&guard, &SingleApplication::messageReceived, &window,
                         [&window](const QString &message) {
                             if (message == QLatin1String(panicMessage))
                                 window.panic();
                         });
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
    return exitCode == 0 && Profile::anySaveFailed() ? 1 : exitCode;
}
