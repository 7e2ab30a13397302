// Runs the real router on JACK with its virtual input, routing channel 1 to
// a placeholder port, until SIGTERM. The latency and burst scripts connect
// their peers to the router's ports. With the argument "sysex" it lets
// system-exclusive messages through.
#include "midi/midiio.h"

#include <QCoreApplication>
#include <QTimer>

#include <RtMidi.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <string>

namespace {
std::atomic<bool> stopRequested{false};
void stop(int)
{
    stopRequested = true;
}
} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    std::signal(SIGTERM, stop);
    std::signal(SIGINT, stop);

    RtMidiIn placeholder(RtMidi::UNIX_JACK, "Bench Placeholder");
    placeholder.openVirtualPort("in");

    MidiIO router;
    router.setMidiChannel(1);
    router.setIgnoreSysex(!(argc > 1 && std::string(argv[1]) == "sysex"));
    router.setIgnoreClockMessages(true);
    router.setTranslateCC0(true);
    const int out = int(router.midiOutPorts.indexOf(QStringLiteral("Bench Placeholder:in")));
    if (!router.openMidiIn(-1, true) || !router.openMidiOut(out)) {
        std::fprintf(stderr, "routerhost: could not open the router's ports\n");
        return 1;
    }
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &app, [&] {
        if (stopRequested)
            app.quit();
    });
    poll.start(20);
    return app.exec();
}
