#include "settings/iniedit.h"

#include "app/say.h"

#include <QDataStream>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPoint>
#include <QRect>
#include <QSize>
#include <QStringEncoder>

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

const QByteArray bom("\xef\xbb\xbf");

bool isHexDigit(uint c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

QByteArray hexUpper(uint value, int digits)
{
    return QByteArray::number(value, 16).toUpper().rightJustified(digits, '0');
}

// What the toolkit makes of a key or section name as written: %XX and %UXXXX
// escapes, a backslash for a slash.
QString decodedKey(const QByteArray &raw)
{
    QString key;
    for (qsizetype i = 0; i < raw.size(); ++i) {
        const char c = raw.at(i);
        if (c == '\\') {
            key += QLatin1Char('/');
            continue;
        }
        if (c == '%') {
            const bool wide = i + 5 < raw.size() && raw.at(i + 1) == 'U';
            const int digits = wide ? 4 : 2;
            bool ok = false;
            const uint code = raw.mid(i + (wide ? 2 : 1), digits).toUInt(&ok, 16);
            if (ok && i + (wide ? 1 : 0) + digits < raw.size()) {
                key += QChar(char16_t(code));
                i += (wide ? 1 : 0) + digits;
                continue;
            }
        }
        key += QChar::fromLatin1(c);
    }
    return key;
}

QString variantText(const QVariant &value)
{
    switch (value.metaType().id()) {
    case QMetaType::UnknownType:
        return QStringLiteral("@Invalid()");
    case QMetaType::QByteArray: {
        const QByteArray bytes = value.toByteArray();
        return QLatin1String("@ByteArray(") + QLatin1String(bytes) + QLatin1Char(')');
    }
    case QMetaType::QString: {
        QString text = value.toString();
        if (text.contains(QChar::Null))
            return QLatin1String("@String(") + text + QLatin1Char(')');
        if (text.startsWith(QLatin1Char('@')))
            text.prepend(QLatin1Char('@'));
        return text;
    }
    case QMetaType::QRect: {
        const QRect r = value.toRect();
        return QString::asprintf("@Rect(%d %d %d %d)", r.x(), r.y(), r.width(), r.height());
    }
    case QMetaType::QSize: {
        const QSize s = value.toSize();
        return QString::asprintf("@Size(%d %d)", s.width(), s.height());
    }
    case QMetaType::QPoint: {
        const QPoint p = value.toPoint();
        return QString::asprintf("@Point(%d %d)", p.x(), p.y());
    }
    default: {
        QByteArray bytes;
        {
            QDataStream stream(&bytes, QIODevice::WriteOnly);
            stream.setVersion(QDataStream::Qt_4_0);
            stream << value;
        }
        return QLatin1String("@Variant(") + QLatin1String(bytes) + QLatin1Char(')');
    }
    }
}

// One line as the toolkit reads it: from the start of its first physical
// line through the line end of its last, with what the toolkit passes over
// on the way (blanks before it, a comment after its value).
struct Line
{
    enum Kind
    {
        Other,
        Section,
        Key
    };
    QByteArray text;
    Kind kind = Other;
    QString section; // the section it is in, or names
    QString key;
    qsizetype valueBegin = 0;
    qsizetype valueEnd = 0;
    // Its first physical line, and the last one the toolkit reads in it.
    int number = 0;
    int lastNumber = 0;
    // The toolkit cannot read it: no '=', or a heading without ']'.
    bool unreadable = false;
    // A quote carries it over a line end; still open at the end of the text,
    // it takes in whatever is added after it.
    bool quoteCarried = false;
    bool quoteOpen = false;
};

bool isLineEnd(char c)
{
    return c == '\n' || c == '\r';
}

// Past the line end at pos: "\r\n", "\n" or a lone "\r".
qsizetype afterLineEnd(const QByteArray &text, qsizetype pos)
{
    if (pos < text.size() && text.at(pos) == '\r')
        ++pos;
    else if (pos < text.size() && text.at(pos) == '\n')
        return pos + 1;
    else
        return pos;
    return pos < text.size() && text.at(pos) == '\n' ? pos + 1 : pos;
}

int lineEnds(const QByteArray &text, qsizetype from, qsizetype to)
{
    int count = 0;
    for (qsizetype i = from; i < to; ++i)
        if (text.at(i) == '\n' || (text.at(i) == '\r' && (i + 1 >= to || text.at(i + 1) != '\n')))
            ++count;
    return count;
}

QString sectionName(const QByteArray &content)
{
    const qsizetype close = content.indexOf(']');
    const QByteArray raw = content.mid(1, close < 0 ? -1 : close - 1).trimmed();
    if (raw.compare("general", Qt::CaseInsensitive) == 0)
        return QString();
    if (raw.compare("%general", Qt::CaseInsensitive) == 0)
        return QStringLiteral("general");
    return decodedKey(raw);
}

std::vector<Line> parse(const QByteArray &text)
{
    std::vector<Line> lines;
    QString section;
    int number = 1;
    const qsizetype size = text.size();
    qsizetype pos = 0;
    while (pos < size) {
        Line line;
        qsizetype first = pos;
        while (first < size && (text.at(first) == ' ' || text.at(first) == '\t'))
            ++first;
        qsizetype end = first;
        if (first < size && text.at(first) == ';') {
            while (end < size && !isLineEnd(text.at(end)))
                ++end;
        } else if (first < size && !isLineEnd(text.at(first))) {
            // What the toolkit reads as one line: a quote carries it over line
            // ends, a backslash takes the next character (a line end too) with
            // it, and a ';' outside quotes starts a comment.
            bool inQuotes = false;
            qsizetype equals = -1;
            qsizetype i = first;
            while (i < size) {
                const char c = text.at(i);
                if (c == '\\') {
                    ++i;
                    if (i < size) {
                        const char next = text.at(i++);
                        if (i < size && ((next == '\n' && text.at(i) == '\r') ||
                                         (next == '\r' && text.at(i) == '\n')))
                            ++i;
                    }
                    continue;
                }
                if (c == '"') {
                    inQuotes = !inQuotes;
                } else if (!inQuotes && (c == ';' || isLineEnd(c))) {
                    break;
                } else if (isLineEnd(c)) {
                    line.quoteCarried = true;
                } else if (c == '=' && !inQuotes && equals < 0) {
                    equals = i;
                }
                ++i;
            }
            const qsizetype contentEnd = i;
            line.quoteOpen = inQuotes;
            line.lastNumber = number + lineEnds(text, first, contentEnd);
            while (i < size && !isLineEnd(text.at(i)))
                ++i;
            end = i;
            const QByteArray content = text.mid(first, contentEnd - first);
            if (content.startsWith('[')) {
                line.kind = Line::Section;
                line.unreadable = !content.contains(']');
                section = sectionName(content);
            } else if (equals >= 0) {
                line.kind = Line::Key;
                line.key = decodedKey(text.mid(first, equals - first).trimmed());
                qsizetype begin = equals + 1;
                while (begin < contentEnd && (text.at(begin) == ' ' || text.at(begin) == '\t'))
                    ++begin;
                // Blanks before a comment stay with it; the line end of a value
                // that runs to the end of the text stays the file's.
                qsizetype valueEnd = contentEnd;
                if (contentEnd < size)
                    while (valueEnd > begin &&
                           (text.at(valueEnd - 1) == ' ' || text.at(valueEnd - 1) == '\t'))
                        --valueEnd;
                else
                    while (valueEnd > begin && isLineEnd(text.at(valueEnd - 1)))
                        --valueEnd;
                line.valueBegin = begin - pos;
                line.valueEnd = valueEnd - pos;
            } else {
                line.unreadable = true;
            }
        }
        end = afterLineEnd(text, end);
        line.text = text.mid(pos, end - pos);
        line.section = section;
        line.number = number;
        if (line.lastNumber == 0)
            line.lastNumber = number;
        number += lineEnds(text, pos, end);
        lines.push_back(line);
        pos = end;
    }
    return lines;
}

// Ends line with a line end that nothing after it joins: a backslash at its
// end would take the line end, and the next line with it.
void closeLine(Line &line, const QByteArray &eol)
{
    if (line.text.isEmpty() || !isLineEnd(line.text.back()))
        line.text += eol;
    qsizetype end = line.text.size();
    if (end >= 2 && line.text.at(end - 2) == '\r' && line.text.at(end - 1) == '\n')
        end -= 2;
    else
        --end;
    qsizetype slashes = 0;
    while (end - slashes > 0 && line.text.at(end - slashes - 1) == '\\')
        ++slashes;
    if (slashes % 2 == 1)
        line.text += eol;
}

qsizetype lineEndAt(const QByteArray &text, qsizetype from)
{
    while (from < text.size() && !isLineEnd(text.at(from)))
        ++from;
    return from;
}

// Each line made a comment, unless it is one or blank already.
QByteArray commentedOut(const QByteArray &lines)
{
    QByteArray result;
    for (qsizetype pos = 0; pos < lines.size();) {
        const qsizetype end = afterLineEnd(lines, lineEndAt(lines, pos));
        const QByteArray line = lines.mid(pos, end - pos);
        const QByteArray content = line.trimmed();
        if (!content.isEmpty() && !content.startsWith(';'))
            result += "; ";
        result += line;
        pos = end;
    }
    return result;
}

QByteArray quoted(const QByteArray &line)
{
    QByteArray shown = line.trimmed();
    const qsizetype cut = shown.indexOf('\n') < 0 ? shown.indexOf('\r') : shown.indexOf('\n');
    if (cut >= 0)
        shown.truncate(cut);
    if (shown.size() > 40)
        shown = shown.left(37) + "...";
    return " (" + shown.trimmed() + ')';
}

QByteArray lineEnd(const QByteArray &text)
{
    const qsizetype nl = text.indexOf('\n');
    return nl > 0 && text.at(nl - 1) == '\r' ? QByteArray("\r\n") : QByteArray("\n");
}

QString notRegular(mode_t mode)
{
    return S_ISDIR(mode)    ? QStringLiteral("a directory, not a regular file")
           : S_ISFIFO(mode) ? QStringLiteral("a FIFO, not a regular file")
           : S_ISSOCK(mode) ? QStringLiteral("a socket, not a regular file")
                            : QStringLiteral("not a regular file");
}

// Temporary files whose writer has gone: it held a lock on its file until
// the rename, and a killed one holds none.
void removeStaleTemporaries(const QString &directory, const QString &fileName)
{
    const QByteArray prefix = QFile::encodeName(fileName) + IniEdit::temporaryInfix;
    const int dirFd =
        ::open(QFile::encodeName(directory).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd < 0)
        return;
    const int listFd = ::dup(dirFd);
    DIR *list = listFd >= 0 ? ::fdopendir(listFd) : nullptr;
    if (!list) {
        if (listFd >= 0)
            ::close(listFd);
        ::close(dirFd);
        return;
    }
    while (const dirent *entry = ::readdir(list)) {
        const QByteArray name(entry->d_name);
        if (!name.startsWith(prefix) || name.size() != prefix.size() + 6)
            continue;
        // Never waiting on what someone put there: a FIFO would stall the quit.
        const int fd = ::openat(dirFd, name.constData(),
                                O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        if (fd < 0)
            continue;
        struct stat info = {};
        if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && ::flock(fd, LOCK_EX | LOCK_NB) == 0)
            ::unlinkat(dirFd, name.constData(), 0);
        ::close(fd);
    }
    ::closedir(list);
    ::close(dirFd);
}

} // namespace

