// The settings file: what is read, what a save writes and what it keeps of
// the user's own lines (comments, odd quoting, unknown keys), and how a
// failed save is told. A temporary home for each row; no MIDI system.
#include "settings/iniedit.h"
#include "settings/profile.h"
#include "testhelpers.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

#include <fcntl.h>
#include <future>
#include <iterator>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

// Everything here runs against one temporary home directory per process:
// Profile works out its directory once, on first use.
namespace {

ino_t inodeOf(const QString &path)
{
    struct stat info = {};
    return ::stat(QFile::encodeName(path).constData(), &info) == 0 ? info.st_ino : 0;
}

// Where the typed rows set and read.
const QString typedGroup = QStringLiteral("Group"), typedKey = QStringLiteral("key");

// Calls f with the value as the type of the Profile overload that takes it;
// an invalid variant for a type none takes.
template <typename F> QVariant asTyped(const QVariant &value, F f)
{
    switch (value.metaType().id()) {
    case QMetaType::QString:
        return f(value.toString());
    case QMetaType::QByteArray:
        return f(value.toByteArray());
    case QMetaType::QColor:
        return f(value.value<QColor>());
    case QMetaType::QPoint:
        return f(value.toPoint());
    case QMetaType::QRect:
        return f(value.toRect());
    case QMetaType::QFont:
        return f(value.value<QFont>());
    default:
        return QVariant();
    }
}

// Reads through the typed getter that matches the default's type.
QVariant typedValue(const Profile &profile, const QVariant &defaultValue)
{
    return asTyped(defaultValue, [&](const auto &typed) {
        return QVariant::fromValue(profile.value(typedGroup, typedKey, typed));
    });
}

} // namespace

class TestProfile : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void firstUseFromManyThreads();
    void location();
    void firstStartCreatesDirectoryOnly();
    void storedLine_data();
    void storedLine();
    void roundTrip_data();
    void roundTrip();
    void typedRead_data();
    void typedRead();
    void keepsWhatTheUserWrote_data();
    void keepsWhatTheUserWrote();
    void editsAgreeWithTheToolkit();
    void readWarnings_data();
    void readWarnings();
    void staleTemporaryFilesCleared();
    void secondProfileSameFile();
    void refusedSave_data();
    void refusedSave();
    void privateModes_data();
    void privateModes();
    void homeDirectory_data();
    void homeDirectory();
    void directoryWorkedOutOnce();

private:
    QString configPath() const { return home.configPath(); }
    QString configDirPath() const { return home.configDirPath(); }
    QByteArray readConfig() const;
    // Section -> (key -> raw text) of the file as written.
    QMap<QString, QMap<QString, QString>> parseConfig() const;

    TemporaryHome home;
};

void TestProfile::initTestCase()
{
    QVERIFY(home.use());
}

void TestProfile::init()
{
    home.clear();
}

