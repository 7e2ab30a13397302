// A tour of a live rig: N random transitions against the built program,
// started headless as a user runs it, on jackd or on PipeWire's JACK. One
// paced stream (numbered Control Changes, notes held and released, now and
// then a plug-in switch) goes from one source to three receivers: a direct
// connection, the minimal forwarder (bench_nativeforward) and the unit,
// through the program. Transitions: the unit's port gone and back, the
// source's port gone and back, a plug-in switch with notes held, the server
// stopped (SIGTERM) or killed (SIGKILL) and started again, the program quit
// and started again, a panic from a second start. Input switches exist only
// in the window, so the tour has none.
// Usage: bench_tour jackd|pipewire N [seed] [pipewire-dir pipewire-script]
#include "procstatus.h"
#include "sandbox.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QThread>

#include <jack/jack.h>
#include <jack/midiport.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <limits>
#include <map>
#include <memory>
#include <random>
#include <signal.h>
#include <sys/stat.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

std::int64_t nowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch())
        .count();
}

// One writer thread, one reader thread, no lock, no allocation.
template <typename T, std::size_t N> class Ring
{
public:
    bool push(const T &item)
    {
        const std::size_t head = writeAt.load(std::memory_order_relaxed);
        if (head - readAt.load(std::memory_order_acquire) == N)
            return false;
        items[head % N] = item;
        writeAt.store(head + 1, std::memory_order_release);
        return true;
    }
    bool pop(T &item)
    {
        const std::size_t tail = readAt.load(std::memory_order_relaxed);
        if (tail == writeAt.load(std::memory_order_acquire))
            return false;
        item = items[tail % N];
        readAt.store(tail + 1, std::memory_order_release);
        return true;
    }

private:
    std::array<T, N> items{};
    std::atomic<std::size_t> writeAt{0}, readAt{0};
};

struct Event
{
    std::int64_t ms = 0;
    unsigned char size = 0;
    unsigned char bytes[3] = {};
};
using EventRing = Ring<Event, (1u << 18)>;

// The numbered messages: Control Changes on channel 1 whose number and value
// give the sequence number modulo their count. The numbers skip Bank Select,
// the sustain pedal and the channel mode messages (the panic sends those),
// and consecutive messages never share a number, so that the values a
// loading wait keeps come out whole and in order.
constexpr int ccCount = 117;
constexpr std::uint64_t period = ccCount * 128;
constexpr std::size_t maxSent = 4u << 20;
constexpr int perCycle = 2;
const std::array<int, 128> ccIndex = [] {
    std::array<int, 128> index{};
    index.fill(-1);
    int k = 0;
    for (int cc = 1; cc < 120; ++cc)
        if (cc != 32 && cc != 64)
            index[std::size_t(cc)] = k++;
    return index;
}();
const std::array<unsigned char, ccCount> ccOf = [] {
    std::array<unsigned char, ccCount> of{};
    for (int cc = 0; cc < 128; ++cc)
        if (ccIndex[std::size_t(cc)] >= 0)
            of[std::size_t(ccIndex[std::size_t(cc)])] = static_cast<unsigned char>(cc);
    return of;
}();

struct Stream
{
    std::vector<std::int64_t> sentAt = std::vector<std::int64_t>(maxSent);
    std::atomic<std::uint64_t> sent{0};
};
Stream stream;
Ring<Event, 4096> commands; // notes and switches the main thread asks the source to send
EventRing directRing, controlRing, unitRing;

// A client whose server may die under it: a dead one is never closed
// (libjack would reach into the dead server's memory), only dropped.
struct Client
{
    jack_client_t *client = nullptr;
    std::atomic<bool> dead{false};
    std::vector<jack_port_t *> ports;
    std::vector<EventRing *> rings; // one per input port, null for the output
    bool source = false;

    ~Client()
    {
        if (client && !dead.load())
            jack_client_close(client);
    }
    static void shutdown(void *arg) { static_cast<Client *>(arg)->dead.store(true); }
    static int process(jack_nframes_t frames, void *arg);
};