namespace IniEdit {

QByteArray encodedKey(const QString &key)
{
    QByteArray result;
    for (QChar qc : key) {
        const uint c = qc.unicode();
        if (c == '/')
            result += '\\';
        else if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                 c == '_' || c == '-' || c == '.')
            result += char(c);
        else if (c <= 0xff)
            result += '%' + hexUpper(c, 2);
        else
            result += "%U" + hexUpper(c, 4);
    }
    return result;
}

QByteArray encodedValue(const QVariant &value)
{
    const QString text = variantText(value);
    const bool binary = text.startsWith(QLatin1String("@ByteArray(")) ||
                        text.startsWith(QLatin1String("@Variant("));
    QStringEncoder toUtf8(QStringEncoder::Utf8);
    QByteArray result;
    bool needsQuotes = false;
    bool escapeNextIfDigit = false;
    for (QChar qc : text) {
        const uint c = qc.unicode();
        if (c == ';' || c == ',' || c == '=')
            needsQuotes = true;
        if (escapeNextIfDigit && isHexDigit(c)) {
            result += "\\x" + QByteArray::number(c, 16);
            continue;
        }
        escapeNextIfDigit = false;
        switch (c) {
        case '\0':
            result += "\\0";
            escapeNextIfDigit = true;
            break;
        case '\a':
            result += "\\a";
            break;
        case '\b':
            result += "\\b";
            break;
        case '\f':
            result += "\\f";
            break;
        case '\n':
            result += "\\n";
            break;
        case '\r':
            result += "\\r";
            break;
        case '\t':
            result += "\\t";
            break;
        case '\v':
            result += "\\v";
            break;
        case '"':
        case '\\':
            result += '\\';
            result += char(c);
            break;
        default:
            if (c <= 0x1f || (c >= 0x7f && binary)) {
                result += "\\x" + QByteArray::number(c, 16);
                escapeNextIfDigit = true;
            } else if (!binary) {
                result += toUtf8(QStringView(&qc, 1));
            } else {
                result += char(c);
            }
        }
    }
    if (needsQuotes || (!result.isEmpty() && (result.startsWith(' ') || result.endsWith(' ')))) {
        result.prepend('"');
        result += '"';
    }
    return result;
}