QByteArray TestProfile::readConfig() const
{
    QFile file(configPath());
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QMap<QString, QMap<QString, QString>> TestProfile::parseConfig() const
{
    QMap<QString, QMap<QString, QString>> sections;
    QString section;
    const QList<QByteArray> lines = readConfig().split('\n');
    for (const QByteArray &raw : lines) {
        const QString line = QString::fromUtf8(raw).trimmed();
        if (line.startsWith(QLatin1Char('[')) && line.endsWith(QLatin1Char(']'))) {
            section = line.mid(1, line.size() - 2);
        } else if (const int eq = line.indexOf(QLatin1Char('=')); eq > 0) {
            sections[section][line.left(eq)] = line.mid(eq + 1);
        }
    }
    return sections;
}

// Runs first, so that these calls are the ones that work the path out.
void TestProfile::firstUseFromManyThreads()
{
    std::vector<std::future<QString>> calls;
    for (int i = 0; i < 8; ++i)
        calls.push_back(std::async(std::launch::async, [] { return Profile::configDirectory(); }));
    for (auto &call : calls)
        QCOMPARE(call.get(), configDirPath() + QLatin1Char('/'));
    QVERIFY(QFileInfo(configDirPath()).isDir());
}

void TestProfile::location()
{
    Profile profile;
    QCOMPARE(profile.format(), QSettings::IniFormat);
    QCOMPARE(profile.fileName(), configPath());
    QCOMPARE(Profile::configDirectory(), configDirPath() + QLatin1Char('/'));
    QVERIFY(!profile.isModified());
}

void TestProfile::firstStartCreatesDirectoryOnly()
{
    QVERIFY(!QFileInfo::exists(configDirPath()));
    {
        Profile profile;
        QVERIFY(QFileInfo(configDirPath()).isDir());
        QCOMPARE(profile.value("MIDI", "sysex", "No"), QStringLiteral("No"));
        QCOMPARE(profile.value("Plugin", "loadingTime", 4, "3000"), QStringLiteral("3000"));
        QCOMPARE(profile.value(QStringLiteral("WINDOWS"), QStringLiteral("MainWindowState"),
                               QByteArray("\x01\x02", 2)),
                 QByteArray("\x01\x02", 2));
        QVERIFY(!profile.isModified());
    }
    QVERIFY(!QFileInfo::exists(configPath()));
}

void TestProfile::storedLine_data()
{
    // An index of -1: the plain form.
    addColumns<bool, QString, QString, int, QString, QString, QString>(
        "charForm", "group", "key", "index", "value", "section", "entry");

    dataRow("text", false, "MIDI", "sysex", -1, "No", "MIDI", "sysex");
    dataRow("text, char form", true, "MIDI", "midiChannel", -1, "12", "MIDI", "midiChannel");
    dataRow("index 3", false, "Plugin", "loadingTime", 3, "3000", "Plugin", "loadingTime3");
    dataRow("index 3, char form", true, "Plugin", "loadingTime", 3, "2100", "Plugin",
            "loadingTime3");
    dataRow("index 10", false, "Plugin", "loadingTime", 10, "5", "Plugin", "loadingTime10");
    dataRow("index 0", true, "Plugin", "loadingTime", 0, "7", "Plugin", "loadingTime0");
    dataRow("empty text", false, "MIDI", "midiInDevice", -1, "", "MIDI", "midiInDevice");
}

void TestProfile::storedLine()
{
    QFETCH(bool, charForm);
    QFETCH(QString, group);
    QFETCH(QString, key);
    QFETCH(int, index);
    QFETCH(QString, value);
    QFETCH(QString, section);
    QFETCH(QString, entry);

    const QByteArray g = group.toLatin1(), k = key.toLatin1(), v = value.toLatin1();
    {
        Profile profile;
        if (charForm && index >= 0)
            profile.setValue(g.constData(), k.constData(), index, v.constData());
        else if (charForm)
            profile.setValue(g.constData(), k.constData(), v.constData());
        else if (index >= 0)
            profile.setValue(group, key, index, value);
        else
            profile.setValue(group, key, value);
        QVERIFY(profile.isModified());
    }
    const auto sections = parseConfig();
    QCOMPARE(sections.keys(), QStringList{section});
    QCOMPARE(sections.value(section).keys(), QStringList{entry});
    QCOMPARE(sections.value(section).value(entry), value);

    Profile reader;
    if (index >= 0) {
        QCOMPARE(reader.value(group, key, index, QStringLiteral("default")), value);
        QCOMPARE(reader.value(g.constData(), k.constData(), index, "default"), value);
    } else {
        QCOMPARE(reader.value(group, key, QStringLiteral("default")), value);
        QCOMPARE(reader.value(g.constData(), k.constData(), "default"), value);
    }
}

void TestProfile::roundTrip_data()
{
    addColumns<QVariant, QVariant>("value", "otherDefault");

    dataRow("text", QVariant(QStringLiteral("Ümlaut, comma; and = sign")),
            QVariant(QStringLiteral("x")));
    // Unquoted, the toolkit would read a list, and give an empty text.
    dataRow("text with a comma only", QVariant(QStringLiteral("Synth, A:out")),
            QVariant(QStringLiteral("x")));
    dataRow("bytes", QVariant(QByteArray("\x00\xff\n[MIDI]=\x01", 11)), QVariant(QByteArray("x")));
    dataRow("colour", QVariant(QColor(12, 34, 56)), QVariant(QColor(Qt::red)));
    dataRow("point", QVariant(QPoint(-7, 1200)), QVariant(QPoint(1, 1)));
    dataRow("rect", QVariant(QRect(3, 4, 295, 194)), QVariant(QRect(1, 1, 1, 1)));
    QFont font(QStringLiteral("Serif"), 13);
    font.setBold(true);
    dataRow("font", QVariant(font), QVariant(QFont(QStringLiteral("Sans"), 7)));
}

void TestProfile::roundTrip()
{
    QFETCH(QVariant, value);
    QFETCH(QVariant, otherDefault);

    {
        Profile profile;
        const QVariant set = asTyped(value, [&](const auto &typed) {
            profile.setValue(typedGroup, typedKey, typed);
            return QVariant(true);
        });
        QVERIFY2(set.isValid(), "unhandled type");
    }
    QVERIFY(readConfig().contains("[Group]"));

    Profile profile;
    QCOMPARE(typedValue(profile, otherDefault), value);
}

// What a typed getter gives where the key is absent (the default) or holds
// no value of the default's type (the type's null value).
void TestProfile::typedRead_data()
{
    // A null file: none at all.
    addColumns<QByteArray, QVariant, QVariant>("file", "defaultValue", "expected");

    const QByteArray otherKeys("[Group]\nother=1\n[Else]\nkey=2\n");
    const QList<QPair<const char *, QVariant>> values = {
        {"text", QVariant(QStringLiteral("Yes"))},
        {"bytes", QVariant(QByteArray("\x01\x00", 2))},
        {"colour", QVariant(QColor(1, 2, 3))},
        {"point", QVariant(QPoint(5, 6))},
        {"rect", QVariant(QRect(1, 2, 3, 4))},
        {"font", QVariant(QFont(QStringLiteral("Monospace"), 21))},
    };
    for (const auto &[name, value] : values) {
        QTest::addRow("%s, no file", name) << QByteArray() << value << value;
        QTest::addRow("%s, other keys only", name) << otherKeys << value << value;
    }
    // What the file holds as the key's value.
    const auto stored = [](const char *text) { return "[Group]\nkey=" + QByteArray(text) + "\n"; };
    dataRow("text as point", stored("hello"), QVariant(QPoint(5, 6)), QVariant(QPoint(0, 0)));
    dataRow("text as rect", stored("hello"), QVariant(QRect(1, 2, 3, 4)), QVariant(QRect()));
    dataRow("text as colour", stored("no colour at all"), QVariant(QColor(Qt::red)),
            QVariant(QColor()));
    dataRow("rect as font", stored("@Rect(1 2 3 4)"),
            QVariant(QFont(QStringLiteral("Monospace"), 21)), QVariant(QFont()));
    dataRow("rect as colour", stored("@Rect(1 2 3 4)"), QVariant(QColor(Qt::blue)),
            QVariant(QColor()));
    dataRow("point as text", stored("@Point(1 2)"), QVariant(QStringLiteral("default")),
            QVariant(QString()));
    dataRow("empty as point", stored(""), QVariant(QPoint(5, 6)), QVariant(QPoint(0, 0)));
}

void TestProfile::typedRead()
{
    QFETCH(QByteArray, file);
    QFETCH(QVariant, defaultValue);
    QFETCH(QVariant, expected);
    if (!file.isNull())
        QVERIFY(home.write(file));

    Profile profile;
    const QVariant got = typedValue(profile, defaultValue);
    QVERIFY2(got.isValid(), "unhandled type");
    QCOMPARE(got, expected);
    if (expected == defaultValue && defaultValue.metaType().id() == QMetaType::QString) {
        QCOMPARE(profile.value("Group", "key", "Yes"), defaultValue.toString());
        QCOMPARE(profile.value("Group", "key", 1, "Yes"), defaultValue.toString());
    }
    QVERIFY(!profile.isModified());
}

void TestProfile::keepsWhatTheUserWrote_data()
{
    // Before: null for no file. Sets: "Group/key=value", set in this order;
    // "*" sets the value as read.
    addColumns<QByteArray, QStringList, QByteArray>("before", "sets", "after");

    QTest::newRow("changed value, comments kept")
        << QByteArray("; edited by hand\n[MIDI]\n# old: sysex=Yes\nsysex = No\n\n[Plugin]\n"
                      "loadingTime1=2000\n")
        << QStringList{"MIDI/sysex=Yes"}
        << QByteArray("; edited by hand\n[MIDI]\n# old: sysex=Yes\nsysex = Yes\n\n[Plugin]\n"
                      "loadingTime1=2000\n");
    QTest::newRow("same value set: file untouched")
        << QByteArray("; edited by hand\n[MIDI]\nsysex = No\n") << QStringList{"MIDI/sysex=No"}
        << QByteArray("; edited by hand\n[MIDI]\nsysex = No\n");
    QTest::newRow("CRLF, also for a new key")
        << QByteArray("[MIDI]\r\nsysex=No\r\n[Plugin]\r\nloadingTime1=2000\r\n")
        << QStringList{"MIDI/sysex=Yes", "MIDI/midiChannel=3"}
        << QByteArray("[MIDI]\r\nsysex=Yes\r\nmidiChannel=3\r\n[Plugin]\r\nloadingTime1=2000\r\n");
    QTest::newRow("byte order mark")
        << QByteArray("\xef\xbb\xbf[MIDI]\nmidiChannel=5\n")
        << QStringList{"MIDI/sysex=Yes", "MIDI/midiChannel=*"}
        << QByteArray("\xef\xbb\xbf[MIDI]\nmidiChannel=5\nsysex=Yes\n");
    QTest::newRow("Latin-1 bytes, also of a value set as read")
        << QByteArray("; K\xf6ln\n[MIDI]\nmidiInDevice=Synth\xe4\nsysex=No\n")
        << QStringList{"MIDI/midiInDevice=*", "MIDI/sysex=Yes"}
        << QByteArray("; K\xf6ln\n[MIDI]\nmidiInDevice=Synth\xe4\nsysex=Yes\n");
    QTest::newRow("duplicate key: the one read changes")
        << QByteArray("[MIDI]\nmidiChannel=2\nmidiChannel=5\n") << QStringList{"MIDI/midiChannel=7"}
        << QByteArray("[MIDI]\nmidiChannel=2\nmidiChannel=7\n");
    QTest::newRow("duplicate section")
        << QByteArray("[MIDI]\nsysex=No\n[Plugin]\nloadingTime1=1\n[MIDI]\nmidiChannel=2\n")
        << QStringList{"MIDI/sysex=Yes", "MIDI/translateCC0toPluginSelect=No"}
        << QByteArray("[MIDI]\nsysex=Yes\n[Plugin]\nloadingTime1=1\n[MIDI]\nmidiChannel=2\n"
                      "translateCC0toPluginSelect=No\n");
    QTest::newRow("commented-out keys stay, new key at the section's end")
        << QByteArray("[Plugin]\n# loadingTime2=9000\n; loadingTime3=9000\nloadingTime1=2000\n\n"
                      "; the end\n")
        << QStringList{"Plugin/loadingTime2=2500"}
        << QByteArray("[Plugin]\n# loadingTime2=9000\n; loadingTime3=9000\nloadingTime1=2000\n"
                      "loadingTime2=2500\n\n; the end\n");
    QTest::newRow("wrong-case key stays")
        << QByteArray("[Plugin]\nLoadingTime1=9000\n") << QStringList{"Plugin/loadingTime1=2000"}
        << QByteArray("[Plugin]\nLoadingTime1=9000\n"
                      "loadingTime1=2000\n");
    QTest::newRow("wrong-case section stays")
        << QByteArray("[plugin]\nloadingTime1=9000\n") << QStringList{"Plugin/loadingTime1=2000"}
        << QByteArray("[plugin]\nloadingTime1=9000\n\n"
                      "[Plugin]\nloadingTime1=2000\n");
    QTest::newRow("comment after the value")
        << QByteArray("[MIDI]\nsysex=No ; or Yes\n") << QStringList{"MIDI/sysex=Yes"}
        << QByteArray("[MIDI]\nsysex=Yes ; or Yes\n");
    QTest::newRow("new section, no line end at the end")
        << QByteArray("[MIDI]\nsysex=No") << QStringList{"Plugin/loadingTime4=100"}
        << QByteArray("[MIDI]\nsysex=No\n\n[Plugin]\nloadingTime4=100\n");
    QTest::newRow("no file") << QByteArray()
                             << QStringList{"MIDI/sysex=Yes", "Plugin/loadingTime1=5"}
                             << QByteArray("[MIDI]\nsysex=Yes\n\n[Plugin]\nloadingTime1=5\n");
    QTest::newRow("unknown keys and order")
        << QByteArray("[Plugin]\nloadingTime8=1\nmine=x\nloadingTime1=2\n")
        << QStringList{"Plugin/loadingTime1=3", "Plugin/loadingTime8=4"}
        << QByteArray("[Plugin]\nloadingTime8=4\nmine=x\nloadingTime1=3\n");
    QTest::newRow("continued line")
        << QByteArray("[MIDI]\nmidiOutDevice=Unit \\\nPort\nsysex=No\n")
        << QStringList{"MIDI/midiOutDevice=Other"}
        << QByteArray("[MIDI]\nmidiOutDevice=Other\n; Port\nsysex=No\n");
    // Lines the toolkit took into a changed value stay, as comments.
    QTest::newRow("a stray quote took in a comment and a key")
        << QByteArray("[MIDI]\nmidiSystem=alsa \"old\n; note 1\nmidiChannel=10\n\"\n")
        << QStringList{"MIDI/midiSystem=jack"}
        << QByteArray("[MIDI]\nmidiSystem=jack\n; note 1\n; midiChannel=10\n; \"\n");
    QTest::newRow("a trailing backslash took in a heading")
        << QByteArray("[MIDI]\nmidiSystem=alsa\\\n[Plugin]\nloadingTime1=500\n")
        << QStringList{"MIDI/midiSystem=jack"}
        << QByteArray("[MIDI]\nmidiSystem=jack\n; [Plugin]\nloadingTime1=500\n");
    QTest::newRow("keys with an empty name stay in their section")
        << QByteArray("=g\n[MIDI]\n=m\n[Plugin]\n=p\n")
        << QStringList{"MIDI/sysex=Yes", "Plugin/loadingTime1=5", "New/a=1"}
        << QByteArray("=g\n[MIDI]\n=m\nsysex=Yes\n[Plugin]\n=p\nloadingTime1=5\n\n[New]\na=1\n");
    QTest::newRow("stray line") << QByteArray("[MIDI]\nstray line\nmidiChannel=5\n")
                                << QStringList{"MIDI/sysex=Yes"}
                                << QByteArray("[MIDI]\nstray line\nmidiChannel=5\nsysex=Yes\n");
    QTest::newRow("unclosed section") << QByteArray("[MIDI\nmidiChannel=5\n")
                                      << QStringList{"MIDI/sysex=Yes", "MIDI/midiChannel=*"}
                                      << QByteArray("[MIDI\nmidiChannel=5\nsysex=Yes\n");
    QTest::newRow("set twice, back to what was there")
        << QByteArray("[MIDI]\nsysex=No\n") << QStringList{"MIDI/sysex=Yes", "MIDI/sysex=No"}
        << QByteArray("[MIDI]\nsysex=No\n");
    // Where the toolkit's lines are not the text editor's.
    QTest::newRow("a quote in a # line takes in the lines after it")
        << QByteArray("[MIDI]\n# my 12\" unit\nmidiSystem=bogus\n")
        << QStringList{"MIDI/midiSystem=alsa"}
        << QByteArray("[MIDI]\nmidiSystem=alsa\n# my 12\" unit\nmidiSystem=bogus\n");
    QTest::newRow("a quote in a value takes in the lines after it")
        << QByteArray("[MIDI]\nmidiInDevice=My 12\" synth\nsysex=No\n")
        << QStringList{"MIDI/sysex=Yes"}
        << QByteArray("[MIDI]\nsysex=Yes\nmidiInDevice=My 12\" synth\nsysex=No\n");
    QTest::newRow("a quote open to the end, new section")
        << QByteArray("[MIDI]\nsysex=No\n# my 12\" unit\n")
        << QStringList{"WINDOWS/MainWindowGeometry=x"}
        << QByteArray("[WINDOWS]\nMainWindowGeometry=x\n\n[MIDI]\nsysex=No\n# my 12\" unit\n");
    QTest::newRow("a lone CR ends a line")
        << QByteArray("[MIDI]\nsysex=No\rmidiChannel=5\n") << QStringList{"MIDI/sysex=Yes"}
        << QByteArray("[MIDI]\nsysex=Yes\rmidiChannel=5\n");
    QTest::newRow("a backslash at the end of the last line")
        << QByteArray("[MIDI]\nmidiOutDevice=Synth\\\n") << QStringList{"MIDI/sysex=Yes"}
        << QByteArray("[MIDI]\nmidiOutDevice=Synth\\\n\nsysex=Yes\n");
    QTest::newRow("a backslash at the end of the file")
        << QByteArray("[MIDI]\nmidiOutDevice=Synth\\") << QStringList{"MIDI/sysex=Yes"}
        << QByteArray("[MIDI]\nmidiOutDevice=Synth\\\n\nsysex=Yes\n");
}

// Only the values that changed are written; everything else stays byte for
// byte, and what was set reads back.
void TestProfile::keepsWhatTheUserWrote()
{
    QFETCH(QByteArray, before);
    QFETCH(QStringList, sets);
    QFETCH(QByteArray, after);
    if (!before.isNull())
        QVERIFY(home.write(before));
    const ino_t inode = QFileInfo(configPath()).exists() ? inodeOf(configPath()) : 0;
    QMap<QString, QVariant> untouched;
    {
        const QSettings original(configPath(), QSettings::IniFormat);
        const QStringList keys = original.allKeys();
        for (const QString &key : keys)
            untouched.insert(key, original.value(key));
    }

    QTest::failOnWarning(QRegularExpression(QStringLiteral("could not save")));
    // The user is told which of the file's lines became comments.
    static const QHash<QByteArray, QString> madeComments = {
        {"continued line", "line 3"},
        {"a stray quote took in a comment and a key", "lines 3 to 5"},
        {"a trailing backslash took in a heading", "line 3"}};
    const QString kept = madeComments.value(QTest::currentDataTag());
    if (!kept.isEmpty())
        QTest::ignoreMessage(QtWarningMsg,
                             QRegularExpression(QStringLiteral("config, %1: read as part of the "
                                                               "value of MIDI/\\w+, kept below")
                                                    .arg(kept)));
    QMap<QString, QString> expected;
    {
        Profile profile;
        for (const QString &set : sets) {
            const qsizetype slash = set.indexOf(QLatin1Char('/'));
            const qsizetype equals = set.indexOf(QLatin1Char('='));
            const QString group = set.left(slash), key = set.mid(slash + 1, equals - slash - 1);
            QString value = set.mid(equals + 1);
            if (value == QLatin1String("*"))
                value = profile.value(group, key, QStringLiteral("absent"));
            profile.setValue(group, key, value);
            expected[group + QLatin1Char('/') + key] = value;
        }
    }
    QCOMPARE(readConfig(), after);
    if (after == before)
        QCOMPARE(inodeOf(configPath()), inode);

    Profile reader;
    for (auto it = expected.cbegin(); it != expected.cend(); ++it)
        QCOMPARE(reader.QSettings::value(it.key()).toString(), it.value());
    for (auto it = untouched.cbegin(); it != untouched.cend(); ++it)
        if (!expected.contains(it.key()))
            QCOMPARE(reader.QSettings::value(it.key()), it.value());
}

// Hand-made files from the characters that decide where the toolkit's lines
// end, each with a key or two set: the toolkit reads what was set and
// everything else as before. Only a file that takes in whatever is added at
// its end (a quote left open) may defeat the edit, and the save then refuses.
void TestProfile::editsAgreeWithTheToolkit()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const auto read = [&](const QByteArray &text) {
        QFile file(dir.filePath(QStringLiteral("f%1").arg(QRandomGenerator::global()->generate())));
        if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size())
            return QMap<QString, QVariant>();
        file.close();
        QMap<QString, QVariant> values;
        const QSettings settings(file.fileName(), QSettings::IniFormat);
        const QStringList keys = settings.allKeys();
        for (const QString &key : keys)
            if (!key.split(QLatin1Char('/')).contains(QString()))
                values.insert(key, settings.value(key));
        return values;
    };
    const char *pieces[] = {"[MIDI]", "[Plugin]", "[MIDI", "]", "a",  "b",  "=",    "\"",  "\\",
                            ";",      "#",        " ",     ",", "\n", "\r", "\r\n", "a=1", "x"};
    const char *keys[] = {"MIDI/a", "MIDI/b", "Plugin/a", "a", "New/a"};
    const char *values[] = {"v", "w x", "Synth, A:out", "q\"uote", "back\\slash"};
    QRandomGenerator random(23);
    int defeated = 0;
    for (int round = 0; round < 1500; ++round) {
        QByteArray text;
        for (int i = random.bounded(30); i > 0; --i)
            text += pieces[random.bounded(int(std::size(pieces)))];
        IniEdit::Changes changes;
        for (int i = random.bounded(1, 3); i > 0; --i)
            changes.append({QString::fromLatin1(keys[random.bounded(int(std::size(keys)))]),
                            QString::fromLatin1(values[random.bounded(int(std::size(values)))])});
        QMap<QString, QVariant> expected = read(text);
        for (const auto &[key, value] : std::as_const(changes))
            expected.insert(key, value);
        if (read(IniEdit::apply(text, changes)) == expected)
            continue;
        ++defeated;
        QVERIFY2(!read(text + "\n[Z]\nz=1\n").contains(QStringLiteral("Z/z")),
                 QByteArray(text).replace('\n', "\\n").replace('\r', "\\r").constData());
    }
    // The seed gives files of all kinds.
    QVERIFY(defeated > 0 && defeated < 150);
}