int Client::process(jack_nframes_t frames, void *arg)
{
    auto *self = static_cast<Client *>(arg);
    const std::int64_t ms = nowMs();
    for (std::size_t p = 0; p < self->ports.size(); ++p) {
        void *buffer = jack_port_get_buffer(self->ports[p], frames);
        if (!self->rings[p]) {
            jack_midi_clear_buffer(buffer);
            Event command;
            while (commands.pop(command))
                jack_midi_event_write(buffer, 0, command.bytes, command.size);
            std::uint64_t seq = stream.sent.load(std::memory_order_relaxed);
            for (int i = 0; i < perCycle && seq < maxSent; ++i, ++seq) {
                const unsigned char cc[3] = {0xB0, ccOf[seq % ccCount],
                                             static_cast<unsigned char>(seq / ccCount % 128)};
                if (jack_midi_event_write(buffer, 0, cc, 3) != 0)
                    break;
                stream.sentAt[seq] = ms;
            }
            stream.sent.store(seq, std::memory_order_release);
            continue;
        }
        const jack_nframes_t count = jack_midi_get_event_count(buffer);
        for (jack_nframes_t i = 0; i < count; ++i) {
            jack_midi_event_t in;
            if (jack_midi_event_get(&in, buffer, i) != 0 || in.size == 0 || in.size > 3)
                continue;
            Event event;
            event.ms = ms;
            event.size = static_cast<unsigned char>(in.size);
            std::copy(in.buffer, in.buffer + in.size, event.bytes);
            self->rings[p]->push(event);
        }
    }
    return 0;
}

// name -> (port, ring or null for the output)
std::unique_ptr<Client> openClient(const char *name,
                                   const std::vector<std::pair<const char *, EventRing *>> &ports)
{
    auto c = std::make_unique<Client>();
    c->client = jack_client_open(name, JackNoStartServer, nullptr);
    if (!c->client)
        return nullptr;
    jack_on_shutdown(c->client, &Client::shutdown, c.get());
    for (const auto &[port, ring] : ports) {
        c->ports.push_back(jack_port_register(c->client, port, JACK_DEFAULT_MIDI_TYPE,
                                              ring ? JackPortIsInput : JackPortIsOutput, 0));
        c->rings.push_back(ring);
        if (!c->ports.back())
            return nullptr;
    }
    if (jack_set_process_callback(c->client, &Client::process, c.get()) != 0 ||
        jack_activate(c->client) != 0)
        return nullptr;
    return c;
}

// Drops a client whose server is gone without closing it.
void forget(std::unique_ptr<Client> &c)
{
    if (c && c->dead.load())
        (void)c.release();
    c.reset();
}

// What one receiver got, by sequence number.
struct Received
{
    const char *name;
    EventRing *ring;
    std::vector<unsigned char> got = std::vector<unsigned char>(maxSent);
    std::uint64_t highest = 0;
    bool any = false;
    std::uint64_t orderFaults = 0, duplicates = 0, strays = 0;
    std::vector<std::int64_t> duplicateSentAt{};
    // The first numbered message sent after a mark and arriving after it.
    std::int64_t markMs = 0, firstAfterMark = -1;
    std::uint64_t markSeq = 0;
    void mark(std::int64_t ms)
    {
        markMs = ms;
        markSeq = stream.sent.load(std::memory_order_acquire);
        firstAfterMark = -1;
    }

    template <typename OnOther> void drain(OnOther &&other)
    {
        Event e;
        while (ring->pop(e)) {
            const int k = e.size == 3 && e.bytes[0] == 0xB0 ? ccIndex[e.bytes[1] & 0x7F] : -1;
            if (k < 0) {
                other(e);
                continue;
            }
            const std::uint64_t id = std::uint64_t(k) + std::uint64_t(ccCount) * e.bytes[2];
            const std::uint64_t sent = stream.sent.load(std::memory_order_acquire);
            if (sent <= id) {
                ++strays;
                continue;
            }
            // The latest one sent with this number: nothing lags by a period.
            const std::uint64_t seq = sent - 1 - ((sent - 1 - id) % period);
            if (got[seq]++ > 0) {
                ++duplicates;
                duplicateSentAt.push_back(stream.sentAt[seq]);
            } else if (any && seq < highest)
                ++orderFaults;
            highest = std::max(highest, seq);
            any = true;
            if (firstAfterMark < 0 && seq >= markSeq && e.ms >= markMs)
                firstAfterMark = e.ms;
        }
    }
};

enum Kind
{
    UnitGone,
    SourceGone,
    PluginSwitch,
    ServerTerm,
    ServerKill,
    ProgramQuit,
    Panic,
    KindCount
};
const char *kindNames[KindCount] = {"unit's port gone and back",
                                    "source's port gone and back",
                                    "plug-in switch, notes held",
                                    "server stopped (SIGTERM), started again",
                                    "server killed (SIGKILL), started again",
                                    "program quit (SIGTERM), started again",
                                    "panic from a second start"};

struct KindStats
{
    int count = 0, notBack = 0, rssSamples = 0;
    int stuckNotes[2] = {}; // at the unit, at the direct sink
    std::vector<double> returns;
    double rssDeltaKiB = 0;
};

struct ProcSample
{
    int transition;
    qint64 pid;
    int age;
    long rssKiB;
    int fds, threads;
};