QByteArray apply(const QByteArray &text, const Changes &changes, QList<Kept> *kept)
{
    const bool hasBom = text.startsWith(bom);
    const QByteArray body = hasBom ? text.mid(bom.size()) : text;
    const QByteArray eol = lineEnd(body);
    std::vector<Line> lines = parse(body);

    for (const auto &[compositeKey, value] : changes) {
        const qsizetype slash = compositeKey.indexOf(QLatin1Char('/'));
        const QString section = slash < 0 ? QString() : compositeKey.left(slash);
        const QString key = compositeKey.mid(slash + 1);
        const QByteArray encoded = encodedValue(value);

        // The toolkit reads the last of duplicate keys.
        auto found = lines.rend();
        for (auto it = lines.rbegin(); it != lines.rend(); ++it)
            if (it->kind == Line::Key && it->section == section && it->key == key) {
                found = it;
                break;
            }
        if (found != lines.rend()) {
            Line &line = *found;
            const qsizetype firstEnd = afterLineEnd(line.text, lineEndAt(line.text, 0));
            if (line.lastNumber > line.number && line.valueBegin < firstEnd) {
                const QByteArray firstEol =
                    line.text.mid(lineEndAt(line.text, 0), firstEnd - lineEndAt(line.text, 0));
                line.text = line.text.left(line.valueBegin) + encoded + firstEol +
                            commentedOut(line.text.mid(firstEnd));
                line.valueEnd = line.valueBegin + encoded.size();
                line.quoteOpen = false;
                if (kept)
                    kept->append({compositeKey, line.number + 1, line.lastNumber});
                continue;
            }
            line.text = line.text.left(line.valueBegin) + encoded + line.text.mid(line.valueEnd);
            line.valueEnd = line.valueBegin + encoded.size();
            line.quoteOpen = false;
            continue;
        }

        Line added;
        added.kind = Line::Key;
        added.section = section;
        added.key = key;
        added.text = encodedKey(key) + '=';
        added.valueBegin = added.text.size();
        added.text += encoded + eol;
        added.valueEnd = added.valueBegin + encoded.size();

        // After the last key of the section's last heading, or the heading;
        // never after a line whose open quote would take it in.
        std::size_t anchor = lines.size();
        for (std::size_t i = lines.size(); i-- > 0;)
            if (lines[i].section == section && lines[i].kind != Line::Other &&
                !lines[i].quoteOpen) {
                anchor = i;
                break;
            }
        if (anchor == lines.size() && !section.isEmpty()) {
            Line heading;
            heading.kind = Line::Section;
            heading.section = section;
            heading.text = '[' + encodedKey(section) + ']' + eol;
            Line blank;
            blank.text = eol;
            // A quote open to the end would take in a section added there:
            // it goes before the first heading instead.
            if (!lines.empty() && lines.back().quoteOpen) {
                std::size_t at = 0;
                while (at < lines.size() && lines[at].kind != Line::Section && !lines[at].quoteOpen)
                    ++at;
                if (at > 0)
                    closeLine(lines[at - 1], eol);
                lines.insert(lines.begin() + std::ptrdiff_t(at), {heading, added, blank});
                continue;
            }
            if (!lines.empty()) {
                closeLine(lines.back(), eol);
                blank.section = lines.back().section;
                lines.push_back(blank);
            }
            lines.push_back(heading);
            lines.push_back(added);
            continue;
        }
        if (anchor == lines.size()) {
            // Keys outside any section go before the first heading.
            lines.insert(lines.begin(), added);
            continue;
        }
        closeLine(lines[anchor], eol);
        lines.insert(lines.begin() + std::ptrdiff_t(anchor) + 1, added);
    }

    QByteArray result = hasBom ? bom : QByteArray();
    for (const Line &line : lines)
        result += line.text;
    return result;
}

