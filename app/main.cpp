#include "app/commandline.h"
#include "app/singleapplication.h"
#include "app/unixsignalwatcher.h"
#include "settings/profile.h"
#include "ui/brantolexmainwindow.h"

#include <QApplication>
#include <QLoggingCategory>
#include <QTimer>

namespace {

const QString applicationKey = QStringLiteral("Brantolex_Fixer");

// Silent unless enabled (QT_LOGGING_RULES="brantolex.startup.debug=true"):
// lets tests and the start-up benchmark see when the window is up.
Q_LOGGING_CATEGORY(lcStartup, "brantolex.startup", QtWarningMsg)

} // namespace

int main(int argc, char **argv)
{
    CommandLine commandLine(argc, argv);
    QApplication app(argc, argv);
    const int answered = commandLine.process(QApplication::arguments());
    // A service manager learns of settings that could not be kept.
    if (answered >= 0)
        return answered == 0 && Profile::anySaveFailed() ? 1 : answered;
    SingleApplication guard(applicationKey, &app);
    // Without a place that is ours alone, anyone could stop or impersonate
    // the instance: better not to start at all, and say so.
    if (!guard.errorString().isEmpty()) {
        qCritical("Brantolex Fixer cannot start: %s", qUtf8Printable(guard.errorString()));
        return 1;
    }
    if (guard.isRunning())
        return 0;

    // A signal ends the event loop the same way closing the window does, so
    // the window is destroyed in order and saves the settings.
    UnixSignalWatcher signalWatcher({SIGINT, SIGTERM, SIGHUP});
    QObject::connect(&signalWatcher, &UnixSignalWatcher::received, &app, &QCoreApplication::quit,
                     Qt::QueuedConnection);

    int exitCode = -1;
    {
        BrantolexMainWindow window;
        if (!commandLine.headless())
            window.show();
        if (lcStartup().isDebugEnabled())
            QTimer::singleShot(0, &window, [&commandLine] {
                qCDebug(lcStartup, commandLine.headless() ? "routing" : "window shown");
            });
        try {
            exitCode = app.exec();
        } catch (...) {
            exitCode = -1;
        }
    }
    return exitCode == 0 && Profile::anySaveFailed() ? 1 : exitCode;
}
