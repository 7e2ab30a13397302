// The router on a real ALSA sequencer: bursts sent in one go beside a
// direct connection (one from VirMIDI to VirMIDI, with the kernel's own
// counts of what the router's input pool refused and of what overran the
// unit's buffer); latency one message at a time beside a direct
// connection, a one-hop forwarder and an RtMidi pass-through; the router's
// system calls per message. Prints Markdown rows; bench/alsa.sh runs it in
// the guest.
// Usage: bench_alsa burst MACHINE-LABEL RUNS [--header]
//        bench_alsa latency MACHINE-LABEL MESSAGES [--header]
//        bench_alsa calls MESSAGES
#include "alsapeers.h"

#include "midi/midiio.h"
#include "midi/realtime.h"
#include "sandbox.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QMap>
#include <QProcess>
#include <QScopeGuard>
#include <QTest>

#include <alsa/asoundlib.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <string>

#include <pthread.h>
#include <sched.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

const QString routerInput = QStringLiteral("Brantolex helper input:Brantolex helper virtual input");
const Bytes sentinel{0xB0, 0x7F, 0x7F}; // no burst uses controller 127

// Subscribes one port to another, as aconnect does: the peers' own classes
// connect only a burst peer's output.
bool subscribe(const QString &from, const QString &to)
{
    snd_seq_t *seq = nullptr;
    if (snd_seq_open(&seq, "default", SND_SEQ_OPEN_DUPLEX, 0) < 0)
        return false;
    snd_seq_addr_t sender, dest;
    int r = -ENOENT;
    if (findAlsaPort(seq, from, sender) && findAlsaPort(seq, to, dest)) {
        snd_seq_port_subscribe_t *sub;
        snd_seq_port_subscribe_alloca(&sub);
        snd_seq_port_subscribe_set_sender(sub, &sender);
        snd_seq_port_subscribe_set_dest(sub, &dest);
        r = snd_seq_subscribe_port(seq, sub);
    }
    snd_seq_close(seq);
    return r >= 0 || r == -EBUSY;
}

// The router as the program sets it up for a unit: channel 1, sysex passed.
std::unique_ptr<MidiIO> makeRouter()
{
    auto router = std::make_unique<MidiIO>();
    router->setMidiChannel(1);
    router->setIgnoreSysex(false);
    router->setIgnoreClockMessages(true);
    router->setTranslateCC0(true);
    return router;
}

// The router's output to the named port; its input from the named source,
// or its virtual input.
bool openRouter(MidiIO &router, const QString &sinkPort, const QString &source = QString())
{
    router.refreshPorts();
    return QTest::qWaitFor(
               [&] {
                   return router.midiOutPorts.contains(sinkPort) &&
                          (source.isEmpty() || router.midiInPorts.contains(source));
               },
               10000) &&
           (source.isEmpty() ? router.openMidiIn(-1, true) : router.openMidiInNamed(source)) &&
           router.openMidiOutNamed(sinkPort);
}

// ---------------------------------------------------------------- bursts ---

struct Burst
{
    const char *label;
    std::vector<Bytes> messages;
    // Both ends kernel clients, as a USB keyboard and a USB unit are: two
    // VirMIDI devices, written and read raw.
    bool kernelEnds = false;
};

Bytes sysex(std::size_t size, int index)
{
    // Every byte depends on the message and its place: pieces that arrive
    // swapped or twice do not pass as intact.
    Bytes m(size);
    for (std::size_t k = 0; k < size; ++k)
        m[k] = static_cast<unsigned char>((std::size_t(index) * 7 + k) % 125 + 1);
    m.front() = 0xF0;
    m.back() = 0xF7;
    return m;
}