long rssOf(qint64 pid)
{
    return procStatusKiB("VmRSS:", "/proc/" + std::to_string(pid) + "/status");
}

int entriesOf(const QString &dir)
{
    return int(QDir(dir).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System).size());
}

double percentile(std::vector<double> v, double p)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, std::size_t(p * double(v.size() - 1) + 0.5))];
}

class Tour
{
public:
    Tour(bool pipewire, const QString &pwDir, const QString &pwScript, unsigned seed)
        : pipewire(pipewire), pwDir(pwDir), pwScript(pwScript), random(seed),
          sandbox(pipewire ? ::geteuid() : midiUid())
    {
    }
    ~Tour() { finish(); }
    bool setUp();
    void run(int transitions, int budgetSeconds);
    void report();

private:
    // The program's ports on the server, as it names them there.
    static constexpr const char *programOut = "Brantolex helper:RtMidi Output";
    static constexpr int loadingMs = 200;

    bool startServer();
    bool stopServer(int signal);
    bool serverDead() const { return !sinks || sinks->dead.load(); }
    bool openPeers();
    void dropPeers();
    bool openSource();
    bool startForwarder();
    void stopForwarder(int signal);
    bool startProgram();
    void stopProgram(std::int64_t *quitMs = nullptr, bool *clean = nullptr);
    bool portThere(const char *name);
    void connect(const char *from, const char *to);

    void pump();
    void pumpFor(int ms);
    template <typename F> bool pumpUntil(F done, int ms);
    // From the last mark to the first numbered message through the program
    // since; -1 after 5 s.
    double returnAfterMark();
    void gap(std::int64_t from, std::int64_t to) { gaps.emplace_back(from, to); }
    bool inGap(std::int64_t ms, bool forwarder = false) const;
    void playNotes();
    // Note state at the unit (0) or the direct sink (1).
    void noteEvent(const Event &e, int at);
    void checkStuck();
    void sample(int transition);

    void transition(Kind kind);

    const bool pipewire;
    const QString pwDir, pwScript;
    std::mt19937 random;
    Sandbox sandbox;
    QProcess jackd;
    qint64 pipewirePid = 0;
    std::unique_ptr<Client> sinks, unit, source;
    std::unique_ptr<QProcess> forwarder;
    std::unique_ptr<Program> program;
    int programAge = 0, programStarts = 0;
    QByteArray programErrors;

    Received direct{"direct connection", &directRing};
    Received control{"forwarder", &controlRing};
    Received routed{"program", &unitRing};
    std::vector<std::pair<std::int64_t, std::int64_t>> gaps, controlGaps;

    // Notes on keys 40..63 (64 is the unit's selection note).
    struct Key
    {
        bool held = false;           // at the source
        std::int64_t releaseAt = 0;  // when the source lets go
        std::int64_t releasedAt = 0; // when it did
        bool sounding[2] = {};       // at the unit, at the direct sink
        bool counted[2] = {};
    };
    std::array<Key, 128> keys{};
    std::int64_t lastNoteMs = 0;
    std::vector<std::pair<std::int64_t, Kind>> started; // each transition's start
    std::int64_t settledAt = 0;                         // the last transition's end
    std::int64_t answeredAt = 0;                        // the server's, after a start

    KindStats stats[KindCount];
    std::vector<ProcSample> samples;
    std::map<qint64, std::pair<ProcSample, ProcSample>> lives; // each process's first and last
    int quits = 0, cleanQuits = 0, panicsAnswered = 0, forcedRestarts = 0, forcedCleanQuits = 0;
    std::int64_t slowestQuit = 0, slowestForcedQuit = 0;
    int serverStartFailures = 0;
    bool finished = false;
    void finish();
};

void Tour::connect(const char *from, const char *to)
{
    if (sinks && !sinks->dead.load())
        jack_connect(sinks->client, from, to);
}

bool Tour::portThere(const char *name)
{
    return sinks && !sinks->dead.load() && jack_port_by_name(sinks->client, name) != nullptr;
}

