#include "app/sessionclient.h"

#include "app/oscendpoint.h"
#include "app/say.h"
#include "settings/iniedit.h"
#include "settings/profile.h"
#include "ui/brantolexmainwindow.h"

#include <QCoreApplication>
#include <QDir>
#include <QEvent>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QTimer>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {
const char applicationName[] = "Brantolex Fixer";
const char capabilities[] = ":optional-gui:dirty:";
const int apiMajor = 1;
const int apiMinor = 1;

const QString announcePath = QStringLiteral("/nsm/server/announce");
const QString openPath = QStringLiteral("/nsm/client/open");
const QString savePath = QStringLiteral("/nsm/client/save");
const QString showPath = QStringLiteral("/nsm/client/show_optional_gui");
const QString hidePath = QStringLiteral("/nsm/client/hide_optional_gui");
const QString shownPath = QStringLiteral("/nsm/client/gui_is_shown");
const QString hiddenPath = QStringLiteral("/nsm/client/gui_is_hidden");
const QString dirtyPath = QStringLiteral("/nsm/client/is_dirty");
const QString cleanPath = QStringLiteral("/nsm/client/is_clean");

// The session hands out a name to build on; the settings keep their format,
// so the file says what it is.
const char fileSuffix[] = ".ini";
} // namespace

SessionClient::SessionClient(const QString &managerUrl, const QString &executable, QObject *parent)
    : QObject(parent), managerUrl(managerUrl), executable(executable)
{
}

SessionClient::~SessionClient()
{
    sayDropped();
}

void SessionClient::sayDropped()
{
    if (endpoint && endpoint->droppedCount() > 0)
        say(QStringLiteral("Brantolex Fixer: ignored %1 OSC messages that did not come from the "
                           "session manager")
                .arg(static_cast<unsigned long long>(endpoint->droppedCount())));
}

bool SessionClient::join()
{
    if (!managerUrl.isEmpty() && announce())
        wait();
    return state != State::Cancelled;
}

void SessionClient::decline()
{
    declining = true;
    if (!managerUrl.isEmpty() && announce())
        wait();
}

bool SessionClient::announce()
{
    endpoint = new OscEndpoint(managerUrl, this);
    // Only the manager drives the session: whoever else reaches the port
    // gets nothing and changes nothing.
    endpoint->acceptOnlyFrom(managerUrl);
    connect(endpoint, &OscEndpoint::received, this, &SessionClient::onMessage);
    setState(State::Announcing);
    if (!endpoint->isValid()) {
        runWithout(tr("no OSC port could be opened to talk to the session manager"));
        return false;
    }
    const QVariantList fields = {QString::fromLatin1(applicationName),
                                 QString::fromLatin1(capabilities),
                                 executable,
                                 apiMajor,
                                 apiMinor,
                                 int(QCoreApplication::applicationPid())};
    if (!endpoint->send(managerUrl, announcePath, fields)) {
        runWithout(
            tr("the session manager's address NSM_URL=%1 cannot be reached").arg(managerUrl));
        return false;
    }
    return true;
}

// The manager answers at once and opens right after; a quit signal ends the
// wait for the open.
void SessionClient::wait()
{
    QEventLoop loop;
    waiting = &loop;
    QTimer timer;
    timer.setSingleShot(true);
    connect(&timer, &QTimer::timeout, this, [this] {
        if (state == State::Announcing)
            runWithout(tr("no answer from the session manager at %1 within %2 s")
                           .arg(managerUrl)
                           .arg(replyTimeout / 1000));
    });
    timer.start(replyTimeout);
    while (state == State::Announcing || state == State::Announced)
        loop.exec();
    waiting = nullptr;
}

void SessionClient::runWithout(const QString &why)
{
    if (state != State::Announcing && state != State::Announced)
        return;
    say(QStringLiteral("Brantolex Fixer: ") + why +
        (declining ? QString() : QStringLiteral("; running without a session")));
    // Later news from the manager finds no one: the socket goes.
    sayDropped();
    endpoint->deleteLater();
    endpoint = nullptr;
    setState(State::None);
}

void SessionClient::setState(State next)
{
    state = next;
    if (waiting)
        waiting->quit();
}

void SessionClient::cancel()
{
    if (state == State::Announcing || state == State::Announced)
        setState(State::Cancelled);
}

void SessionClient::onMessage(const OscMessage &message)
{
    if (state == State::None || state == State::Cancelled)
        return;
    const QString about = message.args.value(0).toString();
    if (message.path == QLatin1String("/reply") && about == announcePath) {
        if (state == State::Announcing)
            setState(State::Announced);
    } else if (message.path == QLatin1String("/error") && about == announcePath) {
        if (state == State::Announcing)
            runWithout(tr("the session manager refused the announce (%1)")
                           .arg(message.args.value(2).toString()));
    } else if (message.path == openPath && message.types == QLatin1String("sss")) {
        onOpen(message);
    } else if (message.path == savePath) {
        if (state == State::Managing)
            save(message.source);
        else
            error(message.source, savePath, errNotNow, tr("Nothing is open yet"));
    } else if (message.path == showPath || message.path == hidePath) {
        wantShown = message.path == showPath;
        shownAsked = true;
        if (state == State::Managing)
            setShown(wantShown);
    }
}

