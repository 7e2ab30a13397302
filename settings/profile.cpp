#include "settings/profile.h"

#include "app/say.h"
#include "settings/useraccount.h"

#include "settings/iniedit.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {
const char configDirName[] = ".Brantolex_Fixer";
const char configFileName[] = "config";

bool saveFailed = false;
// Profiles are short-lived; what went wrong with the file outlasts them.
QString &lastProblem()
{
    static QString problem;
    return problem;
}

// Set once, on the GUI thread, before the window reads its settings.
QString &filePathOverride()
{
    static QString path;
    return path;
}

// The session's file when a session manager gave one, else the user's own;
// the user's directory is not even made then.
QString settingsPath()
{
    if (!filePathOverride().isEmpty())
        return filePathOverride();
    return Profile::configDirectory() + QLatin1String(configFileName);
}

QString passwordDatabaseHome()
{
    const QByteArray home = currentUserAccount().home;
    if (home.startsWith('/'))
        return QDir::cleanPath(QFile::decodeName(home));
    return QString();
}

// Each problem of the file once per process, however many profiles read it;
// about is what the warning is about, the warning itself by default.
void warnOnce(const QString &text, const QByteArray &about = QByteArray())
{
    static QSet<QByteArray> said;
    const QByteArray key =
        QCryptographicHash::hash(about.isNull() ? text.toUtf8() : about, QCryptographicHash::Sha1);
    if (said.contains(key))
        return;
    said.insert(key);
    say(QStringLiteral("Brantolex Fixer: ") + text);
}

} // namespace

Profile::Profile()
    : QSettings(readablePath(settingsPath()), QSettings::IniFormat), path(settingsPath())
{
    if (fileName() != path)
        return;
    // The toolkit reads sections only when asked for them.
    QSettings::allKeys();
    QByteArray text;
    QString error;
    if (!IniEdit::readRegularFile(path, &text, &error)) {
        lastProblem() =
            QStringLiteral("%1 cannot be read: %2; the defaults are used").arg(path, error);
        warnOnce(lastProblem());
        return;
    }
    readText = text;
    const IniEdit::Trouble trouble = IniEdit::firstTrouble(text);
    if (trouble.line > 0)
        warnOnce(QStringLiteral("%1, line %2: %3").arg(path).arg(trouble.line).arg(trouble.what),
                 text);
    else if (status() == QSettings::FormatError)
        warnOnce(QStringLiteral("%1 cannot be read in full").arg(path), text);
}

void Profile::setFilePath(const QString &path)
{
    filePathOverride() = path;
}

bool Profile::saveNow()
{
    if (!modified)
        return true;
    QString error;
    const bool saved = save(&error);
    if (!saved) {
        saveFailed = true;
        lastProblem() = QStringLiteral("could not save the settings to %1: %2").arg(path, error);
        say(QStringLiteral("Brantolex Fixer: ") + lastProblem());
    } else {
        lastProblem().clear();
    }
    // Answered either way: the caller says it on, and the destructor does
    // not try again.
    modified = false;
    pending.clear();
    if (saved)
        QSettings::sync();
    return saved;
}

Profile::~Profile()
{
    QString error;
    if (modified && !save(&error)) {
        saveFailed = true;
        lastProblem() = QStringLiteral("could not save the settings to %1: %2").arg(path, error);
        say(QStringLiteral("Brantolex Fixer: ") + lastProblem());
    }
}

QString Profile::problem()
{
    return lastProblem();
}

void Profile::forgetProblem()
{
    lastProblem().clear();
}

int Profile::lineOf(const QString &group, const QString &key) const
{
    return IniEdit::lineOf(readText, compositeKey(group, key));
}

bool Profile::anySaveFailed()
{
    return saveFailed;
}

QString Profile::readablePath(const QString &path)
{
    QString why;
    if (!IniEdit::trustedPath(path, &why).isEmpty())
        return path;
    lastProblem() = QStringLiteral("%1 is not read: %2").arg(path, why);
    warnOnce(lastProblem());
    // Read as empty, without waiting on whatever is there.
    return QStringLiteral("/dev/null");
}