void TestProfile::readWarnings_data()
{
    // The warning: a pattern; empty: none.
    addColumns<QByteArray, QString>("file", "warning");

    const QString caseNotRead = QStringLiteral(" in .*config is not read.*Plugin/loadingTime1");
    QTest::newRow("key") << QByteArray("[Plugin]\nLoadingTime1=9000\n")
                         << "Plugin/LoadingTime1" + caseNotRead;
    // The sizes differ: the toolkit reads a file again only when its size or
    // time (in ms) changed, and these are written at once.
    QTest::newRow("section") << QByteArray("[plugin]\nloadingTime1=90000\n")
                             << "plugin/loadingTime1" + caseNotRead;
    QTest::newRow("commented out") << QByteArray("[Plugin]\n# loadingTime1=9000\n") << "";
    QTest::newRow("another key") << QByteArray("[Plugin]\nloadingTime10=9000\n") << "";
    // What the toolkit cannot read as written, by line.
    QTest::newRow("no '='") << QByteArray("[Plugin]\nloadingTime1 9000\n")
                            << "config, line 2: no '=' in this line";
    QTest::newRow("heading without ']'") << QByteArray("[Plugin\nloadingTime10=9000\n")
                                         << "config, line 1: the section heading has no ']'";
    QTest::newRow("a quote in a # line")
        << QByteArray("[Plugin]\n# my 12\" unit\nloadingTime1=9000\n")
        << "config, line 2: a '\"' opens a quote that runs to the end of the file";
    QTest::newRow("a quote over two lines")
        << QByteArray("[Plugin]\nname=\"Unit\nloadingTime1=9000\"\n")
        << "config, line 2: a '\"' opens a quote that runs on to line 3";
}

