#include "app/say.h"

#include <QtGlobal>

#include <cstring>

void say(const QString &line)
{
    // Text from a file or a peer may hold control bytes: shown, never sent
    // raw to a terminal, where they could move the cursor or retitle it.
    QString shown;
    shown.reserve(line.size());
    for (const QChar c : line) {
        const char16_t u = c.unicode();
        if (u < 0x20 || (u >= 0x7f && u < 0xa0))
            shown += QStringLiteral("\\x%1").arg(int(u), 2, 16, QLatin1Char('0'));
        else
            shown += c;
    }
    qWarning("%s", qUtf8Printable(shown));
}

QString errnoText(int number)
{
    return QString::fromLocal8Bit(std::strerror(number));
}
