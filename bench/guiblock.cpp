// The end of a plug-in load while the GUI thread is blocked: the real router
// on JACK, a unit port that notes when each message arrives (in the
// server's frames), and a GUI thread that sleeps 500 ms as each load
// begins (a slow save, a paint, a paused terminal). Times are the server's
// clock at each cycle's start, plus the event's place in the cycle. The program must reach
// the unit a loading time after the selection, not after the GUI thread.
#include "jackunit.h"

#include "midi/midiio.h"

#include <QCoreApplication>
#include <QTest>

#include <jack/jack.h>
#include <jack/midiport.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

namespace {

constexpr int loadingTime = 300; // ms
constexpr int guiBlock = 500;    // ms

struct Arrival
{
    unsigned char status, data;
    jack_time_t usecs;
};

struct Unit
{
    jack_client_t *client = nullptr;
    jack_port_t *port = nullptr;
    std::array<Arrival, 4096> seen{};
    std::atomic<int> count{0};
};

int process(jack_nframes_t frames, void *arg)
{
    auto *unit = static_cast<Unit *>(arg);
    void *buffer = jack_port_get_buffer(unit->port, frames);
    const jack_time_t start = jack_frames_to_time(unit->client, jack_last_frame_time(unit->client));
    const double rate = jack_get_sample_rate(unit->client);
    for (uint32_t i = 0; i < jack_midi_get_event_count(buffer); ++i) {
        jack_midi_event_t e;
        const int n = unit->count.load(std::memory_order_relaxed);
        if (jack_midi_event_get(&e, buffer, i) != 0 || e.size < 2 || n >= int(unit->seen.size()))
            continue;
        unit->seen[n] = {e.buffer[0], e.buffer[1], start + jack_time_t(1e6 * e.time / rate)};
        unit->count.store(n + 1, std::memory_order_release);
    }
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 10;

    Unit unit;
    unit.port = openUnitPort(unit.client, &process, &unit);
    if (!unit.port) {
        std::fprintf(stderr, "guiblock: no unit port\n");
        return 1;
    }

    MidiIO router;
    router.setMidiChannel(1);
    router.setLoadingTimes(loadingTime, loadingTime, loadingTime, loadingTime, loadingTime,
                           loadingTime, loadingTime, loadingTime);
    if (!router.openMidiIn(-1, true) || !router.openMidiOutNamed(QStringLiteral("Bench Unit:in"))) {
        std::fprintf(stderr, "guiblock: could not open the router's ports\n");
        return 1;
    }
    QObject::connect(&router, &MidiIO::setIsLoadingPlugin, &app, [](bool loading) {
        if (loading)
            std::this_thread::sleep_for(std::chrono::milliseconds(guiBlock));
    });

    RtMidiOut feeder(RtMidi::UNIX_JACK, "Bench Feeder");
    if (!openFeeder(feeder)) {
        std::fprintf(stderr, "guiblock: no virtual input to feed\n");
        return 1;
    }
    // A fresh link carries nothing for a while: a ping first, until it arrives.
    const unsigned char ping[3] = {0xB0, 0x07, 0x40};
    if (!QTest::qWaitFor(
            [&] {
                feeder.sendMessage(ping, sizeof ping);
                return QTest::qWaitFor([&] { return unit.count.load() > 0; }, 200);
            },
            10000)) {
        std::fprintf(stderr, "guiblock: nothing reaches the unit\n");
        return 1;
    }

    std::vector<double> late; // ms past the loading time
    for (int round = 0; round < rounds; ++round) {
        const int before = unit.count.load(std::memory_order_acquire);
        const unsigned char bank[3] = {0xB0, 0x00, static_cast<unsigned char>(round % 7 + 1)};
        const unsigned char program[2] = {0xC0, static_cast<unsigned char>(round)};
        std::thread source([&] {
            feeder.sendMessage(bank, sizeof bank);
            feeder.sendMessage(program, sizeof program);
        });
        source.join();
        // Selection, two notes and the program; the GUI thread blocks meanwhile.
        if (!QTest::qWaitFor(
                [&] { return unit.count.load(std::memory_order_acquire) >= before + 4; }, 5000))
            std::fprintf(stderr, "round %d: the switch did not arrive whole\n", round + 1);
        const int after = unit.count.load(std::memory_order_acquire);
        jack_time_t selected = 0, sent = 0;
        bool haveSelection = false, haveProgram = false;
        for (int i = before; i < after; ++i) {
            const Arrival &a = unit.seen[i];
            if ((a.status & 0xF0) != 0xC0)
                continue;
            if (a.data >= 101 && !haveSelection) {
                selected = a.usecs;
                haveSelection = true;
            } else if (a.data == program[1] && haveSelection) {
                sent = a.usecs;
                haveProgram = true;
            }
        }
        if (!haveSelection || !haveProgram) {
            std::fprintf(stderr, "round %d: the unit got no whole switch\n", round + 1);
            continue;
        }
        late.push_back((sent - selected) / 1000.0 - loadingTime);
        std::printf("round %2d: program %6.1f ms after the selection (%+.1f ms past the load)\n",
                    round + 1, (sent - selected) / 1000.0, late.back());
        QTest::qWait(100); // the GUI thread's block is over before the next round
    }
    jack_client_close(unit.client);
    if (late.empty())
        return 1;
    std::sort(late.begin(), late.end());
    std::printf("GUI thread blocked %d ms at each load of %d ms: program past the load by median "
                "%.1f ms, max %.1f ms over %zu rounds\n",
                guiBlock, loadingTime, late[late.size() / 2], late.back(), late.size());
    return late.back() <= 5.0 ? 0 : 2;
}