// Read as written, but not without a word.
void TestProfile::readWarnings()
{
    QFETCH(QByteArray, file);
    QFETCH(QString, warning);
    QVERIFY(home.write(file));

    if (!warning.isEmpty())
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(warning));
    QTest::failOnWarning(QRegularExpression(QStringLiteral(".")));
    Profile profile;
    // Twice, and one warning.
    for (int i = 0; i < 2; ++i)
        QCOMPARE(profile.value("Plugin", "loadingTime", 1, "2000"), QStringLiteral("2000"));
}

void TestProfile::staleTemporaryFilesCleared()
{
    QVERIFY(home.write("[MIDI]\nsysex=No\n"));
    const QString stale = configPath() + QStringLiteral(".saving-AbC123");
    const QString busy = configPath() + QStringLiteral(".saving-XyZ789");
    for (const QString &path : {stale, busy}) {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
    }
    // A save that is still going on holds its file locked; a FIFO is nobody's
    // save, and opening it would wait for a writer forever.
    const int fd = ::open(QFile::encodeName(busy).constData(), O_RDONLY | O_CLOEXEC);
    QVERIFY(fd >= 0 && ::flock(fd, LOCK_EX) == 0);
    const QString fifo = configPath() + QStringLiteral(".saving-FiFo00");
    QVERIFY(::mkfifo(QFile::encodeName(fifo).constData(), 0600) == 0);
    {
        Profile profile;
        profile.setValue("MIDI", "sysex", "Yes");
    }
    ::close(fd);
    QStringList left =
        QDir(configDirPath()).entryList(QDir::Files | QDir::Hidden | QDir::System, QDir::Name);
    QCOMPARE(left, (QStringList{"config", QFileInfo(fifo).fileName(), QFileInfo(busy).fileName()}));
    QCOMPARE(readConfig(), QByteArray("[MIDI]\nsysex=Yes\n"));
}