std::vector<Burst> bursts()
{
    std::vector<Burst> all;
    for (const int count : {1000, 5000}) {
        Burst b{count == 1000 ? "1,000 CCs" : "5,000 CCs", {}};
        for (int i = 0; i < count; ++i)
            b.messages.push_back({0xB0, static_cast<unsigned char>(i % 120 + 1),
                                  static_cast<unsigned char>(i % 128)});
        all.push_back(std::move(b));
    }
    Burst bank{"200 sysex of 1 KB", {}};
    for (int i = 0; i < 200; ++i)
        bank.messages.push_back(sysex(1024, i));
    all.push_back(std::move(bank));
    all.push_back({"1 sysex of 64 KB", {sysex(64 * 1024, 0)}});
    all.push_back({"5,000 CCs, VirMIDI to VirMIDI", all[1].messages, true});
    return all;
}

struct BurstResult
{
    bool ran = false;
    std::size_t arrived = 0, intact = 0;
    int refused = 0;
    double ms = 0; // from the send to the sentinel's arrival, to 10 ms
    bool sentinelBack = false;
    // Where a burst between kernel clients is lost, as the kernel counts:
    // events the router's input pool refused, bytes the unit's raw MIDI
    // buffer had no room for (-1: not counted).
    long poolRefused = -1, unitOverrun = -1;
};

// The number after the colon on the line that holds the last of the marks,
// each found on a line after the one before; -1 when they are not there.
long procCount(const QString &file, const QStringList &marks)
{
    QFile f(file);
    if (!f.open(QIODevice::ReadOnly | QIODevice::Text))
        return -1;
    int next = 0;
    for (const QString &line : QString::fromUtf8(f.readAll()).split('\n'))
        if (line.contains(marks[next]) && ++next == int(marks.size()))
            return line.section(':', 1).trimmed().toLong();
    return -1;
}

// Counted while the ends and the router are still open: the unit's input
// (VirMIDI 0-1) and the router's client are gone with them.
void countLosses(BurstResult &r, bool router)
{
    r.unitOverrun = procCount("/proc/asound/card0/midi1", {"Overruns"});
    if (router)
        r.poolRefused = procCount("/proc/asound/seq/clients",
                                  {"\"Brantolex helper input\"", "Input pool", "Alloc failures"});
}

// Sends the burst and the sentinel behind it, takes what arrives until the
// sentinel does or nothing came for 5 s.
BurstResult run(AlsaBurstPeer &peer, const std::vector<Bytes> &sent)
{
    BurstResult r;
    std::vector<Bytes> got;
    std::vector<Bytes> list(sent);
    list.push_back(sentinel);
    const auto start = Clock::now();
    if (!peer.send(std::move(list)))
        return r;
    r.ran = true;
    auto last = Clock::now();
    (void)QTest::qWaitFor(
        [&] {
            for (Bytes &m : peer.takeReceived()) {
                last = Clock::now();
                if (m == sentinel) {
                    r.sentinelBack = true;
                    r.ms = std::chrono::duration<double, std::milli>(last - start).count();
                } else {
                    got.push_back(std::move(m));
                }
            }
            return r.sentinelBack || Clock::now() - last > std::chrono::seconds(5);
        },
        600000);
    // In order: each arrival must match the next sent message not yet seen.
    std::size_t next = 0;
    for (const Bytes &m : got) {
        std::size_t k = next;
        while (k < sent.size() && sent[k] != m)
            ++k;
        if (k < sent.size()) {
            ++r.intact;
            next = k + 1;
        }
    }
    r.arrived = got.size();
    r.refused = peer.refused();
    return r;
}

// Pings until the sentinel comes back: the burst meets a path that carries.
bool warmUp(AlsaBurstPeer &peer)
{
    for (int attempt = 0; attempt < 20; ++attempt) {
        peer.send({sentinel});
        if (QTest::qWaitFor(
                [&] {
                    const std::vector<Bytes> got = peer.takeReceived();
                    return std::find(got.begin(), got.end(), sentinel) != got.end();
                },
                1000))
            return true;
    }
    return false;
}

std::unique_ptr<AlsaBurstPeer> makePeer(bool kernelEnds)
{
    return kernelEnds ? std::make_unique<AlsaBurstPeer>(0, 1)
                      : std::make_unique<AlsaBurstPeer>("Bench Burst");
}