Trouble firstTrouble(const QByteArray &text)
{
    for (const Line &line : parse(text.startsWith(bom) ? text.mid(bom.size()) : text)) {
        const QString shown = QString::fromUtf8(quoted(line.text));
        if (line.quoteOpen)
            return {line.number, QStringLiteral("a '\"' opens a quote that runs to the end of "
                                                "the file and takes in every line after it%1")
                                     .arg(shown)};
        if (line.quoteCarried)
            return {line.number,
                    QStringLiteral("a '\"' opens a quote that runs on to line %1 and takes in the "
                                   "lines between%2")
                        .arg(line.lastNumber)
                        .arg(shown)};
        if (line.unreadable)
            return {
                line.number,
                line.kind == Line::Section
                    ? QStringLiteral("the section heading has no ']'%1").arg(shown)
                    : QStringLiteral("no '=' in this line (comments start with ';')%1").arg(shown)};
    }
    return {};
}

int lineOf(const QByteArray &text, const QString &compositeKey)
{
    const qsizetype slash = compositeKey.indexOf(QLatin1Char('/'));
    const QString section = slash < 0 ? QString() : compositeKey.left(slash);
    const QString key = compositeKey.mid(slash + 1);
    const std::vector<Line> lines = parse(text.startsWith(bom) ? text.mid(bom.size()) : text);
    for (auto it = lines.rbegin(); it != lines.rend(); ++it)
        if (it->kind == Line::Key && it->section == section && it->key == key)
            return it->number;
    return 0;
}