void TestProfile::homeDirectory_data()
{
    // A null home: unset.
    addColumns<QByteArray, bool>("home", "fromDatabase");

    QTest::newRow("absolute") << QByteArray("/some/where/else") << false;
    QTest::newRow("unset") << QByteArray() << true;
    QTest::newRow("empty") << QByteArray("") << true;
    QTest::newRow("relative") << QByteArray("some/where") << true;
}

void TestProfile::homeDirectory()
{
    QFETCH(QByteArray, home);
    QFETCH(bool, fromDatabase);

    QProcess getent;
    getent.start(QStringLiteral("getent"),
                 {QStringLiteral("passwd"), QString::number(::geteuid())});
    QVERIFY(getent.waitForFinished(10000));
    const QString databaseHome =
        QString::fromLocal8Bit(getent.readAllStandardOutput()).trimmed().section(':', 5, 5);
    if (fromDatabase && databaseHome.isEmpty())
        QSKIP("no password entry for this user");

    const QByteArray saved = qgetenv("HOME");
    if (home.isNull())
        qunsetenv("HOME");
    else
        qputenv("HOME", home);
    const QString got = Profile::homeDirectory();
    qputenv("HOME", saved);
    QCOMPARE(got, fromDatabase ? databaseHome : QString::fromLatin1(home));
}

