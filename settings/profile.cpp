#include "settings/profile.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>

namespace {
const char configDirName[] = ".Brantolex_Fixer";
const char configFileName[] = "config";
} // namespace

ProfileFileState::ProfileFileState(const QString &path)
{
    const QFileInfo file(path);
    existed = file.exists();
    size = file.size();
    lastModified = file.lastModified();
}

Profile::Profile()
    : ProfileFileState(configDirectory() + QLatin1String(configFileName)),
      QSettings(configDirectory() + QLatin1String(configFileName), QSettings::IniFormat)
{
}

Profile::~Profile()
{
    if (!modified)
        return;
    sync();
    // Settings the user chose must not vanish without a word. The status
    // keeps the first error only, and a hand-edited file that reads with a
    // format error (a stray line, a byte order mark) is still written; then
    // only a file left as it was tells that the write failed.
    const QSettings::Status result = status();
    if (result == QSettings::NoError)
        return;
    if (result == QSettings::FormatError) {
        const QFileInfo after(fileName());
        if (after.exists() &&
            (!existed || after.size() != size || after.lastModified() != lastModified))
            return;
    }
    qWarning("Brantolex Fixer: could not save the settings to %s", qUtf8Printable(fileName()));
}

QString Profile::configDirectory()
{
    // A function-local static is initialised exactly once, even when two
    // threads get here first at the same moment.
    static const QString directory =
        QDir::homePath() + QDir::separator() + QLatin1String(configDirName);
    QDir().mkpath(directory);
    return directory + QDir::separator();
}

QString Profile::compositeKey(const QString &group, const QString &key)
{
    return group + QLatin1Char('/') + key;
}

QString Profile::compositeKey(const QString &group, const QString &key, int index)
{
    return compositeKey(group, key + QString::number(index));
}

QVariant Profile::stored(const QString &compositeKey, const QVariant &defaultValue) const
{
    return QSettings::value(compositeKey, defaultValue);
}

void Profile::store(const QString &compositeKey, const QVariant &value)
{
    modified = true;
    QSettings::setValue(compositeKey, value);
}

QByteArray Profile::value(const QString &group, const QString &key,
                          const QByteArray &defaultValue) const
{
    return stored(compositeKey(group, key), defaultValue).toByteArray();
}

QString Profile::value(const QString &group, const QString &key, const QString &defaultValue) const
{
    return stored(compositeKey(group, key), defaultValue).toString();
}

QString Profile::value(const QString &group, const QString &key, int index,
                       const QString &defaultValue) const
{
    return stored(compositeKey(group, key, index), defaultValue).toString();
}

QString Profile::value(const char *group, const char *key, const char *defaultValue) const
{
    return value(QString::fromLatin1(group), QString::fromLatin1(key),
                 QString::fromLatin1(defaultValue));
}

QString Profile::value(const char *group, const char *key, int index,
                       const char *defaultValue) const
{
    return value(QString::fromLatin1(group), QString::fromLatin1(key), index,
                 QString::fromLatin1(defaultValue));
}

QColor Profile::value(const QString &group, const QString &key, const QColor &defaultValue) const
{
    return stored(compositeKey(group, key), defaultValue).value<QColor>();
}

QPoint Profile::value(const QString &group, const QString &key, const QPoint &defaultValue) const
{
    return stored(compositeKey(group, key), defaultValue).toPoint();
}

QFont Profile::value(const QString &group, const QString &key, const QFont &defaultValue) const
{
    return stored(compositeKey(group, key), defaultValue).value<QFont>();
}

QRect Profile::value(const QString &group, const QString &key, const QRect &defaultValue) const
{
    return stored(compositeKey(group, key), defaultValue).toRect();
}

void Profile::setValue(const QString &group, const QString &key, const QString &value)
{
    store(compositeKey(group, key), value);
}

void Profile::setValue(const QString &group, const QString &key, int index, const QString &value)
{
    store(compositeKey(group, key, index), value);
}

void Profile::setValue(const char *group, const char *key, const char *value)
{
    setValue(QString::fromLatin1(group), QString::fromLatin1(key), QString::fromLatin1(value));
}

void Profile::setValue(const char *group, const char *key, int index, const char *value)
{
    setValue(QString::fromLatin1(group), QString::fromLatin1(key), index,
             QString::fromLatin1(value));
}

void Profile::setValue(const QString &group, const QString &key, const QByteArray &value)
{
    store(compositeKey(group, key), value);
}

void Profile::setValue(const QString &group, const QString &key, const QColor &value)
{
    store(compositeKey(group, key), value);
}

void Profile::setValue(const QString &group, const QString &key, const QPoint &value)
{
    store(compositeKey(group, key), value);
}

void Profile::setValue(const QString &group, const QString &key, const QFont &value)
{
    store(compositeKey(group, key), value);
}

void Profile::setValue(const QString &group, const QString &key, const QRect &value)
{
    store(compositeKey(group, key), value);
}