std::optional<BurstResult> direct(const std::vector<Bytes> &sent, bool kernelEnds = false)
{
    const auto ends = makePeer(kernelEnds);
    AlsaBurstPeer &peer = *ends;
    // A connection between kernel clients outlives the peer that made it.
    const auto unlink = qScopeGuard([&] {
        if (kernelEnds)
            alsaConnect(peer.outName(), peer.inName(), false);
    });
    if (!peer.isOpen() || !peer.connectTo(peer.inName()) || !warmUp(peer))
        return std::nullopt;
    BurstResult r = run(peer, sent);
    if (kernelEnds)
        countLosses(r, false);
    return r;
}

std::optional<BurstResult> throughRouter(const std::vector<Bytes> &sent, bool kernelEnds = false)
{
    const auto ends = makePeer(kernelEnds);
    AlsaBurstPeer &peer = *ends;
    const auto router = makeRouter();
    if (!peer.isOpen() || !openRouter(*router, peer.inName()) || !peer.connectTo(routerInput) ||
        !warmUp(peer))
        return std::nullopt;
    BurstResult r = run(peer, sent);
    // What the router still holds goes to a peer that is about to close.
    router->settle();
    if (kernelEnds)
        countLosses(r, true);
    return r;
}

double median(std::vector<double> v)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// One path's runs of one burst.
struct BurstRuns
{
    std::vector<BurstResult> runs;

    std::size_t intact() const
    {
        std::size_t n = 0;
        for (const BurstResult &r : runs)
            n += r.intact;
        return n;
    }
    double ms() const
    {
        std::vector<double> times;
        for (const BurstResult &r : runs)
            if (r.sentinelBack)
                times.push_back(r.ms);
        return median(times);
    }
    // "200 / 39 / 200 of 200 intact in order, 71 refused at the source, ..."
    QString describe(std::size_t count) const
    {
        QStringList intacts;
        std::size_t broken = 0;
        int refused = 0, markersLost = 0, failed = 0;
        long poolRefused = 0, unitOverrun = 0;
        for (const BurstResult &r : runs) {
            if (!r.ran) {
                ++failed;
                continue;
            }
            intacts << QString::number(r.intact);
            broken += r.arrived - r.intact;
            refused += r.refused;
            markersLost += r.sentinelBack ? 0 : 1;
            poolRefused += std::max(0L, r.poolRefused);
            unitOverrun += std::max(0L, r.unitOverrun);
        }
        QString s =
            intacts.isEmpty() ? QStringLiteral("none") : intacts.join(QStringLiteral(" / "));
        s += QStringLiteral(" of %1 intact in order").arg(count);
        if (broken > 0)
            s += QStringLiteral(", %1 broken").arg(broken);
        if (refused > 0)
            s += QStringLiteral(", %1 refused at the source").arg(refused);
        if (markersLost > 0)
            s += QStringLiteral(", end marker lost in %1").arg(markersLost);
        if (poolRefused > 0)
            s += QStringLiteral(", %1 refused by the router's input pool").arg(poolRefused);
        if (unitOverrun > 0)
            s += QStringLiteral(", %1 bytes overran the unit's buffer").arg(unitOverrun);
        if (failed > 0)
            s += QStringLiteral(", %1 runs without a path").arg(failed);
        if (ms() > 0)
            s += QStringLiteral(", %1 ms").arg(ms(), 0, 'f', 0);
        return s;
    }
};