bool Tour::startServer()
{
    if (pipewire) {
        QProcess script;
        script.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        script.setStandardOutputFile(QProcess::nullDevice());
        script.start(QStringLiteral("bash"), {pwScript, QStringLiteral("start"), pwDir});
        if (!script.waitForFinished(30000) || script.exitCode() != 0)
            return false;
        QFile pid(pwDir + QStringLiteral("/pipewire.pid"));
        pipewirePid = pid.open(QIODevice::ReadOnly) ? pid.readAll().trimmed().toLongLong() : 0;
    } else {
        jackd.setStandardOutputFile(QProcess::nullDevice());
        jackd.setStandardErrorFile(QProcess::nullDevice());
        jackd.start(QStringLiteral("jackd"),
                    {"-n", qEnvironmentVariable("JACK_DEFAULT_SERVER"), "--no-realtime", "-d",
                     "dummy", "-r", "48000", "-p", "256"});
        if (!jackd.waitForStarted(5000))
            return false;
        // For tour.sh to stop it by SIGTERM should this process die first.
        QFile pid(qEnvironmentVariable("TOUR_JACKD_PIDFILE"));
        if (!pid.fileName().isEmpty() && pid.open(QIODevice::WriteOnly))
            pid.write(QByteArray::number(jackd.processId()));
    }
    // Answering: a client of ours opens.
    const std::int64_t until = nowMs() + 15000;
    while (nowMs() < until) {
        if (!pipewire && jackd.state() == QProcess::NotRunning)
            return false;
        if (openPeers()) {
            answeredAt = nowMs();
            routed.mark(answeredAt);
            return true;
        }
        QThread::msleep(5);
    }
    return false;
}

bool Tour::stopServer(int signal)
{
    if (pipewire) {
        if (pipewirePid <= 0 || ::kill(pid_t(pipewirePid), signal) != 0)
            return false;
        // Not our child: gone once /proc says so, or a zombie.
        return pumpUntil(
            [&] {
                QFile stat(QStringLiteral("/proc/%1/stat").arg(pipewirePid));
                return !stat.open(QIODevice::ReadOnly) || stat.readAll().contains(") Z ");
            },
            10000);
    }
    if (jackd.state() == QProcess::NotRunning)
        return true;
    ::kill(pid_t(jackd.processId()), signal);
    return jackd.waitForFinished(10000);
}

bool Tour::openPeers()
{
    dropPeers();
    sinks = openClient("Tour Sinks", {{"direct", &directRing}, {"control", &controlRing}});
    if (!sinks)
        return false;
    unit = openClient("Tour Unit", {{"in", &unitRing}});
    if (!unit || !openSource())
        return false;
    connect("Tour Source:out", "Tour Sinks:direct");
    return true;
}

void Tour::dropPeers()
{
    forget(source);
    forget(unit);
    forget(sinks);
}

bool Tour::openSource()
{
    Event e;
    while (commands.pop(e)) {
    }
    source = openClient("Tour Source", {{"out", nullptr}});
    return source != nullptr;
}

bool Tour::startForwarder()
{
    forwarder = std::make_unique<QProcess>();
    forwarder->setStandardOutputFile(QProcess::nullDevice());
    forwarder->setStandardErrorFile(QProcess::nullDevice());
    forwarder->start(QStringLiteral(TOUR_FORWARDER), {});
    const std::int64_t from = nowMs();
    if (!pumpUntil([&] { return portThere("Bench Native:out"); }, 5000))
        return false;
    connect("Tour Source:out", "Bench Native:in");
    connect("Bench Native:out", "Tour Sinks:control");
    // The rig's own time to start it again is no loss of the forwarder's.
    controlGaps.emplace_back(from - 200, nowMs() + 200);
    return true;
}

void Tour::stopForwarder(int signal)
{
    if (!forwarder)
        return;
    ::kill(pid_t(forwarder->processId()), signal);
    if (!forwarder->waitForFinished(3000)) {
        forwarder->kill();
        forwarder->waitForFinished(3000);
    }
    forwarder.reset();
}

bool Tour::startProgram()
{
    program = std::make_unique<Program>(sandbox, QStringList{QStringLiteral("--headless")});
    programAge = 0;
    ++programStarts;
    return pumpUntil(
               [&] {
                   return program->process.state() == QProcess::NotRunning || portThere(programOut);
               },
               15000) &&
           program->process.state() != QProcess::NotRunning;
}

void Tour::stopProgram(std::int64_t *quitMs, bool *clean)
{
    if (!program)
        return;
    const std::int64_t from = nowMs();
    program->signal(SIGTERM);
    const bool ended = pumpUntil([&] { return program->process.state() == QProcess::NotRunning; },
                                 quitMs ? 10000 : 5000);
    if (quitMs)
        *quitMs = nowMs() - from;
    if (clean)
        *clean = ended && program->endedNormally(0);
    programErrors += program->stderrSoFar();
    program.reset(); // kills what did not end
}

template <typename F> bool Tour::pumpUntil(F done, int ms)
{
    const std::int64_t until = nowMs() + ms;
    while (!done()) {
        if (nowMs() >= until)
            return false;
        pump();
    }
    return true;
}

void Tour::pumpFor(int ms)
{
    pumpUntil([] { return false; }, ms);
}

