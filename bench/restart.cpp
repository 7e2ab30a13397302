// Time from a JACK server's return to the first message the router delivers
// again, with no action by anyone: the server is stopped and started under
// the same name, the unit's client comes back with it and sends into the
// router's virtual input every cycle, and the router must re-create its
// client and reopen the chosen output by name. Also the process's VmSize
// after each return: a dead server's client must not stay behind.
#include "midi/midiio.h"
#include "procstatus.h"

#include <QCoreApplication>
#include <QProcess>
#include <QSignalSpy>
#include <QTest>

#include <jack/jack.h>
#include <jack/midiport.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
const char *routerIn = "Brantolex helper:Brantolex helper virtual input";

struct Unit
{
    jack_client_t *client = nullptr;
    jack_port_t *in = nullptr, *out = nullptr;
    std::atomic<bool> arrived{false};
    Clock::time_point at;
};

int process(jack_nframes_t frames, void *arg)
{
    auto *unit = static_cast<Unit *>(arg);
    void *outBuffer = jack_port_get_buffer(unit->out, frames);
    jack_midi_clear_buffer(outBuffer);
    const unsigned char cc[3] = {0xB0, 0x07, 0x40};
    jack_midi_event_write(outBuffer, 0, cc, 3);
    if (!unit->arrived.load(std::memory_order_relaxed) &&
        jack_midi_get_event_count(jack_port_get_buffer(unit->in, frames)) > 0) {
        unit->at = Clock::now();
        unit->arrived.store(true, std::memory_order_release);
    }
    return 0;
}

long vmSizeKiB()
{
    return procStatusKiB("VmSize:");
}

bool startServer(QProcess &server, const QString &name)
{
    server.setStandardOutputFile(QProcess::nullDevice());
    server.setStandardErrorFile(QProcess::nullDevice());
    server.start(QStringLiteral("jackd"),
                 {"-n", name, "--no-realtime", "-d", "dummy", "-r", "48000", "-p", "256"});
    QProcess wait;
    wait.start(QStringLiteral("jack_wait"), {"-w", "-t", "15"});
    return server.waitForStarted(5000) && wait.waitForFinished(20000) && wait.exitCode() == 0;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 10;
    const QString name =
        QStringLiteral("brantolex-restart-%1").arg(QCoreApplication::applicationPid());
    qputenv("JACK_DEFAULT_SERVER", name.toLocal8Bit());
    qputenv("JACK_NO_AUDIO_RESERVATION", "1");

    auto server = std::make_unique<QProcess>();
    if (!startServer(*server, name)) {
        std::fprintf(stderr, "restart: jackd did not start\n");
        return 1;
    }
    MidiIO router;
    router.setMidiChannel(1);
    router.openMidiIn(-1, true);
    router.openMidiOutNamed(QStringLiteral("Bench Unit:in"));

    std::vector<double> times;
    long firstSize = -1, lastSize = -1;
    Clock::time_point back = Clock::now(); // the server answers again
    for (int round = 0; round <= rounds; ++round) {
        Unit unit;
        unit.client = jack_client_open("Bench Unit", JackNoStartServer, nullptr);
        if (unit.client) {
            unit.in =
                jack_port_register(unit.client, "in", JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
            unit.out =
                jack_port_register(unit.client, "out", JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
        }
        if (!unit.in || !unit.out || jack_set_process_callback(unit.client, &process, &unit) ||
            jack_activate(unit.client)) {
            std::fprintf(stderr, "restart: no unit client\n");
            return 1;
        }
        // Joined to the router's input as soon as it is there again.
        if (!QTest::qWaitFor(
                [&] { return jack_connect(unit.client, "Bench Unit:out", routerIn) == 0; }, 5000))
            std::fprintf(stderr, "round %d: the router's input did not come back\n", round);
        if (!QTest::qWaitFor([&] { return unit.arrived.load(std::memory_order_acquire); }, 5000))
            std::fprintf(stderr, "round %d: nothing arrived within 5 s\n", round);
        else if (round > 0) { // the first round is the start, not a return
            times.push_back(std::chrono::duration<double, std::milli>(unit.at - back).count());
            lastSize = vmSizeKiB();
            if (firstSize < 0)
                firstSize = lastSize;
            std::printf("round %2d: %7.1f ms, VmSize %ld KiB\n", round, times.back(), lastSize);
        }
        if (round == rounds)
            break;
        QSignalSpy system(&router, &MidiIO::systemChanged);
        server->terminate();
        server->waitForFinished(10000);
        if (!system.wait(5000))
            std::fprintf(stderr, "round %d: the router did not see the server go\n", round);
        // Its server gone, the unit's client is closed too, as the router's is.
        jack_client_close(unit.client);
        server = std::make_unique<QProcess>();
        if (!startServer(*server, name)) {
            std::fprintf(stderr, "restart: jackd did not start again\n");
            return 1;
        }
        back = Clock::now();
    }
    server->terminate();
    server->waitForFinished(10000);
    if (times.empty())
        return 1;
    std::sort(times.begin(), times.end());
    std::printf("server's return to first message delivered: median %.1f ms, max %.1f ms over "
                "%zu restarts\n",
                times[times.size() / 2], times.back(), times.size());
    std::printf("VmSize after the first return %.1f MB, after the last %.1f MB\n",
                double(firstSize) / 1024, double(lastSize) / 1024);
    return 0;
}