void TestProfile::secondProfileSameFile()
{
    QString firstName;
    {
        Profile first;
        firstName = first.fileName();
        first.setValue("MIDI", "midiOutDevice", "unit:in");
    }
    Profile second;
    QCOMPARE(second.fileName(), firstName);
    QCOMPARE(second.fileName().count(QStringLiteral("//")), 0);
    QVERIFY(second.fileName().endsWith(QStringLiteral("/.Brantolex_Fixer/config")));
    QCOMPARE(second.value("MIDI", "midiOutDevice", ""), QStringLiteral("unit:in"));
}

void TestProfile::refusedSave_data()
{
    // What is at the file's place: "directory", "fifo", a "link" to a file
    // of ours, or a link "made by another user", "to another user's file" or
    // "into another user's directory"; otherwise the file.
    addColumns<QString, QByteArray, QString>("place", "file", "reason");

    const QByteArray mine("[MIDI]\nsysex=No\n");
    dataRow("a directory", "directory", QByteArray(), "a directory, not a regular file");
    dataRow("a FIFO, never waited on", "fifo", QByteArray(), "a FIFO, not a regular file");
    dataRow("a link another user made", "made by another user", mine, "a link that uid 65534 made");
    dataRow("a link to another user's file", "to another user's file", mine,
            "a link to .*, a file of uid 65534");
    dataRow("a link into another user's directory", "into another user's directory", mine,
            "a link into .*, a directory of uid 65534");
    // Wherever the new section went, the quote would take it in or move the
    // key before it: the file stays as it is.
    dataRow("a text the toolkit would read otherwise", "",
            QByteArray("midiInDevice=My 12\" synth\n"),
            "line 1: a '\"' opens a quote that runs to the end of the file");
    dataRow("a key with an empty name the new section would move", "",
            QByteArray("=v \"unclosed\n"), "line 1: a '\"' opens a quote");
}

