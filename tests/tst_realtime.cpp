// The router on JACK as a real-time client: what it forwards keeps its
// frame, a long sysex goes through in pieces, a port that flaps and a server
// that restarts are followed without the user.
#include "jackpeers.h"
#include "midipeers.h"

#include "midi/jackclient.h"
#include "midi/messagequeue.h"
#include "midi/midiio.h"

#include <QProcess>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTest>

#include <jack/jack.h>
#include <jack/midiport.h>

#include <atomic>
#include <cstring>
#include <future>
#include <memory>

#include <dlfcn.h>
#include <unistd.h>

#ifndef BRANTOLEX_SANITIZED
// The router's process cycle, trapped: heap calls and mutex locks made on
// its thread while it runs are counted. Not in the sanitizer build, whose
// allocator must see every allocation.
namespace trap {
thread_local bool inCycle = false;
std::atomic<long> cycles{0}, heap{0}, locks{0};
struct Callback
{
    JackProcessCallback callback;
    void *arg;
} callbacks[16];
std::atomic<int> used{0};
int process(jack_nframes_t frames, void *arg)
{
    const auto *c = static_cast<const Callback *>(arg);
    inCycle = true;
    const int r = c->callback(frames, c->arg);
    inCycle = false;
    cycles.fetch_add(1);
    return r;
}
template <typename F> F real(const char *name)
{
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}
} // namespace trap

extern "C" {
int jack_set_process_callback(jack_client_t *client, JackProcessCallback callback, void *arg)
{
    using F = int (*)(jack_client_t *, JackProcessCallback, void *);
    static const F set = trap::real<F>("jack_set_process_callback");
    if (std::strncmp(jack_get_client_name(client), "Brantolex helper", 16) != 0)
        return set(client, callback, arg);
    trap::Callback &c = trap::callbacks[trap::used++ % 16];
    c = {callback, arg};
    return set(client, &trap::process, &c);
}
void *__libc_malloc(size_t);
void *__libc_calloc(size_t, size_t);
void *__libc_realloc(void *, size_t);
void __libc_free(void *);
void *malloc(size_t n)
{
    trap::heap += trap::inCycle;
    return __libc_malloc(n);
}
void *calloc(size_t n, size_t size)
{
    trap::heap += trap::inCycle;
    return __libc_calloc(n, size);
}
void *realloc(void *p, size_t n)
{
    trap::heap += trap::inCycle;
    return __libc_realloc(p, n);
}
void free(void *p)
{
    trap::heap += trap::inCycle && p;
    __libc_free(p);
}
int pthread_mutex_lock(pthread_mutex_t *m)
{
    static const auto lock = trap::real<int (*)(pthread_mutex_t *)>("pthread_mutex_lock");
    trap::locks += trap::inCycle;
    return lock(m);
}
int pthread_mutex_trylock(pthread_mutex_t *m)
{
    static const auto lock = trap::real<int (*)(pthread_mutex_t *)>("pthread_mutex_trylock");
    trap::locks += trap::inCycle;
    return lock(m);
}
}
#endif

namespace {

constexpr int waitMs = 10000;
const QString routerIn = QStringLiteral("Brantolex helper:Brantolex helper virtual input");

// Both ends of the router, written against libjack: "out" sends a script of
// events at given frames in one cycle, "in" records each arrival with its
// cycle and frame, in the cycle, without allocating.
class FramePeer
{
public:
    struct Event
    {
        std::uint32_t frame;
        Bytes bytes;
    };
    struct Arrival
    {
        std::uint64_t cycle;
        std::uint32_t frame;
        QByteArray bytes;
    };

