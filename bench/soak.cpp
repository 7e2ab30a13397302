// An endurance run on one MIDI system: a paced stream of notes, controllers
// and short sysex, first through a direct connection between the peer's own
// ports, then through the router, for the given minutes. Prints, for each
// path: messages sent, received and lost, whether the order was kept, the
// process's RSS at one minute and at the end, and CPU time per 1,000
// messages. The system is BRANTOLEX_TEST_BACKEND's (jack or alsa).
// Usage: bench_soak ROUTER_MINUTES [DIRECT_MINUTES] [MESSAGES_PER_SECOND]
#include "midipeers.h"

#include "midi/midiio.h"
#include "procstatus.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTest>
#include <QTimer>

#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>
#include <deque>

namespace {

const Bytes ping{0xB0, 0x7F, 0x7F}; // the stream never uses controller 127

long rssKiB()
{
    return procStatusKiB("VmRSS:");
}

double cpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// The n-th message of the stream: a note that ends, controllers, now and
// then a short sysex; every value comes from n, so order shows.
Bytes message(std::uint64_t n)
{
    const auto low = static_cast<unsigned char>(n % 128);
    switch (n % 50) {
    case 0:
        return {0xF0, 0x7D, low, static_cast<unsigned char>(n / 128 % 128), 0x01, 0x02, 0xF7};
    case 1:
    case 3:
        return {0x90, static_cast<unsigned char>(36 + n % 48),
                static_cast<unsigned char>(1 + low % 126)};
    case 2:
    case 4:
        return {0x80, static_cast<unsigned char>(36 + (n - 1) % 48), 0};
    default:
        return {0xB0, static_cast<unsigned char>(1 + n % 100), low};
    }
}

struct Result
{
    std::uint64_t sent = 0, received = 0, outOfOrder = 0;
    long rssAtMinute = -1, rssAtEnd = -1;
    double cpu = 0;
};

// One path for the given time, paced every 10 ms.
Result soak(BurstPeer &peer, double minutes, int perSecond)
{
    Result result;
    std::deque<Bytes> expected;
    const int perTick = std::max(1, perSecond / 100);
    const double cpuBefore = cpuSeconds();
    QElapsedTimer clock;
    clock.start();
    QEventLoop loop;
    QTimer tick;
    bool draining = false;
    qint64 quietSince = 0;
    QObject::connect(&tick, &QTimer::timeout, &loop, [&] {
        for (Bytes &m : peer.takeReceived()) {
            if (m == ping)
                continue;
            ++result.received;
            if (!expected.empty() && expected.front() == m) {
                expected.pop_front();
                continue;
            }
            // Lost ones are skipped over; anything else is out of order.
            auto at = std::find(expected.begin(), expected.end(), m);
            if (at == expected.end()) {
                ++result.outOfOrder;
                continue;
            }
            expected.erase(expected.begin(), at + 1);
        }
        if (result.rssAtMinute < 0 && clock.elapsed() >= 60000)
            result.rssAtMinute = rssKiB();
        if (!draining && clock.elapsed() >= qint64(minutes * 60000)) {
            draining = true;
            quietSince = clock.elapsed();
        }
        if (draining) {
            if (expected.empty() || clock.elapsed() - quietSince > 5000)
                loop.quit();
            return;
        }
        std::vector<Bytes> list;
        for (int i = 0; i < perTick; ++i) {
            list.push_back(message(result.sent++));
            expected.push_back(list.back());
        }
        if (!peer.send(list)) {
            // Not taken: nothing of it counts as sent.
            result.sent -= std::uint64_t(list.size());
            expected.erase(expected.end() - long(list.size()), expected.end());
        }
    });
    tick.start(10);
    loop.exec();
    result.cpu = cpuSeconds() - cpuBefore;
    result.rssAtEnd = rssKiB();
    return result;
}

void print(const char *path, const Result &r)
{
    std::printf("%-7s sent %9llu  received %9llu  lost %6llu  out of order %4llu  RSS %6ld KiB at "
                "1 min, %6ld KiB at the end  CPU %.3f ms per 1,000 messages\n",
                path, static_cast<unsigned long long>(r.sent),
                static_cast<unsigned long long>(r.received),
                static_cast<unsigned long long>(r.sent > r.received ? r.sent - r.received : 0),
                static_cast<unsigned long long>(r.outOfOrder), r.rssAtMinute, r.rssAtEnd,
                r.sent ? r.cpu * 1e6 / double(r.sent) : 0.0);
    std::fflush(stdout);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: bench_soak ROUTER_MINUTES [DIRECT_MINUTES] [PER_SECOND]\n");
        return 2;
    }
    const double minutes = std::atof(argv[1]);
    const double directMinutes = argc > 2 ? std::atof(argv[2]) : std::max(1.0, minutes / 10);
    const int perSecond = argc > 3 ? std::atoi(argv[3]) : 1000;
    const QString problem = testbackend::select();
    if (!problem.isEmpty()) {
        std::fprintf(stderr, "soak: %s\n", qPrintable(problem));
        return 1;
    }
    std::printf("soak on %s: %d messages a second (notes, controllers, a sysex in 50)\n",
                qPrintable(testbackend::name()), perSecond);

    {
        BurstPeer direct("Soak Direct");
        if (!direct.isOpen() || !direct.connectTo(direct.inName()) ||
            !warmUp([&] { direct.send({ping}); }, [&] { return !direct.takeReceived().empty(); })) {
            std::fprintf(stderr, "soak: no MIDI through the direct connection\n");
            return 1;
        }
        print("direct", soak(direct, directMinutes, perSecond));
    }

    MidiIO router;
    router.setMidiChannel(1);
    router.setIgnoreSysex(false);
    std::unique_ptr<BurstPeer> peer;
    const auto setUp = [&] {
        peer = std::make_unique<BurstPeer>("Soak Peer");
        return routeThrough(router, *peer);
    };
    if (!setUp() || !warmUp([&] { peer->send({ping}); },
                            [&] { return !peer->takeReceived().empty(); }, setUp)) {
        std::fprintf(stderr, "soak: no MIDI through the router\n");
        return 1;
    }
    print("router", soak(*peer, minutes, perSecond));
    return 0;
}