// Nothing is written, and the user learns why.
void TestProfile::refusedSave()
{
    QFETCH(QString, place);
    QFETCH(QByteArray, file);
    QFETCH(QString, reason);

    if (place.contains(QLatin1String("another user")) && ::geteuid() != 0)
        QSKIP("only root can give a file to another user");
    QVERIFY(QDir().mkpath(configDirPath()));
    QTemporaryDir elsewhere;
    QVERIFY(elsewhere.isValid());
    const QByteArray config = QFile::encodeName(configPath());
    QString target = configPath();
    if (place == "directory") {
        QVERIFY(QDir().mkpath(configPath()));
    } else if (place == "fifo") {
        QVERIFY(::mkfifo(config.constData(), 0600) == 0);
    } else if (!place.isEmpty()) {
        target = elsewhere.filePath(QStringLiteral("config"));
        QVERIFY(::symlink(QFile::encodeName(target).constData(), config.constData()) == 0);
    }
    if (!file.isNull()) {
        QFile out(target);
        QVERIFY(out.open(QIODevice::WriteOnly) && out.write(file) == file.size());
    }
    if (place.contains(QLatin1String("another user"))) {
        const uid_t other = 65534;
        const QByteArray owned =
            QFile::encodeName(place == "made by another user"     ? configPath()
                              : place == "to another user's file" ? target
                                                                  : elsewhere.path());
        QVERIFY(::lchown(owned.constData(), other, other) == 0);
    }

    QTest::ignoreMessage(
        QtWarningMsg,
        QRegularExpression(QStringLiteral("could not save the settings to .*config: ") + reason));
    // Read as empty where it is refused, with a word (once).
    if (!place.isEmpty())
        QTest::ignoreMessage(QtWarningMsg,
                             QRegularExpression(QStringLiteral("config is not read: ") + reason));
    {
        Profile reader;
        QCOMPARE(reader.value("Plugin", "loadingTime", 1, "3000"), QStringLiteral("3000"));
    }
    {
        Profile writer;
        writer.setValue("Plugin", "loadingTime", 1, "5");
    }
    QVERIFY(Profile::anySaveFailed());
    if (!file.isNull()) {
        QFile in(target);
        QVERIFY(in.open(QIODevice::ReadOnly));
        QCOMPARE(in.readAll(), file);
    }
    QCOMPARE(QDir(configDirPath()).entryList(QDir::Files | QDir::Hidden | QDir::System).size(),
             place == "directory" ? 0 : 1);
    if (place == "directory")
        QDir(configPath()).removeRecursively();
}

