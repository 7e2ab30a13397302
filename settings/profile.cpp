#include "settings/profile.h"

#include "settings/useraccount.h"

#include "settings/iniedit.h"

#include <QDir>
#include <QFile>

#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

namespace {
const char configDirName[] = ".Brantolex_Fixer";
const char configFileName[] = "config";

// Set once, on the GUI thread, before the window reads its settings.
QString &filePathOverride()
{
    static QString path;
    return path;
}

QString passwordDatabaseHome()
{
    const QByteArray home = currentUserAccount().home;
    if (home.startsWith('/'))
        return QDir::cleanPath(QFile::decodeName(home));
    return QString();
}
} // namespace

Profile::Profile()
    : QSettings(filePathOverride().isEmpty() ? configDirectory() + QLatin1String(configFileName)
                                             : filePathOverride(),
                QSettings::IniFormat)
{
}

void Profile::setFilePath(const QString &path)
{
    filePathOverride() = path;
}

bool Profile::saveNow()
{
    if (!modified)
        return true;
    if (!save())
        return false;
    modified = false;
    pending.clear();
    QSettings::sync();
    return true;
}

Profile::~Profile()
{
    if (modified && !save())
        qWarning("Brantolex Fixer: could not save the settings to %s", qUtf8Printable(fileName()));
}

bool Profile::save()
{
    // What the file says now, not when we read it.
    QSettings::sync();
    IniEdit::Changes changes;
    for (const auto &[key, value] : std::as_const(pending))
        if (!QSettings::contains(key) || QSettings::value(key) != value)
            changes.append({key, value});
    if (changes.isEmpty())
        return true;

    QFile file(fileName());
    QByteArray text;
    if (file.exists()) {
        if (!file.open(QIODevice::ReadOnly))
            return false;
        text = file.readAll();
        if (file.error() != QFile::NoError)
            return false;
        file.close();
    }
    QString error;
    return IniEdit::replaceFile(fileName(), IniEdit::apply(text, changes), &error);
}

QString Profile::homeDirectory()
{
    const QString home = qEnvironmentVariable("HOME");
    if (QDir::isAbsolutePath(home))
        return QDir::cleanPath(home);
    const QString fromDatabase = passwordDatabaseHome();
    return fromDatabase.isEmpty() ? QDir::homePath() : fromDatabase;
}

QString Profile::configDirectory()
{
    // A function-local static is initialised exactly once, even when two
    // threads get here first at the same moment.
    static const QString directory =
        homeDirectory() + QDir::separator() + QLatin1String(configDirName);
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

void Profile::warnIfOnlyCaseDiffers(const QString &compositeKey) const
{
    const QStringList keys = QSettings::allKeys();
    for (const QString &key : keys) {
        if (key.compare(compositeKey, Qt::CaseInsensitive) != 0 || warned.contains(key))
            continue;
        warned.insert(key);
        qWarning("Brantolex Fixer: %s in %s is not read: upper and lower case matter, the key "
                 "is %s",
                 qUtf8Printable(key), qUtf8Printable(fileName()), qUtf8Printable(compositeKey));
    }
}

QVariant Profile::stored(const QString &compositeKey, const QVariant &defaultValue) const
{
    for (const auto &[key, value] : pending)
        if (key == compositeKey)
            return value;
    if (!QSettings::contains(compositeKey)) {
        warnIfOnlyCaseDiffers(compositeKey);
        return defaultValue;
    }
    return QSettings::value(compositeKey, defaultValue);
}

void Profile::store(const QString &compositeKey, const QVariant &value)
{
    modified = true;
    for (auto &[key, old] : pending)
        if (key == compositeKey) {
            old = value;
            return;
        }
    pending.append({compositeKey, value});
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
