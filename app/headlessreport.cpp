#include "app/headlessreport.h"

#include "midi/midiio.h"
#include "midi/midisystem.h"
#include "ui/midistateline.h"

namespace {
void say(FILE *stream, const QString &text)
{
    std::fputs(("Brantolex Fixer: " + text + QLatin1Char('\n')).toUtf8().constData(), stream);
    std::fflush(stream);
}
} // namespace

HeadlessReport::HeadlessReport(const MidiStateLine *line, const MidiIO *router, FILE *stream)
    : line(line), router(router), stream(stream)
{
    connect(line, &MidiStateLine::problemsChanged, this, &HeadlessReport::report);
    report();
}

void HeadlessReport::report()
{
    const QString text = line->problems().isEmpty() ? routing() : line->wholeText();
    if (text == last)
        return;
    last = text;
    say(stream, text);
}

QString HeadlessReport::routing() const
{
    const QString input =
        router->inputIsVirtual()
            ? tr("the virtual input \"%1\"").arg(QLatin1String(MidiSystem::virtualInPortName))
        : router->chosenMidiIn().isEmpty() ? tr("no input port")
                                           : router->chosenMidiIn();
    return tr("routing channel %1 from %2 to %3 on %4")
        .arg(router->channel() + 1)
        .arg(input, router->chosenMidiOut(), router->systemName());
}

bool HeadlessReport::displayNamed()
{
    return !qEnvironmentVariableIsEmpty("DISPLAY") ||
           !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
}

int HeadlessReport::refuseUnopenedDisplay()
{
    QStringList named;
    for (const char *variable : {"WAYLAND_DISPLAY", "DISPLAY"})
        if (!qEnvironmentVariableIsEmpty(variable))
            named << QStringLiteral("%1=%2").arg(QLatin1String(variable),
                                                 qEnvironmentVariable(variable));
    say(stderr, tr("the display (%1) cannot be opened; --headless runs it without a window")
                    .arg(named.isEmpty() ? tr("none named") : named.join(QStringLiteral(", "))));
    return 1;
}

int HeadlessReport::refuseWithoutDisplay()
{
    say(stderr, tr("no display found (DISPLAY and WAYLAND_DISPLAY are not set); "
                   "--headless runs it without a window"));
    return 1;
}