bool readRegularFile(const QString &path, QByteArray *content, QString *error)
{
    content->clear();
    const int fd =
        ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT)
            return true;
        *error = errnoText(errno);
        return false;
    }
    struct stat info = {};
    bool ok = ::fstat(fd, &info) == 0;
    if (!ok)
        *error = errnoText(errno);
    else if (!S_ISREG(info.st_mode)) {
        *error = notRegular(info.st_mode);
        ok = false;
    }
    char buffer[16384];
    while (ok) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            *error = errnoText(errno);
            ok = false;
        }
        if (n <= 0)
            break;
        content->append(buffer, n);
    }
    ::close(fd);
    return ok;
}

QString trustedPath(const QString &path, QString *error)
{
    const auto trusted = [](uid_t uid) { return uid == ::geteuid() || uid == 0; };
    const QByteArray name = QFile::encodeName(path);
    struct stat info = {};
    if (::lstat(name.constData(), &info) != 0) {
        if (errno == ENOENT)
            return path;
        *error = errnoText(errno);
        return QString();
    }
    if (!S_ISLNK(info.st_mode)) {
        if (S_ISREG(info.st_mode))
            return path;
        *error = notRegular(info.st_mode);
        return QString();
    }
    if (!trusted(info.st_uid)) {
        *error = QStringLiteral("a link that uid %1 made").arg(info.st_uid);
        return QString();
    }
    // A link to nothing yet: the file made there replaces the link.
    const QString target = QFileInfo(path).canonicalFilePath();
    if (target.isEmpty())
        return path;
    struct stat file = {}, directory = {};
    if (::stat(QFile::encodeName(target).constData(), &file) != 0 ||
        ::stat(QFile::encodeName(QFileInfo(target).absolutePath()).constData(), &directory) != 0) {
        *error = errnoText(errno);
        return QString();
    }
    if (!S_ISREG(file.st_mode))
        *error = QStringLiteral("a link to %1, %2").arg(target, notRegular(file.st_mode));
    else if (!trusted(file.st_uid))
        *error = QStringLiteral("a link to %1, a file of uid %2").arg(target).arg(file.st_uid);
    else if (!trusted(directory.st_uid))
        *error = QStringLiteral("a link into %1, a directory of uid %2")
                     .arg(QFileInfo(target).absolutePath())
                     .arg(directory.st_uid);
    else
        return target;
    return QString();
}

