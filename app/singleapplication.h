#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>

class SingleApplicationPrivate;

// Finds out whether another instance runs for the same key and user, through
// a lock (flock) on a marker file in the user's private directories, and lets
// a later instance send the first one text messages over a local server of
// the same name beside it. A further marker beside the settings, named for
// the machine, outlasts what cleans /tmp or goes with a logout.
class SingleApplication : public QObject
{
    Q_OBJECT

public:
    // Uses the application name as the key.
    explicit SingleApplication(QObject *parent = nullptr);
    SingleApplication(const QString &key, QObject *parent);
    ~SingleApplication() override;

    // The key after cleaning.
    QString key() const;
    // True when another instance held the marker at construction.
    bool isRunning() const;
    // Why this start can neither own a marker nor know that another instance
    // does; empty when it can.
    QString errorString() const;

    static bool isRunning(const QString &key);
    static bool sendMessage(const QString &key, const QString &message, int timeout);

    // A question from another start: it only connects, and never takes a
    // marker, so a real start at that moment is not turned away.
    enum class Asked
    {
        NoInstance,
        NoAnswer,
        Answered
    };
    static Asked ask(const QString &key, const QString &message, int timeout, QString *answer);
    // The running instance's answer to a message, given on the GUI thread
    // once it is handled and sent after the acknowledgement; a null string
    // sends none. Set it only while what it calls lives.
    static void setAnswerer(std::function<QString(const QString &message)> answerer);

    // Only ASCII letters and digits survive; nothing left gives "SADEFAULTKEY".
    static QString cleanKey(const QString &key);
    // The server's name: "_sa_" + cleaned key + "_" + the user name's UTF-8
    // bytes in lowercase hex.
    static QString uniqueKey(const QString &cleanedKey, const QString &userName);
    // The login name of the effective user; the numeric uid if it has none.
    static QString currentUserName();

    // Where the instances of this user meet, in order; the marker is locked
    // in every one of them that is ours, a server listens in each.
    // The directories are looked up once per process.
    static QStringList candidateDirectories();
    // The user's directory beside the settings (home from the password
    // database), where the lasting marker goes.
    static QString lastingDirectory();
    // Others than the user's own, for tests, with no lasting marker unless
    // a directory is given for it; takes effect for later guards.
    static void setCandidateDirectories(const QStringList &directories,
                                        const QString &lastingDirectory = QString());
    // The local server's path, and the marker's (the key file's name as it
    // has always been), in a directory.
    static QString serverPath(const QString &directory, const QString &uniqueKey);
    static QString markerPath(const QString &directory, const QString &uniqueKey);
    // The lasting marker, one for each machine.
    static QString lastingMarkerPath(const QString &directory, const QString &uniqueKey);

    // Waits up to 200 ms to connect and for the acknowledgement.
    static constexpr int connectTimeout = 200;
    // How long a start waits for another start or exit to finish with the
    // directory before it gives up.
    static constexpr int directoryLockTimeout = 5000;

public slots:
    // True only when the running instance acknowledged the message.
    bool sendMessage(const QString &message, int timeout = 500);

signals:
    void messageReceived(const QString &message);

private:
    SingleApplicationPrivate *d;
    friend class SingleApplicationPrivate;
};
