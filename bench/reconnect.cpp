// Time from the reappearance of the chosen output port to the first message
// delivered on it, with the real router: a feeder sends into the router's
// virtual input all along, and a unit port comes and goes ten times.
#include "jackunit.h"

#include "midi/midiio.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#include <jack/jack.h>
#include <jack/midiport.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Unit
{
    jack_client_t *client = nullptr;
    jack_port_t *port = nullptr;
    std::atomic<bool> arrived{false};
    Clock::time_point at;
};

int process(jack_nframes_t frames, void *arg)
{
    auto *unit = static_cast<Unit *>(arg);
    if (!unit->arrived.load(std::memory_order_relaxed) &&
        jack_midi_get_event_count(jack_port_get_buffer(unit->port, frames)) > 0) {
        unit->at = Clock::now();
        unit->arrived.store(true, std::memory_order_release);
    }
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 10;

    MidiIO router;
    router.setMidiChannel(1);
    if (!router.openMidiIn(-1, true)) {
        std::fprintf(stderr, "reconnect: no virtual input\n");
        return 1;
    }
    router.openMidiOutNamed(QStringLiteral("Bench Unit:in"));
    RtMidiOut feeder(RtMidi::UNIX_JACK, "Bench Feeder");
    if (!openFeeder(feeder))
        return 1;
    QTimer feed;
    QObject::connect(&feed, &QTimer::timeout, [&] {
        const unsigned char cc[3] = {0xB0, 0x07, 0x40};
        feeder.sendMessage(cc, sizeof cc);
    });
    feed.start(1);

    std::vector<double> times;
    QSignalSpy lost(&router, &MidiIO::portLost);
    for (int round = 0; round < rounds; ++round) {
        Unit unit;
        unit.port = openUnitPort(unit.client, &process, &unit);
        if (!unit.port) {
            std::fprintf(stderr, "reconnect: no unit port\n");
            return 1;
        }
        // The port is visible to others from its registration on.
        const Clock::time_point shown = Clock::now();
        if (!QTest::qWaitFor([&] { return unit.arrived.load(std::memory_order_acquire); }, 5000)) {
            std::fprintf(stderr, "round %d: nothing arrived within 5 s\n", round + 1);
        } else {
            times.push_back(std::chrono::duration<double, std::milli>(unit.at - shown).count());
            std::printf("round %2d: %7.1f ms\n", round + 1, times.back());
        }
        const int before = int(lost.count());
        jack_client_close(unit.client);
        if (!QTest::qWaitFor([&] { return lost.count() > before; }, 5000))
            std::fprintf(stderr, "round %d: the router did not notice the port going\n", round + 1);
    }
    if (times.empty())
        return 1;
    std::sort(times.begin(), times.end());
    std::printf("reappearance to first message: median %.1f ms, max %.1f ms over %zu rounds\n",
                times[times.size() / 2], times.back(), times.size());
    return 0;
}
