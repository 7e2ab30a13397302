#include "settings/iniedit.h"

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

// One line of the file, continuation lines included, with its line end.
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
};

qsizetype contentEnd(const QByteArray &text)
{
    qsizetype end = text.size();
    while (end > 0 && (text.at(end - 1) == '\n' || text.at(end - 1) == '\r'))
        --end;
    return end;
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
    qsizetype pos = 0;
    while (pos < text.size()) {
        // A backslash right before the line end continues the line.
        qsizetype end = pos;
        for (;;) {
            qsizetype nl = text.indexOf('\n', end);
            if (nl < 0) {
                end = text.size();
                break;
            }
            qsizetype last = nl;
            if (last > end && text.at(last - 1) == '\r')
                --last;
            qsizetype slashes = 0;
            while (last - slashes - 1 >= end && text.at(last - slashes - 1) == '\\')
                ++slashes;
            end = nl + 1;
            if (slashes % 2 == 0 || end >= text.size())
                break;
        }
        Line line;
        line.text = text.mid(pos, end - pos);
        pos = end;
        const qsizetype stop = contentEnd(line.text);
        qsizetype first = 0;
        while (first < stop && (line.text.at(first) == ' ' || line.text.at(first) == '\t'))
            ++first;
        const QByteArray content = line.text.mid(first, stop - first);
        const qsizetype equals = content.indexOf('=');
        if (content.startsWith('[')) {
            line.kind = Line::Section;
            section = sectionName(content);
        } else if (!content.startsWith(';') && equals > 0) {
            line.kind = Line::Key;
            line.key = decodedKey(content.left(equals).trimmed());
            qsizetype begin = first + equals + 1;
            while (begin < stop && (line.text.at(begin) == ' ' || line.text.at(begin) == '\t'))
                ++begin;
            // A ';' outside quotes starts a comment, which stays.
            qsizetype valueEnd = stop;
            bool quoted = false;
            for (qsizetype i = begin; i < stop; ++i) {
                const char c = line.text.at(i);
                if (c == '\\')
                    ++i;
                else if (c == '"')
                    quoted = !quoted;
                else if (c == ';' && !quoted) {
                    valueEnd = i;
                    while (valueEnd > begin && (line.text.at(valueEnd - 1) == ' ' ||
                                                line.text.at(valueEnd - 1) == '\t'))
                        --valueEnd;
                    break;
                }
            }
            line.valueBegin = begin;
            line.valueEnd = valueEnd;
        }
        line.section = section;
        lines.push_back(line);
    }
    return lines;
}

QByteArray lineEnd(const QByteArray &text)
{
    const qsizetype nl = text.indexOf('\n');
    return nl > 0 && text.at(nl - 1) == '\r' ? QByteArray("\r\n") : QByteArray("\n");
}

QString errnoText()
{
    return QString::fromLocal8Bit(std::strerror(errno));
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
        const int fd = ::openat(dirFd, name.constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0)
            continue;
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0)
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

QByteArray apply(const QByteArray &text, const Changes &changes)
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
            line.text = line.text.left(line.valueBegin) + encoded + line.text.mid(line.valueEnd);
            line.valueEnd = line.valueBegin + encoded.size();
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

        // After the last key of the section's last heading, or the heading.
        std::size_t anchor = lines.size();
        for (std::size_t i = lines.size(); i-- > 0;)
            if (lines[i].section == section && lines[i].kind != Line::Other) {
                anchor = i;
                break;
            }
        if (anchor == lines.size() && !section.isEmpty()) {
            Line heading;
            heading.kind = Line::Section;
            heading.section = section;
            heading.text = '[' + encodedKey(section) + ']' + eol;
            if (!lines.empty()) {
                Line &last = lines.back();
                if (!last.text.endsWith('\n'))
                    last.text += eol;
                Line blank;
                blank.section = last.section;
                blank.text = eol;
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
        if (!lines[anchor].text.endsWith('\n'))
            lines[anchor].text += eol;
        lines.insert(lines.begin() + std::ptrdiff_t(anchor) + 1, added);
    }

    QByteArray result = hasBom ? bom : QByteArray();
    for (const Line &line : lines)
        result += line.text;
    return result;
}

bool replaceFile(const QString &path, const QByteArray &content, QString *error)
{
    // A link at path (a config kept elsewhere) stays; its target is replaced.
    QString target = path;
    const QFileInfo info(path);
    if (info.isSymLink() && info.exists())
        target = info.canonicalFilePath();
    const QFileInfo targetInfo(target);
    const QString directory = targetInfo.absolutePath();
    removeStaleTemporaries(directory, targetInfo.fileName());

    struct stat before = {};
    const bool existed = ::stat(QFile::encodeName(target).constData(), &before) == 0;
    QByteArray temporary = QFile::encodeName(directory + QLatin1Char('/') + targetInfo.fileName()) +
                           temporaryInfix + "XXXXXX";
    const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) {
        *error = errnoText();
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
    ok = ok && ::fchmod(fd, existed ? before.st_mode & 07777 : 0644) == 0;
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
    ok = ok && ::rename(temporary.constData(), QFile::encodeName(target).constData()) == 0;
    if (!ok) {
        *error = errnoText();
        ::unlink(temporary.constData());
    }
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
