#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>
#include <QVariant>

// Edits an INI file in place of the toolkit's writer, which rewrites all of
// it. The values are written as the toolkit writes them, so that it reads
// them back the same.
namespace IniEdit {

using Changes = QList<QPair<QString, QVariant>>;

// Sets each "section/key" of changes in text: the value part of the line that
// the toolkit reads is replaced (the last of duplicates; a comment after the
// value stays); a new key goes after the last key of its section (the last
// section of that name), a new section at the end. A byte order mark and the
// file's line end are kept.
QByteArray apply(const QByteArray &text, const Changes &changes);

// A value and a key as the toolkit writes them in INI files.
QByteArray encodedValue(const QVariant &value);
QByteArray encodedKey(const QString &key);

// Replaces the file at path (the target of a link at path) by content through
// a temporary file beside it and a rename; a temporary file left by a save
// that was killed is removed first. False, with the reason in *error, when
// the file could not be replaced.
bool replaceFile(const QString &path, const QByteArray &content, QString *error);

// Where replaceFile writes before the rename: the file name, then this, then
// six random characters.
constexpr char temporaryInfix[] = ".saving-";

} // namespace IniEdit
