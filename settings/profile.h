#pragma once

#include <QByteArray>
#include <QColor>
#include <QFont>
#include <QList>
#include <QPair>
#include <QPoint>
#include <QRect>
#include <QSet>
#include <QSettings>
#include <QString>
#include <QVariant>

// The per-user configuration file, ~/.Brantolex_Fixer/config in INI format.
// Values are addressed by group and key, optionally followed by a decimal
// index ("Plugin", "loadingTime", 3 is Plugin/loadingTime3). Meant to live
// for one batch of reads or writes. The file is the user's as much as ours:
// on destruction only the lines of keys whose values changed are rewritten,
// new keys go at the end of their section, and everything else (comments,
// unknown keys, order, case, encoding, byte order mark, line ends) stays
// byte for byte. A profile that only read, or set what was there, writes
// nothing. The directory is the user's alone (0700), a new file 0600. A file
// that is no regular one, or a link another user could have planted, is
// neither read nor written, with a word on stderr; so is a save whose new
// text the toolkit would read otherwise than what was set.
class Profile : public QSettings
{
public:
    Profile();
    // Saves what was set; says on stderr why when it cannot.
    ~Profile() override;

    // Makes every profile from now on use the file at path instead of the
    // user's own: a session manager keeps the settings with its session.
    static void setFilePath(const QString &path);
    // Writes what was set now rather than on destruction; false when the
    // file could not be written.
    bool saveNow();

    // The directory holding the file, with one trailing separator; created
    // 0700 when missing, and closed to others when it is not. The path is
    // worked out once per process.
    static QString configDirectory();
    // Whether a save of this process has failed.
    static bool anySaveFailed();
    // Why the file could not be read or the last save failed, with its path;
    // empty once a save succeeded, or while nothing went wrong.
    static QString problem();
    // Starts afresh: a reader wants what its own reading finds.
    static void forgetProblem();
    // The file this profile reads and writes.
    QString filePath() const { return path; }
    // The line, from 1, of the entry the toolkit reads for group/key in the
    // file as read; 0 when there is none.
    int lineOf(const QString &group, const QString &key) const;
    // $HOME when it is an absolute path, otherwise the home directory of the
    // password database.
    static QString homeDirectory();

    bool isModified() const { return modified; }

    QByteArray value(const QString &group, const QString &key,
                     const QByteArray &defaultValue) const;
    QString value(const QString &group, const QString &key, const QString &defaultValue) const;
    QString value(const QString &group, const QString &key, int index,
                  const QString &defaultValue) const;
    QString value(const char *group, const char *key, const char *defaultValue) const;
    QString value(const char *group, const char *key, int index, const char *defaultValue) const;
    QColor value(const QString &group, const QString &key, const QColor &defaultValue) const;
    QPoint value(const QString &group, const QString &key, const QPoint &defaultValue) const;
    QFont value(const QString &group, const QString &key, const QFont &defaultValue) const;
    QRect value(const QString &group, const QString &key, const QRect &defaultValue) const;

    void setValue(const QString &group, const QString &key, const QString &value);
    void setValue(const QString &group, const QString &key, int index, const QString &value);
    void setValue(const char *group, const char *key, const char *value);
    void setValue(const char *group, const char *key, int index, const char *value);
    void setValue(const QString &group, const QString &key, const QByteArray &value);
    void setValue(const QString &group, const QString &key, const QColor &value);
    void setValue(const QString &group, const QString &key, const QPoint &value);
    void setValue(const QString &group, const QString &key, const QFont &value);
    void setValue(const QString &group, const QString &key, const QRect &value);

private:
    static QString compositeKey(const QString &group, const QString &key);
    static QString compositeKey(const QString &group, const QString &key, int index);
    QVariant stored(const QString &compositeKey, const QVariant &defaultValue) const;
    void store(const QString &compositeKey, const QVariant &value);
    void warnIfOnlyCaseDiffers(const QString &compositeKey) const;
    // What the toolkit may read: the file, or nothing when it is refused.
    static QString readablePath(const QString &path);
    bool save(QString *error);

    const QString path;
    QByteArray readText;
    bool modified = false;
    // Set but not yet written, in the order set; the toolkit's own setter
    // would rewrite the whole file in its way.
    QList<QPair<QString, QVariant>> pending;
    mutable QSet<QString> warned;
};
