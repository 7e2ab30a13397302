#pragma once

// Small helpers shared by the tests: the settings file, data tables, the
// instance channel's frames.

#include "app/singleapplication.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QString>
#include <QTemporaryDir>
#include <QtEndian>
#include <QtTest/QTest>
#include <QWidget>

// Writes text as the settings file of the given home, making its directory.
inline bool writeConfig(const QString &home, const QByteArray &text)
{
    const QString directory = home + QStringLiteral("/.Brantolex_Fixer");
    QDir().mkpath(directory);
    QFile file(directory + QStringLiteral("/config"));
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(text) == text.size();
}

// A home of the test's own for its whole process (use() in initTestCase),
// with no settings directory at the start of each test function (clear()
// in init()).
class TemporaryHome : public QTemporaryDir
{
public:
    bool use() const
    {
        return isValid() && qputenv("HOME", QFile::encodeName(path())) &&
               QDir::homePath() == path();
    }
    QString configDirPath() const { return filePath(QStringLiteral(".Brantolex_Fixer")); }
    QString configPath() const { return filePath(QStringLiteral(".Brantolex_Fixer/config")); }
    void clear() const { QDir(configDirPath()).removeRecursively(); }
    bool write(const QByteArray &text) const { return writeConfig(path(), text); }
};

// A data table's columns: addColumns<int, QString>("key", "text").
template <typename... Types, typename... Names> void addColumns(const Names &...names)
{
    static_assert(sizeof...(Types) == sizeof...(Names), "a name for each type");
    (QTest::addColumn<Types>(names), ...);
}

// A row of a data table: dataRow("tag", a, b) is QTest::newRow("tag") << a << b,
// on one line where the values fit.
template <typename... Values> void dataRow(const char *tag, const Values &...values)
{
    (QTest::newRow(tag) << ... << values);
}

// Shows the window; false when it is not exposed in time.
inline bool shown(QWidget &window)
{
    window.show();
    return QTest::qWaitForWindowExposed(&window);
}

// One frame of the instance channel, built by hand: a null text has the
// length 0xFFFFFFFF.
inline QByteArray frameOf(const QString &text)
{
    QByteArray utf16;
    for (QChar c : text) {
        utf16.append(char(c.unicode() >> 8));
        utf16.append(char(c.unicode() & 0xff));
    }
    QByteArray frame(8, '\0');
    const quint32 length = text.isNull() ? 0xFFFFFFFF : quint32(utf16.size());
    qToBigEndian<qint32>(qint32(4 + utf16.size()), frame.data());
    qToBigEndian<quint32>(length, frame.data() + 4);
    return frame + utf16;
}

// The guard's unique key for key and this process's user.
inline QString uniqueKeyOf(const QString &key)
{
    return SingleApplication::uniqueKey(SingleApplication::cleanKey(key),
                                        SingleApplication::currentUserName());
}