void Tour::pump()
{
    QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    QThread::msleep(4);
    const auto none = [](const Event &) {};
    direct.drain([&](const Event &e) { noteEvent(e, 1); });
    control.drain(none);
    routed.drain([&](const Event &e) { noteEvent(e, 0); });
    if (program)
        program->stderrSoFar();
    playNotes();
    checkStuck();
}

void Tour::playNotes()
{
    const std::int64_t now = nowMs();
    const bool open = source && !source->dead.load();
    for (int k = 40; k < 64; ++k) {
        Key &key = keys[std::size_t(k)];
        if (!key.held || (now < key.releaseAt && open))
            continue;
        // With no source to send it, the player still let go.
        key.held = false;
        key.releasedAt = now;
        if (open)
            commands.push({now, 3, {0x80, static_cast<unsigned char>(k), 0}});
    }
    if (!open || now - lastNoteMs < 60)
        return;
    lastNoteMs = now;
    int held = 0;
    for (const Key &key : keys)
        held += key.held;
    if (held >= 3 || random() % 3 != 0)
        return;
    const int k = 40 + int(random() % 24);
    Key &key = keys[std::size_t(k)];
    if (key.held)
        return;
    key.held = true;
    key.releaseAt = now + 150 + std::int64_t(random() % 1200);
    commands.push({now, 3, {0x90, static_cast<unsigned char>(k), 100}});
}

void Tour::noteEvent(const Event &e, int at)
{
    if (e.size != 3 || (e.bytes[0] & 0x0F) != 0)
        return;
    const int type = e.bytes[0] & 0xF0;
    if (type == 0xB0 && (e.bytes[1] == 120 || e.bytes[1] == 123)) {
        for (Key &key : keys)
            key.sounding[at] = key.counted[at] = false;
        return;
    }
    const int k = e.bytes[1];
    if ((type != 0x80 && type != 0x90) || k < 40 || k > 63)
        return;
    Key &key = keys[std::size_t(k)];
    key.sounding[at] = type == 0x90 && e.bytes[2] > 0;
    key.counted[at] = false;
}

// A note still sounding at the unit more than a second after the source let
// go and after the last transition ended; counted once, for the kind of the
// last transition that began before the release.
void Tour::checkStuck()
{
    const std::int64_t now = nowMs();
    if (now - settledAt < 1000)
        return;
    for (Key &key : keys)
        for (int at = 0; at < 2; ++at) {
            if (!key.sounding[at] || key.held || key.counted[at] || now - key.releasedAt < 1000)
                continue;
            key.counted[at] = true;
            for (auto it = started.rbegin(); it != started.rend(); ++it)
                if (it->first <= key.releasedAt + 200) {
                    if (qEnvironmentVariableIsSet("TOUR_VERBOSE"))
                        std::fprintf(stderr,
                                     "\nkey %d left sounding at the %s after %s, "
                                     "released %lld ms after its start\n",
                                     int(&key - keys.data()), at ? "direct sink" : "unit",
                                     kindNames[it->second],
                                     (long long)(key.releasedAt - it->first));
                    ++stats[it->second].stuckNotes[at];
                    break;
                }
        }
}

double Tour::returnAfterMark()
{
    if (!pumpUntil([&] { return routed.firstAfterMark >= 0; }, int(routed.markMs + 5000 - nowMs())))
        return -1;
    return double(routed.firstAfterMark - routed.markMs);
}

bool Tour::inGap(std::int64_t ms, bool forwarder) const
{
    const auto in = [&](const auto &g) { return ms >= g.first && ms <= g.second; };
    return std::any_of(gaps.begin(), gaps.end(), in) ||
           (forwarder && std::any_of(controlGaps.begin(), controlGaps.end(), in));
}

void Tour::sample(int transition)
{
    if (!program)
        return;
    const qint64 pid = program->process.processId();
    samples.push_back({transition, pid, programAge, rssOf(pid),
                       entriesOf(QStringLiteral("/proc/%1/fd").arg(pid)),
                       entriesOf(QStringLiteral("/proc/%1/task").arg(pid))});
}

bool Tour::setUp()
{
    if (!sandbox.valid())
        return false;
    QByteArray config = "[MIDI]\ncreateVirtualInput=No\nmidiInDevice=Tour Source:out\n"
                        "midiChannel=1\nmidiSystem=jack\nmidiOutDevice=Tour Unit:in\n"
                        "translateCC0toPluginSelect=Yes\n\n[Plugin]\n";
    for (int i = 1; i <= 8; ++i)
        config +=
            "loadingTime" + QByteArray::number(i) + "=" + QByteArray::number(loadingMs) + "\n";
    if (!sandbox.writeConfig(config) || !startServer()) {
        std::fprintf(stderr, "tour: the server did not start\n");
        return false;
    }
    if (!startForwarder() || !startProgram()) {
        std::fprintf(stderr, "tour: the forwarder or the program did not start\n");
        return false;
    }
    routed.mark(nowMs());
    if (returnAfterMark() < 0) {
        std::fprintf(stderr, "tour: no MIDI through the program\n");
        return false;
    }
    gap(0, nowMs()); // the rig coming up
    return true;
}