    explicit FramePeer(const char *name)
    {
        auto *c = jack_client_open(name, JackNoStartServer, nullptr);
        if (!c)
            return;
        out = jack_port_register(c, "out", JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
        in = jack_port_register(c, "in", JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
        if (!out || !in || jack_set_process_callback(c, &FramePeer::process, this) ||
            jack_activate(c)) {
            jack_client_close(c);
            return;
        }
        client = c;
    }
    ~FramePeer()
    {
        if (client && !abandoned)
            jack_client_close(client);
    }
    bool isOpen() const { return client != nullptr; }
    std::string name(const char *port) const
    {
        return std::string(jack_get_client_name(client)) + ":" + port;
    }
    bool connect(const std::string &from, const std::string &to)
    {
        const int r = jack_connect(client, from.c_str(), to.c_str());
        return r == 0 || r == EEXIST;
    }
    // Sends the events in one cycle, at their frames (ascending); returns
    // the cycle they went in. A stall makes the cycle before run long (an
    // xrun for jackd), the events going a few cycles after it.
    std::uint64_t sendInOneCycle(std::vector<Event> events, int stallMs = 0)
    {
        script = std::move(events);
        sentIn = 0;
        stallUs = stallMs * 1000;
        pending.store(true, std::memory_order_release);
        if (!QTest::qWaitFor([this] { return !pending.load(std::memory_order_acquire); }, waitMs))
            qWarning("the peer's cycle did not run");
        return sentIn;
    }
    // Sends one event a cycle, in pieces of up to piece bytes each.
    void sendPieces(const Bytes &message, std::size_t piece)
    {
        script.clear();
        for (std::size_t at = 0; at < message.size(); at += piece)
            script.push_back(
                {0, Bytes(message.begin() + long(at),
                          message.begin() + long(std::min(message.size(), at + piece)))});
        onePerCycle = true;
        pending.store(true, std::memory_order_release);
        if (!QTest::qWaitFor([this] { return !pending.load(std::memory_order_acquire); }, waitMs))
            qWarning("the peer's cycle did not run");
        onePerCycle = false;
    }
    std::vector<Arrival> arrivals()
    {
        while (const std::size_t size = arrived.frontSize()) {
            std::vector<unsigned char> record(size);
            arrived.pop(record.data());
            Arrival a;
            std::memcpy(&a.cycle, record.data(), 8);
            std::memcpy(&a.frame, record.data() + 8, 4);
            a.bytes =
                QByteArray(reinterpret_cast<const char *>(record.data() + 12), int(size - 12));
            got.push_back(a);
        }
        return got;
    }
    QByteArray allBytes()
    {
        QByteArray all;
        for (const Arrival &a : arrivals())
            all += a.bytes;
        return all;
    }
    void clear()
    {
        arrivals();
        got.clear();
    }
    // A server that went away takes the client with it.
    void abandon() { abandoned = true; }

    jack_client_t *client = nullptr;

private:
    static int process(jack_nframes_t frames, void *self)
    {
        auto *p = static_cast<FramePeer *>(self);
        const std::uint64_t cycle = p->cycles++;
        void *outBuffer = jack_port_get_buffer(p->out, frames);
        jack_midi_clear_buffer(outBuffer);
        if (p->pending.load(std::memory_order_acquire)) {
            if (p->stallUs > 0) {
                usleep(useconds_t(p->stallUs));
                p->stallUs = 0;
                p->afterStall = 8; // the xrun's news reaches the router meanwhile
            } else if (p->afterStall > 0) {
                --p->afterStall;
            } else if (p->onePerCycle) {
                const Event &e = p->script[p->next];
                jack_midi_event_write(outBuffer, e.frame, e.bytes.data(), e.bytes.size());
                if (++p->next == p->script.size()) {
                    p->next = 0;
                    p->pending.store(false, std::memory_order_release);
                }
            } else {
                for (const Event &e : p->script)
                    jack_midi_event_write(outBuffer, e.frame, e.bytes.data(), e.bytes.size());
                p->sentIn = cycle;
                p->pending.store(false, std::memory_order_release);
            }
        }
        void *inBuffer = jack_port_get_buffer(p->in, frames);
        const std::uint32_t count = jack_midi_get_event_count(inBuffer);
        for (std::uint32_t i = 0; i < count; ++i) {
            jack_midi_event_t event;
            if (jack_midi_event_get(&event, inBuffer, i) != 0)
                continue;
            unsigned char head[12];
            std::memcpy(head, &cycle, 8);
            std::memcpy(head + 8, &event.time, 4);
            // Header and bytes as one record.
            unsigned char record[12 + 4096];
            if (event.size > 4096)
                continue;
            std::memcpy(record, head, 12);
            std::memcpy(record + 12, event.buffer, event.size);
            p->arrived.push(record, 12 + event.size);
        }
        return 0;
    }

    jack_port_t *out = nullptr, *in = nullptr;
    std::vector<Event> script;
    std::size_t next = 0;
    bool onePerCycle = false;
    int stallUs = 0, afterStall = 0;
    std::atomic<bool> pending{false};
    std::uint64_t sentIn = 0;
    std::uint64_t cycles = 0;
    MessageQueue arrived{8u << 20};
    std::vector<Arrival> got;
    bool abandoned = false;
};

// The router with its virtual input and its output joined to the peer,
// proven by a ping that comes back.
struct Rig
{
    explicit Rig(const char *peerName = "Test Frames") : peer(peerName)
    {
        router.setMidiChannel(1);
        router.setIgnoreSysex(false);
    }
    bool open()
    {
        const QString unit = QString::fromStdString(peer.name("in"));
        if (!peer.isOpen() ||
            !QTest::qWaitFor([&] { return router.midiOutPorts.contains(unit); }, waitMs) ||
            !router.openMidiIn(-1, true) ||
            !router.openMidiOutNamed(QString::fromStdString(peer.name("in"))) ||
            !peer.connect(peer.name("out"), routerIn.toStdString()))
            return false;
        return ping();
    }
    bool ping()
    {
        const bool through = ping(peer);
        peer.clear();
        return through;
    }
    static bool ping(FramePeer &peer)
    {
        return warmUp(
            [&] {
                peer.sendInOneCycle({{0, {0xB0, 0x10, 0x01}}});
            },
            [&] { return !peer.arrivals().empty(); });
    }
    MidiIO router;
    FramePeer peer;
};

} // namespace

class TestRealtime : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void framesKept_data();
    void framesKept();
    void longSysexInPieces_data();
    void longSysexInPieces();
    void inputFlapFollowed();
    void serverRestartFollowed();
    void cycleNeitherLocksNorAllocates();
    void unitClientClosesNoticed();
};

void TestRealtime::initTestCase()
{
    QVERIFY_BACKEND_SELECTED();
}

void TestRealtime::framesKept_data()
{
    // Each list goes in one cycle, the next list in a later one.
    QTest::addColumn<QList<QList<int>>>("cycles");
    QTest::addColumn<int>("stallMs"); // a peer's cycle before each runs long
    QTest::newRow("one at the cycle's end") << QList<QList<int>>{{255}} << 0;
    QTest::newRow("spread over the cycle") << QList<QList<int>>{{0, 17, 64, 128, 200, 254}} << 0;
    QTest::newRow("several at one frame") << QList<QList<int>>{{90, 90, 90, 91}} << 0;
    QTest::newRow("a later cycle starts early again") << QList<QList<int>>{{200}, {10}} << 0;
    // A link that carried is not held back again by an xrun.
    QTest::newRow("after an xrun") << QList<QList<int>>{{0, 128}, {64}} << 40;
}

void TestRealtime::framesKept()
{
    QFETCH(QList<QList<int>>, cycles);
    QFETCH(int, stallMs);
    if (stallMs > 0 && testbackend::kind() != testbackend::Kind::Jack)
        QSKIP("only jackd tells the other clients of a late one (an xrun)");
    Rig rig;
    QVERIFY2(rig.open(), "no MIDI flows through the router");
    int expected = 0;
    for (const QList<int> &frames : cycles) {
        std::vector<FramePeer::Event> events;
        for (int i = 0; i < frames.size(); ++i)
            events.push_back({std::uint32_t(frames[i]), {0x90, std::uint8_t(40 + i), 100}});
        const std::uint64_t sentIn = rig.peer.sendInOneCycle(events, stallMs);
        expected += int(frames.size());
        QTRY_COMPARE_WITH_TIMEOUT(int(rig.peer.arrivals().size()), expected, waitMs);
        const auto got = rig.peer.arrivals();
        for (int i = 0; i < frames.size(); ++i) {
            const auto &arrival = got[std::size_t(expected - int(frames.size()) + i)];
            QCOMPARE(int(arrival.frame), frames[i]);
            QCOMPARE(arrival.bytes, qbytes(events[std::size_t(i)].bytes));
            // Routed within the cycle it came in: the peer reads it one cycle later.
            QCOMPARE(arrival.cycle, sentIn + 1);
        }
    }
}

void TestRealtime::longSysexInPieces_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("piece");
    QTest::newRow("100,000 bytes in 1,000-byte pieces") << 100000 << 1000;
    QTest::newRow("64 KB in 4,000-byte pieces") << 65536 << 4000;
}