bool replaceFile(const QString &path, const QByteArray &content, const Check &check, QString *error)
{
    const QFileInfo info(path);
    const QString directory = info.absolutePath();
    removeStaleTemporaries(directory, info.fileName());

    struct stat before = {};
    const bool existed = ::stat(QFile::encodeName(path).constData(), &before) == 0;
    QByteArray temporary = QFile::encodeName(directory + QLatin1Char('/') + info.fileName()) +
                           temporaryInfix + "XXXXXX";
    const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) {
        *error = errnoText(errno);
        return false;
    }
    // Held until the rename: the temporary file is ours while we live.
    ::flock(fd, LOCK_EX);
    bool ok = true;
    for (qsizetype written = 0; ok && written < content.size();) {
        const ssize_t n =
            ::write(fd, content.constData() + written, std::size_t(content.size() - written));
        if (n < 0 && errno == EINTR)
            continue;
        ok = n > 0;
        written += n > 0 ? n : 0;
    }
    // Private unless the user chose otherwise for the file that was there.
    ok = ok && ::fchmod(fd, existed ? before.st_mode & 07777 : 0600) == 0;
    // The toolkit reads a file again only when its size or time changed.
    struct stat after = {};
    if (ok && existed && ::fstat(fd, &after) == 0 && after.st_size == before.st_size &&
        after.st_mtim.tv_sec == before.st_mtim.tv_sec &&
        after.st_mtim.tv_nsec / 1000000 == before.st_mtim.tv_nsec / 1000000) {
        timespec times[2] = {{0, UTIME_OMIT}, before.st_mtim};
        times[1].tv_nsec = (times[1].tv_nsec / 1000000 + 1) * 1000000;
        if (times[1].tv_nsec >= 1000000000) {
            times[1].tv_sec += 1;
            times[1].tv_nsec -= 1000000000;
        }
        ::futimens(fd, times);
    }
    ok = ok && ::fsync(fd) == 0;
    if (!ok)
        *error = errnoText(errno);
    else if (check)
        ok = check(QFile::decodeName(temporary), error);
    if (ok && ::rename(temporary.constData(), QFile::encodeName(path).constData()) != 0) {
        *error = errnoText(errno);
        ok = false;
    }
    if (!ok)
        ::unlink(temporary.constData());
    ::close(fd);
    if (ok) {
        const int dirFd =
            ::open(QFile::encodeName(directory).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dirFd >= 0) {
            ::fsync(dirFd);
            ::close(dirFd);
        }
    }
    return ok;
}

} // namespace IniEdit