bool Profile::save(QString *error)
{
    const QString target = IniEdit::trustedPath(path, error);
    if (target.isEmpty())
        return false;
    QByteArray text;
    if (!IniEdit::readRegularFile(target, &text, error))
        return false;
    // What the file says now, not when we read it.
    const QSettings before(target, QSettings::IniFormat);
    IniEdit::Changes changes;
    QHash<QString, QVariant> changed;
    for (const auto &[key, value] : std::as_const(pending))
        if (!before.contains(key) || before.value(key) != value) {
            changes.append({key, value});
            changed.insert(key, value);
        }
    if (changes.isEmpty())
        return true;

    QList<IniEdit::Kept> kept;
    const QByteArray edited = IniEdit::apply(text, changes, &kept);
    // The toolkit must read what was set, and everything else as before.
    const auto readsBack = [&](const QString &temporary, QString *why) {
        const QSettings after(temporary, QSettings::IniFormat);
        const QStringList beforeKeys = before.allKeys(), afterKeys = after.allKeys();
        QStringList keys = beforeKeys + afterKeys;
        keys.removeDuplicates();
        for (const QString &key : std::as_const(keys)) {
            // A key with an empty part ("=v", "\\x" in the file) cannot be
            // looked up, but must stay in its section all the same.
            if (key.split(QLatin1Char('/')).contains(QString())) {
                if (beforeKeys.contains(key) == afterKeys.contains(key))
                    continue;
            } else {
                const bool set = changed.contains(key);
                const QVariant expected = set ? changed.value(key) : before.value(key);
                if (after.contains(key) == (set || before.contains(key)) &&
                    after.value(key) == expected)
                    continue;
            }
            // Named as the user's file has it, where it is the file's own.
            IniEdit::Trouble trouble = IniEdit::firstTrouble(text);
            if (trouble.line == 0)
                trouble = IniEdit::firstTrouble(edited);
            const int line = IniEdit::lineOf(edited, key);
            if (trouble.line > 0)
                *why = QStringLiteral("line %1: %2").arg(trouble.line).arg(trouble.what);
            else if (line > 0)
                *why =
                    QStringLiteral("line %1: %2 would not read back as written").arg(line).arg(key);
            else
                *why = QStringLiteral("%1 would not read back as written").arg(key);
            return false;
        }
        return true;
    };
    if (!IniEdit::replaceFile(target, edited, readsBack, error))
        return false;
    for (const IniEdit::Kept &lines : std::as_const(kept)) {
        const QString which =
            lines.first == lines.last
                ? QStringLiteral("line %1").arg(lines.first)
                : QStringLiteral("lines %1 to %2").arg(lines.first).arg(lines.last);
        say(QStringLiteral("Brantolex Fixer: %1, %2: read as part of the value of %3, kept below "
                           "its new value as comment lines")
                .arg(path, which, lines.key));
    }
    return true;
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
    const QByteArray name = QFile::encodeName(directory);
    if (::mkdir(name.constData(), 0700) != 0 && errno == ENOENT) {
        QDir().mkpath(QFileInfo(directory).path());
        ::mkdir(name.constData(), 0700);
    }
    // Whatever the umask; nobody else may put anything in it.
    struct stat info = {};
    if (::lstat(name.constData(), &info) == 0 && S_ISDIR(info.st_mode) &&
        info.st_uid == ::geteuid() && (info.st_mode & 07777) != (info.st_mode & 0700)) {
        if (::chmod(name.constData(), info.st_mode & 0700) != 0)
            warnOnce(QStringLiteral("%1 is open to other users and stays so: %2")
                         .arg(directory, errnoText(errno)));
    }
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
        say(QStringLiteral("Brantolex Fixer: %1 in %2 is not read: upper and lower case matter, "
                           "the key is %3")
                .arg(key, path, compositeKey));
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