int burstTable(const QString &machine, int runs, bool header)
{
    if (header) {
        std::printf("| burst | machine | direct connection | through the router | "
                    "ratio intact | ratio time |\n|---|---|---|---|---|---|\n");
    }
    // Not shown: the guest's emulator translates code the first time it
    // runs, which would weigh on the first row's first path.
    std::vector<Bytes> warm(bursts()[0].messages);
    warm.resize(200);
    for (int i = 0; i < 5; ++i)
        warm.push_back(sysex(1024, i));
    (void)direct(warm);
    (void)throughRouter(warm);

    const auto ratio = [](double a, double b) {
        return b > 0 ? QString::number(a / b, 'f', 3) : QStringLiteral("-");
    };
    for (const Burst &b : bursts()) {
        // In turns, so that what the guest does meanwhile weighs on both.
        BurstRuns d, r;
        for (int run = 0; run < runs; ++run) {
            d.runs.push_back(direct(b.messages, b.kernelEnds).value_or(BurstResult{}));
            r.runs.push_back(throughRouter(b.messages, b.kernelEnds).value_or(BurstResult{}));
        }
        std::printf("| %s | %s | %s | %s | %s | %s |\n", b.label, qPrintable(machine),
                    qPrintable(d.describe(b.messages.size())),
                    qPrintable(r.describe(b.messages.size())),
                    qPrintable(ratio(double(r.intact()), double(d.intact()))),
                    qPrintable(ratio(r.ms(), d.ms())));
        std::fflush(stdout);
    }
    return 0;
}

// --------------------------------------------------------------- latency ---

// A program beside this one that forwards between its ports "in" and "out";
// its ports are waited for.
struct Helper
{
    Helper(const QString &program, const QStringList &args, const QString &in, const QString &out)
        : in(in), out(out)
    {
        process.setProgram(QCoreApplication::applicationDirPath() + "/" + program);
        process.setArguments(args);
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process.start();
    }
    ~Helper()
    {
        process.terminate();
        if (!process.waitForFinished(3000))
            process.kill();
        process.waitForFinished(3000);
    }
    bool ready()
    {
        return process.waitForStarted(5000) &&
               QTest::qWaitFor(
                   [&] {
                       const QStringList ports = alsaPorts(QString());
                       return ports.contains(in) && ports.contains(out);
                   },
                   10000);
    }
    QProcess process;
    QString in, out;
};

// One path's source and sink; the sink's reader times each arrival.
struct LatencyRig
{
    explicit LatencyRig(const std::string &name)
        : source(name + " Source"), sink(name + " Sink", log)
    {
        log->setHook([this](const Bytes &) {
            std::lock_guard<std::mutex> lock(mutex);
            arrived.notify_all();
        });
    }
    bool isOpen() const { return source.isOpen() && sink.isOpen(); }

    // Sends the message and waits for it: the time from just before the
    // send to the sink's read, in µs; none when it did not come back.
    std::optional<double> roundTrip(const Bytes &m)
    {
        const std::size_t before = log->size();
        const auto start = Clock::now();
        if (!source.send(m))
            return std::nullopt;
        std::unique_lock<std::mutex> lock(mutex);
        if (!arrived.wait_for(lock, std::chrono::seconds(5), [&] { return log->size() > before; }))
            return std::nullopt;
        lock.unlock();
        if (log->all()[before] != m)
            return std::nullopt;
        return std::chrono::duration<double, std::micro>(log->timeOf(before) - start).count();
    }
    bool warmUp()
    {
        for (int attempt = 0; attempt < 20; ++attempt) {
            source.send(sentinel);
            if (QTest::qWaitFor([&] { return log->size() > 0; }, 1000)) {
                // Late pings must not pass for a measured message.
                QTest::qWait(200);
                log->clear();
                return true;
            }
        }
        return false;
    }

    std::shared_ptr<MessageLog> log = std::make_shared<MessageLog>();
    std::mutex mutex;
    std::condition_variable arrived;
    AlsaSource source;
    AlsaSink sink;
};

struct Latency
{
    const char *path;
    int sent = 0;
    std::vector<double> us;

    void add(std::optional<double> t)
    {
        ++sent;
        if (t)
            us.push_back(*t);
    }
    double average() const
    {
        double sum = 0;
        for (const double x : us)
            sum += x;
        return us.empty() ? 0 : sum / double(us.size());
    }
    double percentile(double p) const
    {
        if (us.empty())
            return 0;
        std::vector<double> sorted(us);
        std::sort(sorted.begin(), sorted.end());
        return sorted[std::min(sorted.size() - 1, std::size_t(p * double(sorted.size())))];
    }
};