void SessionClient::onOpen(const OscMessage &message)
{
    if (state == State::Opened || state == State::Managing) {
        error(message.source, openPath, errGeneral,
              tr("Brantolex Fixer cannot switch to another session while it runs"));
        return;
    }
    if (declining) {
        error(message.source, openPath, errGeneral,
              tr("Brantolex Fixer already runs for this user"));
        setState(State::None);
        return;
    }
    // Answered at once when the path is of no use: the manager learns why
    // now rather than at the first save, and may open another.
    const QString path = message.args.at(0).toString();
    const QString problem = pathProblem(path);
    if (!problem.isEmpty()) {
        error(message.source, openPath, errBadProject, problem);
        return;
    }
    filePath = path + QLatin1String(fileSuffix);
    openFrom = message.source;
    Profile::setFilePath(filePath);
    setState(State::Opened);
}

QString SessionClient::pathProblem(const QString &path)
{
    if (path.isEmpty())
        return tr("The session gave no path for the settings");
    if (!QDir::isAbsolutePath(path))
        return tr("The session's path %1 is not absolute").arg(path);
    const QString file = path + QLatin1String(fileSuffix);
    const QString directory = QFileInfo(file).absolutePath();
    // Made one level at a time, so that the reason is the real one.
    const QStringList parts = directory.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    QString made;
    for (const QString &part : parts) {
        made += QLatin1Char('/') + part;
        const QByteArray name = QFile::encodeName(made);
        struct stat info = {};
        int problem = 0;
        if (::stat(name.constData(), &info) == 0)
            problem = S_ISDIR(info.st_mode) ? 0 : ENOTDIR;
        else if (errno != ENOENT)
            problem = errno;
        else if (::mkdir(name.constData(), 0777) != 0 && errno != EEXIST)
            problem = errno;
        if (problem != 0)
            return tr("Cannot make the directory %1: %2").arg(made, errnoText(problem));
    }
    if (::access(QFile::encodeName(directory).constData(), W_OK | X_OK) != 0)
        return tr("Cannot write in %1: %2").arg(directory, errnoText(errno));
    // Read as the user's own file is: never waiting on it, and never through
    // a link that someone else could have planted.
    QString why;
    const QString target = IniEdit::trustedPath(file, &why);
    QByteArray content;
    if (target.isEmpty() || !IniEdit::readRegularFile(target, &content, &why))
        return tr("Cannot use %1: %2").arg(file, why);
    return QString();
}

void SessionClient::manage(BrantolexMainWindow *managed, bool noWindow)
{
    if (state != State::Opened)
        return;
    window = managed;
    headless = noWindow;
    window->setSavesByItself(false);
    window->installEventFilter(this);
    window->setEditListener([self = QPointer<SessionClient>(this)] {
        if (self)
            self->markDirty();
    });
    setState(State::Managing);
    // The window has opened its ports, or knows they are absent.
    reply(openFrom, openPath, tr("Settings in %1").arg(filePath));
    // A client starts hidden unless the session saved it shown, or the
    // manager has asked already.
    setShown(shownAsked ? wantShown : window->savedShown());
}

void SessionClient::save(const QString &replyTo)
{
    if (!window || !window->saveAllSettings(window->isVisible())) {
        error(replyTo, savePath, errGeneral, tr("Could not write %1").arg(filePath));
        return;
    }
    reply(replyTo, savePath, tr("Saved to %1").arg(filePath));
    dirty = false;
    tell(cleanPath);
}

void SessionClient::setShown(bool shown)
{
    if (!window)
        return;
    if (shown && !headless) {
        window->show();
        window->raise();
        window->activateWindow();
    } else {
        window->hide();
    }
    tell(window->isVisible() ? shownPath : hiddenPath);
}

void SessionClient::markDirty()
{
    if (dirty || state != State::Managing)
        return;
    dirty = true;
    tell(dirtyPath);
}

// Closing the window, or Ctrl+Q, hides it: routing goes on, and the session
// manager decides when the program ends.
bool SessionClient::eventFilter(QObject *watched, QEvent *event)
{
    // The type first: while the window is being destroyed it is no longer
    // one to compare with.
    if (event->type() == QEvent::Close && state == State::Managing && watched == window) {
        event->ignore();
        wantShown = false;
        setShown(false);
        return true;
    }
    return QObject::eventFilter(watched, event);
}

void SessionClient::tell(const QString &path)
{
    if (endpoint)
        endpoint->send(managerUrl, path);
}

void SessionClient::reply(const QString &to, const QString &path, const QString &text)
{
    if (endpoint)
        endpoint->send(to.isEmpty() ? managerUrl : to, QStringLiteral("/reply"), {path, text});
}

void SessionClient::error(const QString &to, const QString &path, int code, const QString &text)
{
    if (endpoint)
        endpoint->send(to.isEmpty() ? managerUrl : to, QStringLiteral("/error"),
                       {path, code, text});
}