void Tour::transition(Kind kind)
{
    KindStats &s = stats[kind];
    ++s.count;
    const qint64 pidBefore = program ? program->process.processId() : 0;
    const long rssBefore = pidBefore ? rssOf(pidBefore) : -1;
    const std::int64_t start = nowMs();
    started.emplace_back(start, kind);
    std::int64_t back = start;
    bool measure = true;
    settledAt = std::numeric_limits<std::int64_t>::max();
    switch (kind) {
    case UnitGone:
        forget(unit);
        pumpFor(300 + int(random() % 500));
        unit = openClient("Tour Unit", {{"in", &unitRing}});
        back = nowMs();
        break;
    case SourceGone:
        forget(source);
        pumpFor(300 + int(random() % 500));
        openSource();
        connect("Tour Source:out", "Tour Sinks:direct");
        connect("Tour Source:out", "Bench Native:in");
        back = nowMs();
        break;
    case PluginSwitch: {
        // At least one note held when the switch comes.
        bool held = false;
        for (const Key &key : keys)
            held = held || key.held;
        if (!held) {
            keys[40].held = true;
            keys[40].releaseAt = start + 1500;
            commands.push({start, 3, {0x90, 40, 100}});
        }
        const auto bank = static_cast<unsigned char>(random() % 8);
        const auto number = static_cast<unsigned char>(random() % 100);
        commands.push({start, 3, {0xB0, 0x00, bank}});
        commands.push({start, 2, {0xC0, number, 0}});
        back = start + loadingMs + 300;
        pumpFor(loadingMs + 300);
        measure = false;
        break;
    }
    case ServerTerm:
    case ServerKill: {
        stopServer(kind == ServerTerm ? SIGTERM : SIGKILL);
        stopForwarder(SIGKILL); // its client's server is gone
        dropPeers();
        if (!startServer()) {
            ++serverStartFailures;
            std::fprintf(stderr, "tour: the server did not start again\n");
            return;
        }
        back = answeredAt;
        if (!startForwarder())
            std::fprintf(stderr, "tour: the forwarder did not come back\n");
        break;
    }
    case ProgramQuit: {
        std::int64_t quitMs = 0;
        bool clean = false;
        stopProgram(&quitMs, &clean);
        ++quits;
        cleanQuits += clean;
        slowestQuit = std::max(slowestQuit, quitMs);
        if (!startProgram())
            std::fprintf(stderr, "tour: the program did not start again\n");
        back = nowMs();
        break;
    }
    case Panic: {
        measure = false;
        Program panic(sandbox, {QStringLiteral("--panic")});
        panicsAnswered +=
            pumpUntil([&] { return panic.process.state() == QProcess::NotRunning; }, 5000) &&
            panic.endedNormally(0);
        break;
    }
    case KindCount:
        break;
    }
    // What the documented gap covers: the moment before the change, up to a
    // second after the return. A panic has none.
    if (kind != Panic)
        gap(start - 200, back + 1000);
    // Owed Note Offs can go only once MIDI flows again: notes count as left
    // sounding from a second after that (or after the 5 s given up on).
    if (!measure)
        settledAt = back;
    if (measure) {
        if (kind != ServerTerm && kind != ServerKill)
            routed.mark(back);
        const double ms = returnAfterMark();
        settledAt = ms >= 0 ? routed.firstAfterMark : nowMs();
        if (ms >= 0) {
            s.returns.push_back(ms);
        } else {
            // Counted, then made to flow again the way a user would.
            ++s.notBack;
            ++forcedRestarts;
            std::int64_t quitMs = 0;
            bool clean = false;
            stopProgram(&quitMs, &clean);
            forcedCleanQuits += clean;
            slowestForcedQuit = std::max(slowestForcedQuit, quitMs);
            startProgram();
            routed.mark(nowMs());
            returnAfterMark();
        }
    }
    pumpFor(200 + int(random() % 300));
    ++programAge;
    const qint64 pidAfter = program ? program->process.processId() : 0;
    if (pidAfter) {
        const ProcSample now{int(started.size()),
                             pidAfter,
                             programAge,
                             rssOf(pidAfter),
                             entriesOf(QStringLiteral("/proc/%1/fd").arg(pidAfter)),
                             entriesOf(QStringLiteral("/proc/%1/task").arg(pidAfter))};
        auto &life = lives[pidAfter];
        if (life.first.pid == 0)
            life.first = now;
        life.second = now;
    }
    if (pidBefore && pidAfter == pidBefore && rssBefore > 0) {
        ++s.rssSamples;
        s.rssDeltaKiB += double(rssOf(pidAfter) - rssBefore);
    }
}