// The router's virtual input from the rig's source, its output to the sink.
bool routeThrough(MidiIO &router, LatencyRig &rig)
{
    return openRouter(router, rig.sink.portName()) && subscribe(rig.source.portName(), routerInput);
}

// A process's threads, by id.
QStringList threadsOf(qint64 pid)
{
    return QDir(QStringLiteral("/proc/%1/task").arg(pid))
        .entryList(QDir::Dirs | QDir::NoDotAndDotDot);
}

// A thread's SCHED_FIFO priority; 0 when it runs at normal priority.
int fifoPriority(const QString &tid)
{
    sched_param param{};
    return sched_getscheduler(pid_t(tid.toInt())) == SCHED_FIFO &&
                   sched_getparam(pid_t(tid.toInt()), &param) == 0
               ? param.sched_priority
               : 0;
}

// Each thread of a process by its scheduling: "SCHED_FIFO 11 ×2, normal ×5".
QString priorities(qint64 pid)
{
    QMap<QString, int> count;
    for (const QString &tid : threadsOf(pid)) {
        const int fifo = fifoPriority(tid);
        ++count[fifo ? QStringLiteral("SCHED_FIFO %1").arg(fifo) : QStringLiteral("normal")];
    }
    QStringList parts;
    for (auto it = count.begin(); it != count.end(); ++it)
        parts << QStringLiteral("%1 ×%2").arg(it.key()).arg(it.value());
    return parts.join(QStringLiteral(", "));
}

// What a path's own threads spent: CPU time and context switches, summed
// over a process's threads (those at the given real-time priority only,
// where one is given), and how many of them ran.
struct ThreadCost
{
    double cpuUs = 0;
    long switches = 0;
    QMap<QString, double> perThread;
};

ThreadCost threadCost(qint64 pid, int onlyPriority = -1)
{
    ThreadCost cost;
    const QString task = QStringLiteral("/proc/%1/task/").arg(pid);
    for (const QString &tid : threadsOf(pid)) {
        if (onlyPriority >= 0 && fifoPriority(tid) != onlyPriority)
            continue;
        QFile sched(task + tid + "/schedstat");
        QFile status(task + tid + "/status");
        if (!sched.open(QIODevice::ReadOnly) || !status.open(QIODevice::ReadOnly))
            continue;
        const double us = QString::fromLatin1(sched.readAll()).section(' ', 0, 0).toDouble() / 1000;
        cost.cpuUs += us;
        cost.perThread[tid] = us;
        for (const QByteArray &line : status.readAll().split('\n'))
            if (line.contains("ctxt_switches:"))
                cost.switches += line.mid(line.indexOf(':') + 1).trimmed().toLong();
    }
    return cost;
}

// From one sample to a later one, per message: CPU µs, switches and the
// threads that ran.
QString costPerMessage(const ThreadCost &before, const ThreadCost &after, int messages)
{
    int ran = 0;
    for (auto it = after.perThread.begin(); it != after.perThread.end(); ++it)
        if (it.value() > before.perThread.value(it.key()))
            ++ran;
    return QStringLiteral("%1 | %2 | %3")
        .arg((after.cpuUs - before.cpuUs) / std::max(1, messages), 0, 'f', 0)
        .arg(double(after.switches - before.switches) / std::max(1, messages), 0, 'f', 2)
        .arg(ran);
}

// Every thread of a process on one CPU; in this process, the router's MIDI
// threads on one and the rest on another.
void pin(qint64 pid, int cpu, int otherCpu = -1)
{
    for (const QString &tid : threadsOf(pid)) {
        const bool midi = fifoPriority(tid) == midiPriority();
        cpu_set_t set;
        CPU_ZERO(&set);
        CPU_SET(otherCpu < 0 || midi ? cpu : otherCpu, &set);
        sched_setaffinity(pid_t(tid.toInt()), sizeof set, &set);
    }
}

