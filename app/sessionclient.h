#pragma once

#include <QObject>
#include <QPointer>
#include <QString>

class BrantolexMainWindow;
class OscEndpoint;
class QEventLoop;
struct OscMessage;

// The program under a session manager that speaks NSM (API 1.1), which starts
// it with NSM_URL set: it announces itself, keeps its settings in the file
// the session gives it instead of the user's own, saves when the manager
// asks and says when a control changed, and lets the manager show and hide
// the window. Closing the window then only hides it. All of it runs on the
// GUI thread.
class SessionClient : public QObject
{
    Q_OBJECT

public:
    // managerUrl: NSM_URL, empty when no session manager started the
    // program. executable: the name it was started with (argv[0]).
    SessionClient(const QString &managerUrl, const QString &executable, QObject *parent = nullptr);
    ~SessionClient() override;

    static constexpr int replyTimeout = 5000;
    static constexpr int errGeneral = -1;
    static constexpr int errNotNow = -8;
    static constexpr int errBadProject = -9;

    // Announces and waits for the manager's open; every settings file is the
    // session's from then on. Without a manager, or when it refuses or does
    // not answer within replyTimeout ms (said once on stderr), the program
    // runs as without a session. False when cancel() came first.
    bool join();
    // For a start while another instance runs: announces, and answers the
    // open with an error that says why.
    void decline();
    bool isActive() const { return state == State::Opened || state == State::Managing; }
    // The session's settings file.
    QString settingsPath() const { return filePath; }
    // Takes over the window's saving and visibility, and answers the open.
    // headless: no window is ever shown.
    void manage(BrantolexMainWindow *window, bool headless);

public slots:
    // Ends a wait of join() or decline(): the program is to quit.
    void cancel();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    enum class State
    {
        None,
        Announcing,
        Announced,
        Opened,
        Managing,
        Cancelled
    };

    bool announce();
    void wait();
    void runWithout(const QString &why);
    void setState(State next);
    void onMessage(const OscMessage &message);
    void onOpen(const OscMessage &message);
    // Why the settings cannot be kept at the session's path; empty when
    // they can.
    static QString pathProblem(const QString &path);
    void sayDropped();
    void save(const QString &replyTo);
    void setShown(bool shown);
    void markDirty();
    void tell(const QString &path);
    void reply(const QString &to, const QString &path, const QString &text);
    void error(const QString &to, const QString &path, int code, const QString &text);

    const QString managerUrl;
    const QString executable;
    State state = State::None;
    bool declining = false;
    OscEndpoint *endpoint = nullptr;
    QEventLoop *waiting = nullptr;
    QString filePath;
    QString openFrom;
    QPointer<BrantolexMainWindow> window;
    bool headless = false;
    bool wantShown = false;
    bool shownAsked = false;
    bool dirty = false;
};
