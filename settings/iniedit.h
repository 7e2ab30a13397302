#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>
#include <QVariant>

#include <functional>

// Edits an INI file in place of the toolkit's writer, which rewrites all of
// it. The file is cut into lines by the toolkit's own rules (a quote carries
// a line over its line end, a lone CR ends a line, a backslash at the end
// joins the next line), and values are written as the toolkit writes them,
// so that it reads back what was set.
namespace IniEdit {

using Changes = QList<QPair<QString, QVariant>>;

// Sets each "section/key" of changes in text: the value part of the line that
// the toolkit reads is replaced (the last of duplicates; a comment after the
// value stays); a new key goes after the last key of its section (the last
// section of that name), a new section at the end. A byte order mark and the
// file's line end are kept.
// Lines the toolkit read as part of a changed key's value (a quote or a
// trailing backslash carried it over them) stay, as comment lines below the
// new value: it then reads the same keys as before, and the user keeps the
// text. Their numbers in text, from 1, go to *kept.
struct Kept
{
    QString key;
    int first = 0;
    int last = 0;
};
QByteArray apply(const QByteArray &text, const Changes &changes, QList<Kept> *kept = nullptr);

// A value and a key as the toolkit writes them in INI files.
QByteArray encodedValue(const QVariant &value);
QByteArray encodedKey(const QString &key);

// A line the toolkit reads otherwise than its writer surely meant: one it
// cannot read at all (no '=', a heading without ']'), or one whose quote runs
// on over the lines after it. line counts from 1; 0: none.
struct Trouble
{
    int line = 0;
    QString what;
};
Trouble firstTrouble(const QByteArray &text);
// The line on which the entry the toolkit reads for "section/key" begins;
// 0 when it reads none.
int lineOf(const QByteArray &text, const QString &compositeKey);

// Reads path without ever waiting on it: anything but a regular file (a FIFO,
// a device) is refused, with the reason in *error. A missing file reads as
// empty.
bool readRegularFile(const QString &path, QByteArray *content, QString *error);
// Where the file at path may be read and written: path itself, or the file a
// link there points to. Empty, with the reason in *error, for anything but a
// regular file, and for a link that another user made or that points to a
// file, or into a directory, of another user's: they could have planted it.
// Root and the user count as the user.
QString trustedPath(const QString &path, QString *error);

// Run on the temporary file before it replaces the file; false, with the
// reason in *error, keeps the old file.
using Check = std::function<bool(const QString &temporaryPath, QString *error)>;
// Replaces the file at path by content through a temporary file beside it and
// a rename; the file keeps its mode, a new one is 0600. A temporary file left
// by a save that was killed is removed first. False, with the reason in
// *error, when the file was not replaced.
bool replaceFile(const QString &path, const QByteArray &content, const Check &check,
                 QString *error);

// Where replaceFile writes before the rename: the file name, then this, then
// six random characters.
constexpr char temporaryInfix[] = ".saving-";

} // namespace IniEdit