void TestProfile::privateModes_data()
{
    // A mode before of -1: none there.
    addColumns<int, int, int, int, int>("umask", "dirBefore", "fileBefore", "dirAfter",
                                        "fileAfter");

    QTest::newRow("umask 000, first start") << 0 << -1 << -1 << 0700 << 0600;
    QTest::newRow("umask 077, first start") << 077 << -1 << -1 << 0700 << 0600;
    QTest::newRow("umask 022, a file of mode 0600 kept") << 022 << 0700 << 0600 << 0700 << 0600;
    QTest::newRow("a file of mode 0644 kept") << 0 << 0700 << 0644 << 0700 << 0644;
    // Made so before: anyone could have put a link in it.
    QTest::newRow("a directory open to others is closed") << 0 << 0777 << 0640 << 0700 << 0640;
}

void TestProfile::privateModes()
{
    QFETCH(int, umask);
    QFETCH(int, dirBefore);
    QFETCH(int, fileBefore);
    QFETCH(int, dirAfter);
    QFETCH(int, fileAfter);

    const QByteArray dir = QFile::encodeName(configDirPath());
    const QByteArray file = QFile::encodeName(configPath());
    if (dirBefore >= 0)
        QVERIFY(::mkdir(dir.constData(), 0700) == 0 && ::chmod(dir.constData(), dirBefore) == 0);
    if (fileBefore >= 0) {
        QVERIFY(home.write("[MIDI]\nsysex=No\n"));
        QVERIFY(::chmod(file.constData(), fileBefore) == 0);
    }
    const mode_t saved = ::umask(mode_t(umask));
    {
        Profile profile;
        profile.setValue("MIDI", "sysex", "Yes");
    }
    ::umask(saved);
    QVERIFY(readConfig().contains("sysex=Yes"));
    struct stat info = {};
    QVERIFY(::stat(dir.constData(), &info) == 0);
    QCOMPARE(int(info.st_mode & 07777), dirAfter);
    QVERIFY(::stat(file.constData(), &info) == 0);
    QCOMPARE(int(info.st_mode & 07777), fileAfter);
}

// Worked out once per process: a later change of HOME moves nothing.
void TestProfile::directoryWorkedOutOnce()
{
    QTemporaryDir otherHome;
    QVERIFY(otherHome.isValid());
    const QByteArray homeBefore = qgetenv("HOME");
    qputenv("HOME", QFile::encodeName(otherHome.path()));
    QCOMPARE(QDir::homePath(), otherHome.path());
    QString directory, file;
    {
        Profile profile;
        directory = Profile::configDirectory();
        file = profile.fileName();
    }
    qputenv("HOME", homeBefore);
    QCOMPARE(directory, configDirPath() + QLatin1Char('/'));
    QCOMPARE(file, configPath());
    QVERIFY(!QFileInfo::exists(otherHome.path() + QStringLiteral("/.Brantolex_Fixer")));
}

QTEST_MAIN(TestProfile)
#include "tst_profile.moc"