// The built program, headless with a home of its own, from the rig's source
// to its sink on channel 1, as a user runs it.
std::unique_ptr<Program> startProgram(const Sandbox &sandbox, const LatencyRig &rig)
{
    const QByteArray config = "[MIDI]\ncreateVirtualInput=No\nmidiInDevice=" +
                              rig.source.portName().toUtf8() +
                              "\nmidiChannel=1\nmidiSystem=alsa\nmidiOutDevice=" +
                              rig.sink.portName().toUtf8() +
                              "\ntranslateCC0toPluginSelect=Yes\n";
    if (!sandbox.valid() || !sandbox.writeConfig(config))
        return nullptr;
    auto program = std::make_unique<Program>(sandbox, QStringList{QStringLiteral("--headless")});
    return program->process.waitForStarted(startMs) ? std::move(program) : nullptr;
}

// Every path open side by side and measured in turns, one message each, so
// that what the guest does meanwhile weighs on all alike: a direct
// connection, the one-hop forwarder at the MIDI threads' priority (the
// anchor) and at normal priority, an RtMidi pass-through, the router in
// this process and alone in a process of its own, and the built program.
// Pinned: every path's forwarding threads on the second CPU and the bench's
// sources and sinks on the first, so that each hop crosses from one to the
// other on every path alike (otherwise where the scheduler left a
// real-time thread decides whether its hop waits for a halted CPU).
int latencyTable(const QString &machine, int messages, bool header, bool pinned)
{
    constexpr int pathCount = 7;
    LatencyRig rigs[pathCount] = {LatencyRig("Bench Direct"), LatencyRig("Bench Hop"),
                                  LatencyRig("Bench Slow Hop"), LatencyRig("Bench Rt"),
                                  LatencyRig("Bench Routed"), LatencyRig("Bench Program"),
                                  LatencyRig("Bench Alone")};
    const QString fifo = QString::number(midiPriority());
    Helper forwarder("bench_alsaforward", {"Bench Forward", fifo}, "Bench Forward:in",
                     "Bench Forward:out");
    Helper slowForwarder("bench_alsaforward", {"Bench Slow Forward", "0"},
                         "Bench Slow Forward:in", "Bench Slow Forward:out");
    Helper passthrough("bench_passthrough", {"alsa"}, "Bench Passthrough In:in",
                       "Bench Passthrough Out:out");
    const auto router = makeRouter();
    Sandbox sandbox;
    std::unique_ptr<Program> program;
    // The router's input reads the source by name: the virtual input's name
    // is this process's router's.
    QProcess alone;
    alone.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    alone.start(QCoreApplication::applicationFilePath(),
                {"host", rigs[6].sink.portName(), rigs[6].source.portName()});
    const auto endAlone = qScopeGuard([&alone] {
        alone.terminate();
        alone.waitForFinished(5000);
    });
    const char *problem = nullptr;
    if (!std::all_of(std::begin(rigs), std::end(rigs),
                     [](const LatencyRig &r) { return r.isOpen(); }))
        problem = "a source or sink did not open";
    else if (!forwarder.ready() || !slowForwarder.ready())
        problem = "a one-hop forwarder's ports did not appear";
    else if (!passthrough.ready())
        problem = "the RtMidi pass-through's ports did not appear";
    else if (!subscribe(rigs[0].source.portName(), rigs[0].sink.portName()) ||
             !subscribe(rigs[1].source.portName(), forwarder.in) ||
             !subscribe(forwarder.out, rigs[1].sink.portName()) ||
             !subscribe(rigs[2].source.portName(), slowForwarder.in) ||
             !subscribe(slowForwarder.out, rigs[2].sink.portName()) ||
             !subscribe(rigs[3].source.portName(), passthrough.in) ||
             !subscribe(passthrough.out, rigs[3].sink.portName()))
        problem = "a connection failed";
    else if (!routeThrough(*router, rigs[4]))
        problem = "the router did not open its ports";
    else if (!(program = startProgram(sandbox, rigs[5])))
        problem = "the program did not start";
    else if (!alone.waitForReadyRead(20000))
        problem = "the router in a process of its own did not open its ports";
    for (int p = 0; !problem && p < pathCount; ++p)
        if (!rigs[p].warmUp())
            problem = "a path carries nothing";
    if (problem) {
        std::fprintf(stderr, "bench_alsa: %s\n", problem);
        if (program)
            std::fprintf(stderr, "%s", program->stderrSoFar().constData());
        return 1;
    }
    Latency paths[pathCount] = {{"direct connection", 0, {}},
                                {"one-hop forwarder (anchor)", 0, {}},
                                {"one-hop forwarder, normal priority", 0, {}},
                                {"RtMidi pass-through", 0, {}},
                                {"the router (MidiIO in the bench)", 0, {}},
                                {"the program, headless", 0, {}},
                                {"the router alone in a process", 0, {}}};
    // The threads each path's messages pass through beyond the rig's own:
    // none for the direct connection, the router's in this process.
    const qint64 pids[pathCount] = {0,
                                    forwarder.process.processId(),
                                    slowForwarder.process.processId(),
                                    passthrough.process.processId(),
                                    QCoreApplication::applicationPid(),
                                    program->process.processId(),
                                    alone.processId()};
    const auto sample = [&](int p) {
        return pids[p] ? threadCost(pids[p], p == 4 ? midiPriority() : -1) : ThreadCost{};
    };
    if (pinned)
        for (int p = 0; p < pathCount; ++p)
            if (pids[p])
                pin(pids[p], 1, pids[p] == QCoreApplication::applicationPid() ? 0 : -1);
    ThreadCost before[pathCount];
    // The first rounds are not counted: the guest's emulator translates code
    // the first time it runs.
    const int unmeasured = std::min(100, messages);
    for (int i = -unmeasured; i < messages; ++i) {
        const Bytes m{0xB0, static_cast<unsigned char>((i + unmeasured) % 120 + 1),
                      static_cast<unsigned char>((i + unmeasured) % 128)};
        if (i == 0)
            for (int p = 0; p < pathCount; ++p)
                before[p] = sample(p);
        // Each round starts one path further on: no path always follows the
        // same one.
        for (int k = 0; k < pathCount; ++k) {
            const int p = (i + unmeasured + k) % pathCount;
            const auto t = rigs[p].roundTrip(m);
            if (i >= 0)
                paths[p].add(t);
        }
    }
    if (header)
        std::printf("Threads by scheduling (%s): anchor %s; normal-priority forwarder %s; "
                    "pass-through %s; the bench (the router and the sinks' readers) %s; the "
                    "program %s; the router alone %s\n\n",
                    qPrintable(machine), qPrintable(priorities(forwarder.process.processId())),
                    qPrintable(priorities(slowForwarder.process.processId())),
                    qPrintable(priorities(passthrough.process.processId())),
                    qPrintable(priorities(QCoreApplication::applicationPid())),
                    qPrintable(priorities(program->process.processId())),
                    qPrintable(priorities(alone.processId())));
    if (header)
        std::printf("| path | machine | back | avg µs | p50 µs | p99 µs | max µs | p50 ÷ anchor "
                    "| p99 ÷ anchor | CPU µs a message | switches a message | threads that ran "
                    "|\n|---|---|---|---|---|---|---|---|---|---|---|---|\n");
    const Latency &anchor = paths[1];
    for (int p = 0; p < pathCount; ++p) {
        const Latency &l = paths[p];
        std::printf("| %s | %s | %zu of %d | %.0f | %.0f | %.0f | %.0f | %.2f | %.2f | %s |\n",
                    l.path, qPrintable(machine), l.us.size(), l.sent, l.average(),
                    l.percentile(0.5), l.percentile(0.99), l.percentile(1.0),
                    l.percentile(0.5) / std::max(1.0, anchor.percentile(0.5)),
                    l.percentile(0.99) / std::max(1.0, anchor.percentile(0.99)),
                    pids[p] ? qPrintable(costPerMessage(before[p], sample(p), messages))
                            : "- | - | -");
    }
    std::fflush(stdout);
    return 0;
}