void Tour::run(int transitions, int budgetSeconds)
{
    QElapsedTimer clock;
    clock.start();
    sample(0);
    int done = 0;
    // TOUR_KINDS=unit,source,switch,term,kill,quit,panic chooses some.
    const char *shortNames[KindCount] = {"unit", "source", "switch", "term",
                                         "kill", "quit",   "panic"};
    const QStringList wanted = qEnvironmentVariable("TOUR_KINDS").split(QLatin1Char(','));
    std::vector<Kind> kinds;
    for (int k = 0; k < KindCount; ++k)
        if (qEnvironmentVariableIsEmpty("TOUR_KINDS") ||
            wanted.contains(QLatin1String(shortNames[k])))
            kinds.push_back(Kind(k));
    while (done < transitions && !kinds.empty() && clock.elapsed() < qint64(budgetSeconds) * 1000) {
        transition(kinds[random() % kinds.size()]);
        if (serverStartFailures > 0)
            break;
        if (++done % 100 == 0 || done == transitions)
            sample(done);
        std::fprintf(stderr, "\r%d/%d transitions", done, transitions);
    }
    std::fprintf(stderr, "\n");
    // The player lets go, the source goes quiet; what is on its way still
    // arrives.
    for (Key &key : keys)
        key.releaseAt = std::min(key.releaseAt, nowMs());
    pumpFor(300);
    forget(source);
    pumpFor(1500);
    std::printf("%d transitions in %.0f s\n", done, double(clock.elapsed()) / 1000);
}

void Tour::finish()
{
    if (finished)
        return;
    finished = true;
    stopProgram();
    stopForwarder(serverDead() ? SIGKILL : SIGTERM);
    dropPeers();
    if (!pipewire && jackd.state() != QProcess::NotRunning) {
        jackd.terminate();
        jackd.waitForFinished(10000);
    }
}

