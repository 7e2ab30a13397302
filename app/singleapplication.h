#pragma once

#include <QObject>
#include <QString>

class SingleApplicationPrivate;

// Finds out whether another instance runs for the same key and user, through a
// one-byte shared-memory marker, and lets a later instance send the first one
// text messages over a local server of the same name.
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

    static bool isRunning(const QString &key);
    static bool sendMessage(const QString &key, const QString &message, int timeout);

    // Only ASCII letters and digits survive; nothing left gives "SADEFAULTKEY".
    static QString cleanKey(const QString &key);
    // The marker's key and the server's name: "_sa_" + cleaned key + "_" + the
    // user name's UTF-8 bytes in lowercase hex.
    static QString uniqueKey(const QString &cleanedKey, const QString &userName);
    // The login name of the effective user; the numeric uid if it has none.
    static QString currentUserName();

    // Where the socket and the marker's key file live: $XDG_RUNTIME_DIR when
    // it is ours alone, otherwise /tmp/brantolex-<uid>, made 0700 if missing.
    // Empty, with the reason in *error, when neither can be trusted.
    static QString privateDirectory(QString *error = nullptr);
    // The same choice between the given directories.
    static QString privateDirectory(const QString &runtimeDir, const QString &fallback,
                                    QString *error);
    // The local server's full path, and the marker's key file (the name Qt
    // gives it for the unique key), both in the private directory.
    static QString serverPath(const QString &directory, const QString &uniqueKey);
    static QString markerPath(const QString &directory, const QString &uniqueKey);

    // Waits up to 200 ms to connect and for the acknowledgement.
    static constexpr int connectTimeout = 200;
    // Attempts at the marker when creating it fails for a reason other than
    // its existence: a racing start or exit can make one fail in passing.
    static constexpr int createAttempts = 4;

public slots:
    // True only when the running instance acknowledged the message.
    bool sendMessage(const QString &message, int timeout = 500);

signals:
    void messageReceived(const QString &message);

private:
    SingleApplicationPrivate *d;
    friend class SingleApplicationPrivate;
};