void TestRealtime::longSysexInPieces()
{
    QFETCH(int, size);
    QFETCH(int, piece);
    Rig rig;
    QVERIFY2(rig.open(), "no MIDI flows through the router");
    Bytes sysex(std::size_t(size), 0x11);
    sysex.front() = 0xF0;
    sysex.back() = 0xF7;
    for (std::size_t i = 1; i + 1 < sysex.size(); ++i)
        sysex[i] = std::uint8_t(i % 127);
    rig.peer.sendPieces(sysex, std::size_t(piece));
    rig.peer.sendInOneCycle({{0, {0x90, 0x3C, 0x40}}}); // after it, in order
    QTRY_COMPARE_WITH_TIMEOUT(rig.peer.allBytes().size(), size + 3, waitMs);
    QCOMPARE(rig.peer.allBytes(), qbytes(sysex) + hex("903c40"));
}

void TestRealtime::inputFlapFollowed()
{
    // The chosen input goes and comes back faster than anyone looks.
    Rig rig("Test Flapper");
    QVERIFY(rig.peer.isOpen());
    auto *extra =
        jack_port_register(rig.peer.client, "flap", JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
    QVERIFY(extra);
    const QString source = QString::fromStdString(rig.peer.name("flap"));
    QTRY_VERIFY_WITH_TIMEOUT(rig.router.midiInPorts.contains(source), waitMs);
    QVERIFY(rig.router.openMidiInNamed(source));
    for (int flap = 0; flap < 12; ++flap) {
        jack_port_unregister(rig.peer.client, extra);
        extra = jack_port_register(rig.peer.client, "flap", JACK_DEFAULT_MIDI_TYPE,
                                   JackPortIsOutput, 0);
        QVERIFY(extra);
        QTRY_VERIFY_WITH_TIMEOUT(
            jackConnections(source).contains(QStringLiteral("Brantolex helper:RtMidi Input")),
            waitMs);
    }
    QVERIFY(rig.router.inputOpen());
}

void TestRealtime::serverRestartFollowed()
{
    // A server stopped and started again: jackd of our own under a name of
    // our own, or the suite's PipeWire (whose JACK answers under any name).
    PrivateJackServer jackd(QStringLiteral("restart"));
    auto server = [&](const char *what) {
        if (testbackend::isPipeWire())
            return QProcess::execute(qEnvironmentVariable("BRANTOLEX_PIPEWIRE_SCRIPT"),
                                     {what, qEnvironmentVariable("BRANTOLEX_PIPEWIRE_DIR")}) == 0;
        if (qstrcmp(what, "stop") == 0)
            jackd.stop();
        return qstrcmp(what, "stop") == 0 || jackd.start();
    };
    QVERIFY2(testbackend::isPipeWire() || server("start"), "jackd did not start");

    auto rig = std::make_unique<Rig>("Test Unit");
    QVERIFY2(rig->open(), "no MIDI flows through the router");
    MidiIO &router = rig->router;
    QSignalSpy system(&router, &MidiIO::systemChanged);

    QVERIFY(server("stop"));
    rig->peer.abandon();
    QVERIFY(system.wait(waitMs));
    QCOMPARE(router.systemProblem(), QStringLiteral("JACK server stopped"));
    QVERIFY(!router.outputOpen());
    QCOMPARE(router.chosenMidiOut(), QString::fromStdString(rig->peer.name("in")));

    QVERIFY2(server("start"), "the server did not start again");
    FramePeer unit("Test Unit");
    QVERIFY(unit.isOpen());
    QTRY_VERIFY_WITH_TIMEOUT(router.systemProblem().isEmpty(), waitMs);
    QTRY_VERIFY_WITH_TIMEOUT(router.outputOpen(), waitMs);
    QVERIFY(router.inputIsVirtual());
    QVERIFY(unit.connect(unit.name("out"), routerIn.toStdString()));
    QVERIFY2(Rig::ping(unit), "no MIDI flows after the server came back");
}

void TestRealtime::cycleNeitherLocksNorAllocates()
{
#ifdef BRANTOLEX_SANITIZED
    QSKIP("the sanitizer's allocator cannot be trapped");
#else
    Rig rig;
    QVERIFY2(rig.open(), "no MIDI flows through the router");
    const std::string unit = rig.peer.name("in"), out = "Brantolex helper:RtMidi Output";
    trap::heap = trap::locks = trap::cycles = 0;
    // Notes in and out, sends from another thread, releases, and a patchbay
    // cutting the unit's connection and making it again.
    for (int i = 0; i < 20; ++i) {
        rig.peer.sendInOneCycle({{0, {0x91, 0x40, 100}}, {9, {0x81, 0x40, 0}}});
        rig.router.sendMidiMessage(0xB0, 1, 7, 100);
        rig.router.panic();
        QVERIFY(i % 2 ? rig.peer.connect(out, unit)
                      : jack_disconnect(rig.peer.client, out.c_str(), unit.c_str()) == 0);
    }
    QTRY_VERIFY_WITH_TIMEOUT(trap::cycles > 200, waitMs);
    QCOMPARE(trap::heap.load(), 0L);
    QCOMPARE(trap::locks.load(), 0L);
#endif
}

void TestRealtime::unitClientClosesNoticed()
{
    // A unit's client that closes with its port still registered (the server
    // lists the port a while longer): noticed within a second, and the note
    // it was left with released when it is back.
    Rig rig("Test Closing Unit");
    QVERIFY2(rig.open(), "no MIDI flows through the router");
    QSignalSpy lost(&rig.router, &MidiIO::portLost), back(&rig.router, &MidiIO::portReconnected);
    rig.peer.sendInOneCycle({{0, {0x90, 0x40, 100}}});
    QTRY_VERIFY_WITH_TIMEOUT(!rig.peer.arrivals().empty(), waitMs);
    // Closed as by another process: the router hears of it at once.
    auto closing = std::async(std::launch::async, jack_client_close, rig.peer.client);
    rig.peer.abandon();
    QVERIFY2(lost.wait(1000), "not noticed within a second");
    QCOMPARE(closing.get(), 0);
    FramePeer unit("Test Closing Unit");
    QVERIFY(back.wait(waitMs));
    QTRY_VERIFY_WITH_TIMEOUT(unit.allBytes().contains(hex("804000")), waitMs);
}

QTEST_MAIN(TestRealtime)
#include "tst_realtime.moc"