void Tour::report()
{
    const std::uint64_t sent = stream.sent.load();
    std::printf("\n| path | sent | direct got | got of those | lost in gaps | lost outside gaps | "
                "order faults | duplicates |\n|---|---|---|---|---|---|---|---|\n");
    std::printf(
        "| direct connection | %llu | %llu | | | | %llu | %llu |\n", (unsigned long long)sent,
        (unsigned long long)std::count_if(direct.got.begin(), direct.got.begin() + long(sent),
                                          [](unsigned char c) { return c > 0; }),
        (unsigned long long)direct.orderFaults, (unsigned long long)direct.duplicates);
    std::map<std::string, std::uint64_t> outsideAfter;
    for (Received *r : {&control, &routed}) {
        std::uint64_t base = 0, got = 0, inGaps = 0, outside = 0;
        for (std::uint64_t seq = 0; seq < sent; ++seq) {
            if (!direct.got[seq])
                continue;
            ++base;
            if (r->got[seq])
                ++got;
            else if (inGap(stream.sentAt[seq], r == &control))
                ++inGaps;
            else {
                ++outside;
                // After which kind of transition.
                const auto after = std::upper_bound(started.begin(), started.end(),
                                                    std::make_pair(stream.sentAt[seq], KindCount));
                outsideAfter[std::string("lost outside gaps through the ") + r->name + ", after " +
                             (after == started.begin() ? "the start"
                                                       : kindNames[(after - 1)->second])]++;
            }
        }
        std::printf("| through the %s | | %llu | %llu | %llu | %llu | %llu | %llu |\n", r->name,
                    (unsigned long long)base, (unsigned long long)got, (unsigned long long)inGaps,
                    (unsigned long long)outside, (unsigned long long)r->orderFaults,
                    (unsigned long long)r->duplicates);
    }

    for (Received *r : {&direct, &control, &routed})
        for (const std::int64_t at : r->duplicateSentAt) {
            const auto after =
                std::upper_bound(started.begin(), started.end(), std::make_pair(at, KindCount));
            outsideAfter[std::string("duplicates through the ") + r->name + ", after " +
                         (after == started.begin() ? "the start"
                                                   : kindNames[(after - 1)->second])]++;
        }
    for (const auto &[where, count] : outsideAfter)
        std::printf("%s: %llu\n", where.c_str(), (unsigned long long)count);
    std::printf("\n| transition | count | back: median ms | p90 | max | not back within 5 s | "
                "notes left sounding > 1 s: program | direct | RSS per transition |\n"
                "|---|---|---|---|---|---|---|---|---|\n");
    for (int k = 0; k < KindCount; ++k) {
        const KindStats &s = stats[k];
        const bool timed = k != PluginSwitch && k != Panic;
        std::printf("| %s | %d | ", kindNames[k], s.count);
        if (timed && !s.returns.empty())
            std::printf("%.0f | %.0f | %.0f | ", percentile(s.returns, 0.5),
                        percentile(s.returns, 0.9), percentile(s.returns, 1.0));
        else
            std::printf("- | - | - | ");
        std::printf("%s | %d | %d | ", timed ? QByteArray::number(s.notBack).constData() : "-",
                    s.stuckNotes[0], s.stuckNotes[1]);
        if (s.rssSamples)
            std::printf("%+.0f KiB |\n", s.rssDeltaKiB / s.rssSamples);
        else
            std::printf("- |\n");
    }
    int stillSounding = 0, stillDirect = 0;
    for (const Key &key : keys) {
        stillSounding += key.sounding[0] && !key.held;
        stillDirect += key.sounding[1] && !key.held;
    }
    std::printf("\n\"back\": from the port's return, the server answering again or the program's "
                "ports on the server, to the next numbered message through the program. After "
                "\"not back within 5 s\" the program was quit and started again (%d times: %d "
                "with exit 0, slowest quit %lld ms).\n",
                forcedRestarts, forcedCleanQuits, (long long)slowestForcedQuit);
    std::printf("Notes sounding at the end with the source's key up: %d at the unit, %d at the "
                "direct sink.\n",
                stillSounding, stillDirect);
    std::printf("Quits: %d, %d with exit 0 within 10 s, slowest %lld ms. Panics answered: %d "
                "of %d.\n",
                quits, cleanQuits, (long long)slowestQuit, panicsAnswered, stats[Panic].count);

    std::printf("\n| after transition | program pid | its transitions | RSS MB | descriptors | "
                "threads |\n|---|---|---|---|---|---|\n");
    for (const ProcSample &p : samples)
        std::printf("| %d | %lld | %d | %.1f | %d | %d |\n", p.transition, (long long)p.pid, p.age,
                    double(p.rssKiB) / 1024, p.fds, p.threads);
    const auto longest =
        std::max_element(lives.begin(), lives.end(), [](const auto &a, const auto &b) {
            return a.second.second.age < b.second.second.age;
        });
    if (longest != lives.end()) {
        const ProcSample &a = longest->second.first, &b = longest->second.second;
        std::printf("\nThe longest-lived program process (pid %lld): after its transition %d RSS "
                    "%.1f MB, %d descriptors, %d threads; after its transition %d RSS %.1f MB, %d "
                    "descriptors, %d threads: %+.0f KiB per 100 transitions.\n",
                    (long long)a.pid, a.age, double(a.rssKiB) / 1024, a.fds, a.threads, b.age,
                    double(b.rssKiB) / 1024, b.fds, b.threads,
                    b.age > a.age ? double(b.rssKiB - a.rssKiB) * 100 / (b.age - a.age) : 0.0);
    }
    int lines = 0;
    for (const QByteArray &line : programErrors.split('\n'))
        lines += line.contains("could not connect");
    std::printf("\nProgram starts: %d; \"could not connect\" lines on its stderr: %d.\n",
                programStarts, lines);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    // Every look for a server that is away would print a paragraph.
    jack_set_error_function([](const char *) {});
    jack_set_info_function([](const char *) {});
    if (argc < 3) {
        std::fprintf(stderr, "usage: bench_tour jackd|pipewire N [seed] [pipewire-dir script]\n");
        return 2;
    }
    const bool pipewire = qstrcmp(argv[1], "pipewire") == 0;
    const int n = std::atoi(argv[2]);
    const unsigned seed = argc > 3 ? unsigned(std::strtoul(argv[3], nullptr, 10)) : 1;
    if (pipewire && argc < 6) {
        std::fprintf(stderr, "tour: PipeWire needs its directory and script\n");
        return 2;
    }
    std::printf("tour on %s: %d transitions, seed %u; %d numbered Control Changes a cycle "
                "(256 frames at 48 kHz), up to 3 notes held\n",
                pipewire ? "PipeWire's JACK" : "jackd", n, seed, perCycle);
    Tour tour(pipewire, pipewire ? QString::fromLocal8Bit(argv[4]) : QString(),
              pipewire ? QString::fromLocal8Bit(argv[5]) : QString(), seed);
    if (!tour.setUp())
        return 1;
    // A few minutes for a hundred; never an hour.
    tour.run(n, std::max(120, n * 12));
    tour.report();
    return 0;
}
