#pragma once

#include <QByteArray>
#include <QColor>
#include <QDateTime>
#include <QFont>
#include <QPoint>
#include <QRect>
#include <QSettings>
#include <QString>

// The per-user configuration file, $HOME/.Brantolex_Fixer/config in INI
// format. Values are addressed by group and key, optionally followed by a
// decimal index ("Plugin", "loadingTime", 3 is Plugin/loadingTime3). Meant to
// live for one batch of reads or writes; it syncs on destruction only when a
// setter was called, so a reader never writes the file.
// The file as it was before a profile opened it: the toolkit may write it
// while reading it (changes left over from a profile whose save failed), so
// that a look taken when saving would miss the write.
struct ProfileFileState
{
    explicit ProfileFileState(const QString &path);
    bool existed;
    qint64 size;
    QDateTime lastModified;
};

class Profile : private ProfileFileState, public QSettings
{
public:
    Profile();
    ~Profile() override;

    // The directory holding the file, with one trailing separator; created
    // when missing. The path is worked out once per process.
    static QString configDirectory();

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

    bool modified = false;
};