// --------------------------------------------------------- system calls ---

// The router alone in this process, from its virtual input (or the named
// source) to the named port, until SIGTERM: the process whose system calls are counted.
int hostRouter(const QString &sinkPort, const QString &source)
{
    // Waited for in one call: the main thread's idle wake-ups are not the
    // router's.
    sigset_t term;
    sigemptyset(&term);
    sigaddset(&term, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &term, nullptr);
    const auto router = makeRouter();
    if (!openRouter(*router, sinkPort, source))
        return 1;
    std::puts("routing");
    std::fflush(stdout);
    int signal = 0;
    sigwait(&term, &signal);
    return 0;
}

// Counts the router's system calls, over all its threads, while the
// messages pass one at a time (strace attached after the set-up).
int callsPerMessage(int messages)
{
    LatencyRig rig("Bench Calls");
    QProcess host;
    host.setProgram(QCoreApplication::applicationFilePath());
    host.setArguments({"host", rig.sink.portName()});
    host.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    host.start();
    if (!rig.isOpen() || !host.waitForReadyRead(20000) ||
        !subscribe(rig.source.portName(), routerInput) || !rig.warmUp()) {
        std::fprintf(stderr, "bench_alsa: no path through the router\n");
        return 1;
    }
    QStringList attach{"-f", "-c", "-o", "/tmp/bench-alsa-strace.txt"};
    const QDir tasks(QStringLiteral("/proc/%1/task").arg(host.processId()));
    for (const QString &tid : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot))
        attach << "-p" << tid;
    QProcess strace;
    strace.start("strace", attach);
    // strace says each thread it attached to on its stderr.
    const int threads = int(attach.size() - 4) / 2;
    QByteArray said;
    (void)QTest::qWaitFor(
        [&] {
            said += strace.readAllStandardError();
            return said.count("attached") >= threads;
        },
        10000);
    int back = 0;
    for (int i = 0; i < messages; ++i)
        back += rig.roundTrip({0xB0, static_cast<unsigned char>(i % 120 + 1),
                               static_cast<unsigned char>(i % 128)})
                    ? 1
                    : 0;
    ::kill(pid_t(strace.processId()), SIGINT);
    strace.waitForFinished(10000);
    host.terminate();
    host.waitForFinished(10000);
    QFile summary("/tmp/bench-alsa-strace.txt");
    summary.open(QIODevice::ReadOnly);
    const QString text = QString::fromUtf8(summary.readAll());
    long calls = 0;
    for (const QString &line : text.split('\n'))
        if (line.trimmed().endsWith(QLatin1String("total")))
            calls = line.simplified().split(' ').value(3).toLong();
    std::printf("%s\n%d of %d Control Changes came back; %ld system calls in the router's "
                "threads, %.2f a message\n",
                qPrintable(text), back, messages, calls, double(calls) / std::max(1, messages));
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    const QStringList modes{"burst", "latency", "calls", "host"};
    if (args.isEmpty() || !modes.contains(args[0])) {
        std::fprintf(stderr,
                     "usage: %s burst MACHINE-LABEL RUNS [--header] | latency MACHINE-LABEL "
                     "MESSAGES [--header] [--pinned] | calls MESSAGES\n",
                     argv[0]);
        return 2;
    }
    if (access("/dev/snd/seq", R_OK | W_OK) != 0) {
        std::fprintf(stderr,
                     "bench_alsa: no ALSA sequencer here; bench/alsa.sh runs it in a guest\n");
        return 1;
    }
    MidiIO::setPreferredSystem(QStringLiteral("alsa"));
    if (args[0] == "burst")
        return burstTable(args.value(1, QStringLiteral("quiet")),
                          std::max(1, args.value(2, QStringLiteral("3")).toInt()),
                          args.contains("--header"));
    if (args[0] == "latency")
        return latencyTable(args.value(1, QStringLiteral("quiet")),
                            std::max(1, args.value(2, QStringLiteral("1000")).toInt()),
                            args.contains("--header"), args.contains("--pinned"));
    if (args[0] == "host")
        return hostRouter(args.value(1), args.value(2));
    return callsPerMessage(std::max(1, args.value(1, QStringLiteral("1000")).toInt()));
}
