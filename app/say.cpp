#include "app/say.h"

#include <QtGlobal>

#include <cstring>

void say(const QString &line)
{
    qWarning("%s", qUtf8Printable(line));
}

QString errnoText(int number)
{
    return QString::fromLocal8Bit(std::strerror(number));
}
