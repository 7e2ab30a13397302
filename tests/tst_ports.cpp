// The router's ports on a real MIDI system: JACK (a private server),
// PipeWire's JACK and the ALSA sequencer in a guest, each run by its own
// test entry. Peers on the other side send and record; the rows check what
// a unit hears when ports, sources and servers come and go.
#include "alsapeers.h"
#include "jackpeers.h"
#include "midipeers.h"
#include "signalprocess.h"

#include "midi/jackclient.h"

#include <QElapsedTimer>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTemporaryFile>
#include <QTest>

#include <algorithm>
#include <cstdio>
#include <future>
#include <set>
#include <signal.h>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>

namespace {

const QByteArray sentinel = QByteArray::fromHex("b07f7f"); // no burst uses controller 127
const QByteArray flushMark = QByteArray::fromHex("b07f7e");

// What the router sent, as the wire tells it (see testbackend::asSent).
QList<QByteArray> asSent(const QList<QByteArray> &messages, bool withoutSentinels)
{
    QList<QByteArray> out;
    for (const QByteArray &m : messages)
        if (!withoutSentinels || (m != sentinel && m != flushMark))
            out << qbytes(testbackend::asSent(bytes(m)));
    return out;
}

// A source and a sink on the MIDI system, and a router made after them so
// that its lists name them.
struct Rig
{
    Rig()
    {
        router.setMidiChannel(1);
        inIndex = int(router.midiInPorts.indexOf(source.portName()));
        outIndex = int(router.midiOutPorts.indexOf(sink.portName()));
    }
    // Opens both ports and waits until a message makes it through: a new
    // connection takes effect at the server's next cycle.
    bool open() { return reopen() && warmUp(); }
    bool reopen() { return router.openMidiIn(inIndex, false) && router.openMidiOut(outIndex); }
    bool warmUp()
    {
        const bool through =
            ::warmUp([&] { sendRaw(sentinel); }, [&] { return sink.log->size() > 0; },
                     [&] { return reopen(); });
        sink.log->clear();
        return through;
    }
    void send(const char *h) { sendRaw(hex(h)); }
    void sendRaw(const QByteArray &m) { source.send(bytes(m)); }
    // Sends a mark and waits for it: everything sent before it that was
    // going to arrive has arrived. Not the warm-up's sentinel: a late one of
    // those would end the wait too early.
    bool flush()
    {
        const std::size_t before = sink.log->size();
        sendRaw(flushMark);
        return QTest::qWaitFor(
            [&] {
                const auto all = sink.log->all();
                for (std::size_t i = before; i < all.size(); ++i)
                    if (all[i] == bytes(flushMark))
                        return true;
                return false;
            },
            10000);
    }
    QList<QByteArray> received(bool withoutSentinels = true) const
    {
        return asSent(qmessages(sink.log->all()), withoutSentinels);
    }

    PeerSource source;
    PeerSink sink;
    MidiIO router;
    int inIndex = -1;
    int outIndex = -1;
};

// The router between the two ends of a burst peer: its virtual input fed
// as fast as the system takes it, its output read without loss.
struct BurstRig
{
    BurstRig()
    {
        router.setMidiChannel(1);
        router.setIgnoreSysex(false);
    }
    // A client that opened slowly may never run its cycle: set up again when
    // the ping does not come back. Direct: the peer's ends connected to
    // each other, what the router is measured against.
    bool open(bool direct = false, bool kernelEnds = false)
    {
        const auto setUp = [&] {
            peer = kernelEnds
                       ? std::make_unique<BurstPeer>(std::make_unique<AlsaBurstPeer>(0, 1, true))
                       : std::make_unique<BurstPeer>("Test Burst", 1000, window);
            if (direct)
                return peer->isOpen() && peer->connectTo(peer->inName());
            return routeThrough(router, *peer);
        };
        const bool through =
            setUp() && ::warmUp([&] { peer->send({bytes(sentinel)}); },
                                [&] { return received(false).contains(sentinel); }, setUp);
        all.clear();
        return through;
    }
    bool send(const QList<QByteArray> &messages)
    {
        std::vector<Bytes> list;
        for (const QByteArray &m : messages)
            list.push_back(bytes(m));
        return QTest::qWaitFor([&] { return peer->send(list); }, 10000);
    }
    // Sends the messages and the sentinel behind them, and waits for it.
    // Gives up when nothing arrived for 5 s: what was lost stays lost.
    bool exchange(const QList<QByteArray> &messages)
    {
        if (!send(QList<QByteArray>(messages) << sentinel))
            return false;
        QElapsedTimer quiet;
        quiet.start();
        bool back = false;
        (void)QTest::qWaitFor(
            [&] {
                const std::vector<Bytes> fresh = peer->takeReceived();
                for (const Bytes &m : fresh) {
                    all << qbytes(m);
                    back = back || all.last() == sentinel;
                }
                if (!fresh.empty())
                    quiet.restart();
                return back || quiet.elapsed() > 5000;
            },
            120000);
        if (!back)
            qWarning("the sentinel never came back; %lld messages arrived",
                     qlonglong(received().size()));
        return back;
    }
    QList<QByteArray> received(bool withoutSentinels = true)
    {
        for (Bytes &m : peer->takeReceived())
            all << qbytes(m);
        return asSent(all, withoutSentinels);
    }

    MidiIO router;
    int window = 0; // on ALSA: messages in flight at most, 0 for no limit
    std::unique_ptr<BurstPeer> peer;
    QList<QByteArray> all;
};

// Sends through the router until the sentinel reaches the given sink.
// Sends through the router until the sentinel itself reaches the given
// sink: what came before it is no proof.
bool ping(PeerSource &source, PeerSink &sink)
{
    const std::size_t from = sink.log->size();
    const bool through = warmUp([&] { source.send(bytes(sentinel)); },
                                [&] {
                                    const auto heard = sink.log->all();
                                    return std::find(heard.begin() + std::ptrdiff_t(from),
                                                     heard.end(), bytes(sentinel)) != heard.end();
                                });
    sink.log->clear();
    return through;
}

// The router's input port, under either of its names. On JACK one client
// holds both of the router's ports; on ALSA each has a client of its own.
QStringList routerInputs()
{
    if (testbackend::isAlsa())
        return peerPorts(QStringLiteral("Brantolex helper input:"));
    QStringList ports = peerPorts(QStringLiteral("Brantolex helper:"));
    ports.removeAll(QStringLiteral("Brantolex helper:RtMidi Output"));
    return ports;
}

int countRouterInputs()
{
    return int(routerInputs().size());
}

// The notes sounding at a unit after what it heard, those of the given
// range only (0..127 for all).
std::set<int> sounding(const std::vector<Bytes> &heard, int from = 0, int to = 127)
{
    std::set<int> notes;
    for (const Bytes &m : heard) {
        if (m.size() != 3 || ((m[0] & 0xF0) != 0x80 && (m[0] & 0xF0) != 0x90) || m[1] < from ||
            m[1] > to)
            continue;
        const int note = (m[0] & 0x0F) * 128 + m[1];
        if ((m[0] & 0xF0) == 0x90 && m[2] != 0)
            notes.insert(note);
        else
            notes.erase(note);
    }
    return notes;
}

// Waits for the flag without running the event loop: the router hears of
// no port news meanwhile.
bool waitQuietly(const std::atomic<bool> &flag, int ms)
{
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!flag.load() && std::chrono::steady_clock::now() < until)
        std::this_thread::yield();
    return flag.load();
}

// Sends notes in a range from a thread of its own, a few hundred a second,
// as a player does, until it goes.
class NoteStream
{
public:
    NoteStream(PeerSource &source, int first, int count = 8)
        : player([this, &source, first, count] {
              for (int i = 0; !stopping; ++i) {
                  const unsigned char note = static_cast<unsigned char>(first + i % count);
                  source.send({0x90, note, 100});
                  std::this_thread::sleep_for(std::chrono::milliseconds(2));
                  source.send({0x80, note, 0});
                  std::this_thread::sleep_for(std::chrono::milliseconds(1));
              }
          })
    {
    }
    ~NoteStream()
    {
        stopping = true;
        player.join();
    }

private:
    std::atomic<bool> stopping{false};
    std::thread player;
};

} // namespace

class TestPorts : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void listsMatchTheSystem();
    void passThrough_data();
    void passThrough();
    void filterFlagsKeptAndPortsNotReopened();
    void switchSequenceOnTheWire();
    void virtualInput();
    void realAndVirtualNeverBothOpen();
    void badIndexesKeepThePortOpen_data();
    void badIndexesKeepThePortOpen();
    void vanishedPortFailsCleanly();
    void shiftedPortListOpensTheNamedPort();
    void burstArrivesCompleteAndInOrder_data();
    void burstArrivesCompleteAndInOrder();
    void sysexBankAndLargestMessage_data();
    void sysexBankAndLargestMessage();
    void burstThenSwitchKeepsTheSelectionWhole();
    void heldNotesReleasedOnTheWire_data();
    void heldNotesReleasedOnTheWire();
    void portFollowedAwayAndBack_data();
    void portFollowedAwayAndBack();
    void unitFlapsDuringNotes_data();
    void unitFlapsDuringNotes();
    void unitFlapsWhilePlaying_data();
    void unitFlapsWhilePlaying();
    void inputSwitchedBetweenPlayingSources();
    void slowReceiverGetsTheWholeBurst();
    void noteWithADuration();
    void chosenSystemWaitedFor();
    void olderPortNamesStillConnect();
    void absentOutputOpensWhenItAppears();
    void otherPortsComingAndGoingChangeNoChoice();
    void serverStoppedMidRun();
};

void TestPorts::initTestCase()
{
    QVERIFY_BACKEND_SELECTED();
}

void TestPorts::listsMatchTheSystem()
{
    Rig rig;
    QCOMPARE(rig.router.systemName(), testbackend::systemName());
    QVERIFY(rig.inIndex >= 0);
    QVERIFY(rig.outIndex >= 0);
    RtMidiIn in(testbackend::api(), "Test Lister In");
    QStringList others;
    for (unsigned int i = 0; i < in.getPortCount(); ++i)
        if (!QString::fromStdString(in.getPortName(i))
                 .startsWith(QLatin1String("Brantolex helper")))
            others << QString::fromStdString(in.getPortName(i));
    QCOMPARE(rig.router.midiInPorts, others);
    QVERIFY(!rig.router.inputOpen());
    QVERIFY(!rig.router.outputOpen());
}

void TestPorts::passThrough_data()
{
    QTest::addColumn<bool>("ignoreSysex");
    QTest::addColumn<bool>("ignoreClock");
    QTest::addColumn<QList<QByteArray>>("sent");
    QTest::addColumn<QList<QByteArray>>("expected");

    using L = QList<QByteArray>;
    const L mix{hex("903c64"), hex("913c64"), hex("f07e7f0601f7"), hex("f8"),
                hex("b00764"), hex("e00040"), hex("803c00")};
    QTest::newRow("flags on") << true << true << mix
                              << L{hex("903c64"), hex("b00764"), hex("e00040"), hex("803c00")};
    QTest::newRow("sysex passes") << false << true << mix
                                  << L{hex("903c64"), hex("f07e7f0601f7"), hex("b00764"),
                                       hex("e00040"), hex("803c00")};
    QTest::newRow("clock passes") << true << false << mix
                                  << L{hex("903c64"), hex("f8"), hex("b00764"), hex("e00040"),
                                       hex("803c00")};
}

void TestPorts::passThrough()
{
    QFETCH(bool, ignoreSysex);
    QFETCH(bool, ignoreClock);
    QFETCH(QList<QByteArray>, sent);
    QFETCH(QList<QByteArray>, expected);

    Rig rig;
    QVERIFY(rig.open());
    rig.router.setIgnoreSysex(ignoreSysex);
    rig.router.setIgnoreClockMessages(ignoreClock);
    for (const QByteArray &m : sent)
        rig.source.send(bytes(m));
    QVERIFY(rig.flush());
    QCOMPARE(rig.received(), expected);
}

void TestPorts::filterFlagsKeptAndPortsNotReopened()
{
    Rig rig;
    rig.router.setIgnoreSysex(false); // before any input is open
    QVERIFY(rig.open());
    rig.send("f00102f7");
    QVERIFY(rig.flush());
    QCOMPARE(rig.received(), QList<QByteArray>{hex("f00102f7")});

    // The open ports chosen again are left as they are: a note held goes on,
    // and what follows needs no new link.
    rig.router.setIgnoreClockMessages(false);
    rig.send("903c64");
    QVERIFY(rig.router.openMidiIn(rig.inIndex, false));
    QVERIFY(rig.router.openMidiOut(rig.outIndex));
    QCOMPARE(countRouterInputs(), 1);
    rig.send("f00304f7");
    rig.send("f8");
    QVERIFY(rig.flush());
    QCOMPARE(rig.received(),
             (QList<QByteArray>{hex("f00102f7"), hex("903c64"), hex("f00304f7"), hex("f8")}));
}

void TestPorts::switchSequenceOnTheWire()
{
    Rig rig;
    rig.router.setLoadingTimes(10, 10, 10, 120, 10, 10, 10, 10);
    QVERIFY(rig.open());
    rig.send("b00003");
    rig.send("c005");
    QTRY_COMPARE_WITH_TIMEOUT(rig.received().size(), 3, 10000);
    QCOMPARE(rig.received(), (QList<QByteArray>{hex("c068"), hex("90407f"), hex("904000")}));
    rig.send("903c64"); // held back while the unit loads
    QTRY_COMPARE_WITH_TIMEOUT(rig.received().size(), 4, 10000);
    QCOMPARE(rig.received().last(), hex("c005"));
    // Arrival times carry up to a period of jitter each (256 frames at 48 kHz).
    const auto waited = rig.sink.log->timeOf(3) - rig.sink.log->timeOf(2);
    QVERIFY2(waited >= std::chrono::milliseconds(120 - 12),
             "the program arrived before the loading time was over");
    QVERIFY(rig.flush());
    QCOMPARE(rig.received().size(), 4);
}

void TestPorts::virtualInput()
{
    Rig rig;
    QVERIFY(rig.router.openMidiIn(-1, true));
    QVERIFY(rig.router.openMidiOut(rig.outIndex));
    QVERIFY(rig.router.inputIsVirtual());
    const QStringList ports = routerInputs();
    QCOMPARE(ports.size(), 1);
    QVERIFY2(ports.first().endsWith(QStringLiteral(":Brantolex helper virtual input")),
             qPrintable(ports.first()));

    PeerSourceTo other(QStringLiteral("Brantolex helper virtual input"), "Test Other Source");
    QVERIFY(other.connected);
    // Only what is connected to it reaches the virtual input, not the source
    // the router would open by index.
    QCOMPARE(peerConnections(ports.first()), QStringList{"Test Other Source:RtMidi Output"});
    // A connection takes effect a moment later on some systems: sent again
    // until one comes.
    QVERIFY(warmUp([&] { other.send(bytes(hex("903c64"))); },
                   [&] { return !rig.received().isEmpty(); }));
    QCOMPARE(rig.received().first(), hex("903c64"));
}

void TestPorts::realAndVirtualNeverBothOpen()
{
    Rig rig;
    QVERIFY(rig.router.openMidiOut(rig.outIndex));
    for (int i = 0; i < 4; ++i) {
        QVERIFY(rig.router.openMidiIn(rig.inIndex, false));
        QCOMPARE(countRouterInputs(), 1);
        QVERIFY(!rig.router.inputIsVirtual());
        QVERIFY(rig.warmUp());

        QVERIFY(rig.router.openMidiIn(rig.inIndex, true));
        QCOMPARE(countRouterInputs(), 1);
        QVERIFY(rig.router.inputIsVirtual());
    }
    QVERIFY(rig.router.closeMidiIn());
    QVERIFY(!rig.router.inputOpen());
    QCOMPARE(jackConnections(routerInputs().value(0)), QStringList());
    QVERIFY(rig.router.closeMidiIn());
}

void TestPorts::badIndexesKeepThePortOpen_data()
{
    QTest::addColumn<bool>("input");
    QTest::addColumn<int>("offset"); // from the list's size; -1000 stands for -1
    QTest::newRow("input -1") << true << -1000;
    QTest::newRow("input size") << true << 0;
    QTest::newRow("input size+5") << true << 5;
    QTest::newRow("output -1") << false << -1000;
    QTest::newRow("output size") << false << 0;
}

void TestPorts::badIndexesKeepThePortOpen()
{
    QFETCH(bool, input);
    QFETCH(int, offset);
    Rig rig;
    QVERIFY(rig.open());
    const int size = input ? rig.router.midiInPorts.size() : rig.router.midiOutPorts.size();
    const int index = offset == -1000 ? -1 : size + offset;
    QVERIFY(!(input ? rig.router.openMidiIn(index, false) : rig.router.openMidiOut(index)));
    QVERIFY(rig.router.inputOpen());
    QVERIFY(rig.router.outputOpen());
    rig.send("903c64");
    QVERIFY(rig.flush());
    QCOMPARE(rig.received(), QList<QByteArray>{hex("903c64")});
}

void TestPorts::vanishedPortFailsCleanly()
{
    auto gone = std::make_unique<PeerSink>("Test Gone Sink");
    Rig rig;
    const int index = int(rig.router.midiOutPorts.indexOf(gone->portName()));
    QVERIFY(index >= 0);
    QVERIFY(rig.open());
    gone.reset();
    QVERIFY(!rig.router.openMidiOut(index));
    QVERIFY(!rig.router.outputOpen());
    // The router goes on: the input still routes, and the good port reopens.
    QVERIFY(rig.router.openMidiOut(rig.outIndex));
    QVERIFY(rig.warmUp());
    rig.send("903c64");
    QVERIFY(rig.flush());
    QCOMPARE(rig.received(), QList<QByteArray>{hex("903c64")});
}

void TestPorts::shiftedPortListOpensTheNamedPort()
{
    // A port listed before the chosen one disappears, so the chosen one's
    // index moves. Which of two is listed first is the system's business
    // (PipeWire reuses object numbers): the later one is chosen.
    auto other = std::make_unique<PeerSink>("Test Early Sink");
    Rig rig;
    const int otherIndex = int(rig.router.midiOutPorts.indexOf(other->portName()));
    QVERIFY(otherIndex >= 0 && rig.outIndex >= 0);
    PeerSink &chosen = otherIndex > rig.outIndex ? *other : rig.sink;
    const int chosenIndex = std::max(otherIndex, rig.outIndex);
    QVERIFY(rig.router.openMidiIn(rig.inIndex, false));
    QVERIFY(rig.router.openMidiOut(chosenIndex));
    if (&chosen == other.get())
        rig.sink.unplug();
    else
        other.reset();
    QVERIFY(ping(rig.source, chosen));
    rig.send("903c64");
    QTRY_COMPARE_WITH_TIMEOUT(asSent(qmessages(chosen.log->all()), true),
                              QList<QByteArray>{hex("903c64")}, 10000);
}

QList<QByteArray> controlChanges(int count)
{
    QList<QByteArray> list;
    for (int i = 0; i < count; ++i)
        list << QByteArray::fromHex("b0") + char(i % 120 + 1) + char(i % 128);
    return list;
}

// The router and, as the measure, a direct connection: what the system
// itself carries.
void routerOrDirect()
{
    QTest::addColumn<bool>("direct");
    QTest::newRow("direct connection") << true;
    QTest::newRow("through the router") << false;
}

void TestPorts::burstArrivesCompleteAndInOrder_data()
{
    QTest::addColumn<bool>("direct");
    QTest::addColumn<bool>("kernelEnds");
    QTest::newRow("direct connection") << true << false;
    QTest::newRow("through the router") << false << false;
    if (testbackend::isAlsa()) // VirMIDI devices are the ALSA sequencer's
        QTest::newRow("VirMIDI to VirMIDI through the router") << false << true;
}

void TestPorts::burstArrivesCompleteAndInOrder()
{
    QFETCH(bool, direct);
    QFETCH(bool, kernelEnds);
    BurstRig rig;
    QVERIFY(rig.open(direct, kernelEnds));
    // Between kernel clients: more than the unit's buffer holds (4 KB), to a
    // unit that reads nothing while it is written; less than the router's
    // input pool, which a kernel client fills without waiting whenever the
    // input thread wakes late (the bench sends 5,000).
    const QList<QByteArray> sent = controlChanges(kernelEnds ? 1800 : 10000);
    QVERIFY(rig.exchange(sent));
    QCOMPARE(rig.received(), sent);
    if (direct)
        return;

    // Far more than a cycle carries, queued on the output at once: what does
    // not fit waits for the next cycles.
    rig.all.clear();
    for (const QByteArray &m : sent)
        QVERIFY(rig.router.sendMidiMessage(0xB0, 0, uchar(m[1]), uchar(m[2])));
    QVERIFY(rig.exchange({}));
    QCOMPARE(rig.received(), sent);
}

QByteArray sysex(int size, char fill)
{
    QByteArray m(size, fill);
    m[0] = char(0xF0);
    m[size - 1] = char(0xF7);
    return m;
}

void TestPorts::sysexBankAndLargestMessage_data()
{
    routerOrDirect();
}

void TestPorts::sysexBankAndLargestMessage()
{
    QFETCH(bool, direct);
    if (testbackend::isPipeWire())
        QSKIP("PipeWire's JACK (0.3.65) crashes the receiving client in jack_port_get_buffer "
              "when a cycle brings it many sysex, even 200 of 10 bytes on a direct connection");
    BurstRig rig;
    // A sequencer client's pool holds some 45 sysex of 1 KB: from a sender
    // that does not wait, a bank arrives whole only if the receiver happens
    // to keep up, over a direct connection as through the router.
    rig.window = 8;
    QVERIFY(rig.open(direct));
    QList<QByteArray> sent;
    for (int i = 0; i < 200; ++i)
        sent << sysex(1000, char(i % 120 + 1));
    // The sequencer has no limit of its own; a unit's dump can be this long.
    if (testbackend::isAlsa())
        sent << sysex(64 * 1024, 0x22);
    sent << hex("b00102");
    QVERIFY(rig.exchange(sent));
    QCOMPARE(rig.received(), sent);
}

void TestPorts::burstThenSwitchKeepsTheSelectionWhole()
{
    BurstRig rig;
    rig.router.setLoadingTimes(10, 10, 10, 10, 10, 10, 10, 10);
    QVERIFY(rig.open());
    // Bank Select and Program Change in the same breath as the burst.
    QList<QByteArray> expected = controlChanges(3000);
    QVERIFY(rig.send(QList<QByteArray>(expected) << hex("b00001") << hex("c005")));
    expected << hex("c066") << hex("90407f") << hex("904000") << hex("c005");
    QTRY_COMPARE_WITH_TIMEOUT(rig.received().size(), expected.size(), 20000);
    QCOMPARE(rig.received(), expected);
    QTRY_COMPARE(rig.router.getPGAndPluginName(), QStringLiteral("TESSEL - 6"));
}

void TestPorts::heldNotesReleasedOnTheWire_data()
{
    QTest::addColumn<bool>("replaceOutput"); // otherwise: change the channel
    QTest::newRow("channel changed") << false;
    QTest::newRow("output replaced") << true;
}

void TestPorts::heldNotesReleasedOnTheWire()
{
    QFETCH(bool, replaceOutput);
    PeerSink spare("Test Spare Sink");
    Rig rig;
    const int spareIndex = int(rig.router.midiOutPorts.indexOf(spare.portName()));
    QVERIFY(spareIndex >= 0);
    QVERIFY(rig.open());
    rig.send("903c64");
    rig.send("903e64");
    rig.send("803e00");
    QVERIFY(rig.flush());
    if (replaceOutput)
        QVERIFY(rig.router.openMidiOut(spareIndex));
    else
        rig.router.setMidiChannel(2);
    // The old output gets the Note Off before it is left.
    const QList<QByteArray> expected{hex("903c64"), hex("903e64"), hex("803e00"), hex("803c00")};
    QTRY_COMPARE_WITH_TIMEOUT(rig.received(), expected, 10000);
    QVERIFY(qmessages(spare.log->all()).isEmpty() || !replaceOutput);
}

void TestPorts::portFollowedAwayAndBack_data()
{
    QTest::addColumn<bool>("output");         // the unit's port; otherwise the keyboard's
    QTest::addColumn<bool>("otherMeanwhile"); // another unit chosen while it is away
    // On JACK: the unit's first cycles back run long and hear nothing.
    QTest::addColumn<int>("slowCycles");
    QTest::newRow("output") << true << false << 0;
    QTest::newRow("input") << false << false << 0;
    QTest::newRow("output, another chosen while it is away") << true << true << 0;
    QTest::newRow("output, its first cycles back slow and deaf") << true << false << 4;
}

void TestPorts::portFollowedAwayAndBack()
{
    QFETCH(bool, output);
    QFETCH(bool, otherMeanwhile);
    QFETCH(int, slowCycles);
    if (slowCycles > 0 && testbackend::kind() != testbackend::Kind::Jack)
        QSKIP("only jackd holds the other clients' cycles for a late one, and says so (an xrun)");
    PeerSink unit("Test Unit");
    PeerSink spare("Test Spare Unit");
    PeerSource keys("Test Keys");
    const QString name = output ? unit.portName() : keys.portName();
    Rig rig;
    QSignalSpy lost(&rig.router, &MidiIO::portLost);
    QSignalSpy back(&rig.router, &MidiIO::portReconnected);
    QVERIFY(output ? rig.router.openMidiIn(rig.inIndex, false) : rig.router.openMidiInNamed(name));
    QVERIFY(output ? rig.router.openMidiOutNamed(name) : rig.router.openMidiOut(rig.outIndex));
    PeerSource &from = output ? rig.source : keys;
    PeerSink &to = output ? unit : rig.sink;
    QVERIFY(ping(from, to));
    // A note held when the port goes: its Note Off would never come.
    const QByteArray held = hex("903c64"), off = hex("803c00");
    from.send(bytes(held));
    QTRY_VERIFY_WITH_TIMEOUT(qmessages(to.log->all()).contains(held), 10000);

    // Switched off, and on again (on ALSA under another client number).
    if (output)
        unit.unplug();
    else
        keys.unplug();
    QVERIFY(lost.wait(10000));
    // The keyboard gone, the note is released on the unit at once.
    if (!output)
        QTRY_VERIFY_WITH_TIMEOUT(qmessages(to.log->all()).contains(off), 10000);
    QCOMPARE(lost.first().first().toString(), name);
    QCOMPARE(output ? rig.router.outputOpen() : rig.router.inputOpen(), false);
    QCOMPARE(output ? rig.router.chosenMidiOut() : rig.router.chosenMidiIn(), name);
    if (otherMeanwhile) {
        // The note was owed to the unit that went, not to this one.
        QVERIFY(rig.router.openMidiOutNamed(spare.portName()));
        QVERIFY(ping(from, spare));
        QVERIFY(sounding(spare.log->all()).empty());
        QCOMPARE(qmessages(spare.log->all()).count(off), 0);
    }
    if (output)
        unit.plugIn(slowCycles);
    else
        keys.plugIn();
    QCOMPARE((output ? unit.portName() : keys.portName()) != name, testbackend::isAlsa());
    if (otherMeanwhile) {
        // Chosen again: opened now or as soon as the router sees it.
        rig.router.openMidiOutNamed(name);
        QTRY_VERIFY_WITH_TIMEOUT(rig.router.outputOpen(), 10000);
    } else {
        QVERIFY(back.wait(10000));
        QCOMPARE(back.first().first().toString(), name);
    }
    // The unit back, the note it was left with is released.
    if (output)
        QTRY_VERIFY_WITH_TIMEOUT(qmessages(to.log->all()).endsWith(off), 10000);
    QVERIFY(ping(from, to));
}

void TestPorts::unitFlapsDuringNotes_data()
{
    QTest::addColumn<bool>("noticed"); // gone long enough for the router to see it
    // The unit's last moment: the router wrote the Note Off while the port
    // was there, the unit never heard it.
    QTest::addColumn<bool>("offLostAsItGoes");
    QTest::addColumn<bool>("cut"); // not the port: its connection, by a patchbay
    QTest::newRow("back before the router looks") << false << false << false;
    QTest::newRow("gone long enough to be noticed") << true << false << false;
    QTest::newRow("its Note Off lost as it goes") << true << true << false;
    QTest::newRow("Note Off lost as it goes, back before the router looks")
        << false << true << false;
    QTest::newRow("connection cut and made again by a patchbay") << false << false << true;
}

void TestPorts::unitFlapsDuringNotes()
{
    // Each time a note sounds when the unit's port goes, and its Note Off
    // comes while the port is away: when the port is back, nothing sounds.
    QFETCH(bool, noticed);
    QFETCH(bool, offLostAsItGoes);
    QFETCH(bool, cut);
    PeerSink unit("Test Unit");
    Rig rig;
    QVERIFY(rig.router.openMidiIn(rig.inIndex, false));
    QVERIFY(rig.router.openMidiOutNamed(unit.portName()));
    // Through again, relinked or opened again: the sentinel itself came. The
    // log is kept whole, for what sounds at the end.
    const auto through = [&] {
        const std::size_t from = unit.log->size();
        return warmUp([&] { rig.sendRaw(sentinel); },
                      [&] {
                          const auto heard = unit.log->all();
                          return std::find(heard.begin() + std::ptrdiff_t(from), heard.end(),
                                           bytes(sentinel)) != heard.end();
                      });
    };
    QVERIFY(through());
    QSignalSpy lost(&rig.router, &MidiIO::portLost);
    QSignalSpy back(&rig.router, &MidiIO::portReconnected);
    // A program that changes nothing is forwarded behind what came before,
    // and reported from the router's worker: then the Note Off has been
    // handled too.
    std::atomic<bool> passed{false};
    connect(
        &rig.router, &MidiIO::programmChanged, &rig.router, [&] { passed = true; },
        Qt::DirectConnection);
    for (int flap = 0; flap < 20; ++flap) {
        const unsigned char note = static_cast<unsigned char>(40 + flap);
        const Bytes on{0x90, note, 100};
        // A late ping of the last look may still come after it.
        const std::size_t from = unit.log->size();
        rig.source.send(on);
        QTRY_VERIFY_WITH_TIMEOUT(
            [&] {
                const auto heard = unit.log->all();
                return std::find(heard.begin() + std::ptrdiff_t(std::min(from, heard.size())),
                                 heard.end(), on) != heard.end();
            }(),
            10000);
        if (offLostAsItGoes) {
            unit.log->unheard = 0;
            unit.log->deaf = true;
            rig.source.send({0x80, note, 0});
            QVERIFY(QTest::qWaitFor([&] { return unit.log->unheard > 0; }, 5000));
        }
        const qsizetype lostBefore = lost.count();
        if (cut)
            QVERIFY(patchRouterOutput(unit.portName(), false));
        else
            unit.unplug();
        unit.log->deaf = false;
        if (noticed)
            QTRY_VERIFY_WITH_TIMEOUT(lost.count() > lostBefore, 10000);
        passed = false;
        // What a loaded server's xruns catch on the way in is lost before
        // the router: sent again until the router has handled it.
        for (int tries = 0; tries < 10 && !passed; ++tries) {
            if (!offLostAsItGoes)
                rig.source.send({0x80, note, 0});
            rig.source.send({0xC0, 0});
            if (noticed || waitQuietly(passed, 1000))
                break;
        }
        QVERIFY(noticed || passed);
        // Cut for longer than the router keeps the notes released lately,
        // notes going out meanwhile.
        for (int i = 0; cut && i < 3; ++i) {
            QTest::qWait(120);
            rig.source.send({0x80, 0, 0});
        }
        const qsizetype backBefore = back.count();
        if (cut)
            QVERIFY(patchRouterOutput(unit.portName(), true));
        else
            unit.plugIn();
        if (noticed)
            QTRY_VERIFY_WITH_TIMEOUT(back.count() > backBefore, 10000);
        QVERIFY(through());
    }
    QTRY_VERIFY_WITH_TIMEOUT(sounding(unit.log->all()).empty(), 10000);
    const std::set<int> left = sounding(unit.log->all());
    QVERIFY2(left.empty(), qPrintable(QString("%1 note(s) still sounding, the first %2")
                                          .arg(left.size())
                                          .arg(left.empty() ? 0 : *left.begin())));
}

void TestPorts::unitFlapsWhilePlaying_data()
{
    QTest::addColumn<int>("absentMs");
    QTest::newRow("absent 50 ms") << 50;
    QTest::newRow("absent 0 ms") << 0;
}

void TestPorts::unitFlapsWhilePlaying()
{
    // The unit's port goes and comes back 40 times while notes stream: a
    // second after the playing stops, no note sounds.
    QFETCH(int, absentMs);
    PeerSink unit("Test Unit");
    Rig rig;
    QVERIFY(rig.router.openMidiIn(rig.inIndex, false));
    QVERIFY(rig.router.openMidiOutNamed(unit.portName()));
    QVERIFY(ping(rig.source, unit));
    // Notes of their own each time: none is ended by a later one.
    for (int flap = 0; flap < 40; ++flap) {
        NoteStream playing(rig.source, 3 * flap, 3);
        QTest::qWait(100);
        unit.unplug();
        QTest::qWait(absentMs);
        unit.plugIn();
    }
    QTRY_VERIFY_WITH_TIMEOUT(sounding(unit.log->all()).empty(), 1000);
}

void TestPorts::inputSwitchedBetweenPlayingSources()
{
    // Two keyboards play; the input moves from one to the other. When the
    // new one's first note reaches the unit, none of the old one's sounds.
    PeerSource first("Test Keys A"), second("Test Keys B");
    PeerSink unit("Test Unit");
    MidiIO router;
    router.setMidiChannel(1);
    QTRY_VERIFY_WITH_TIMEOUT(router.midiInPorts.contains(second.portName()), 10000);
    QVERIFY(router.openMidiOutNamed(unit.portName()));
    QVERIFY(router.openMidiInNamed(first.portName()));
    QVERIFY(ping(first, unit));
    NoteStream playingA(first, 40), playingB(second, 80);
    const auto range = [](bool a) { return a ? std::make_pair(40, 47) : std::make_pair(80, 87); };
    for (int k = 0; k < 20; ++k) {
        const bool toA = k % 2 == 1;
        QVERIFY(router.openMidiInNamed(toA ? first.portName() : second.portName()));
        const std::size_t from = unit.log->size();
        std::size_t at = 0;
        QVERIFY(QTest::qWaitFor(
            [&] {
                const auto heard = unit.log->all();
                for (std::size_t i = from; i < heard.size(); ++i) {
                    const int n = heard[i].size() == 3 ? heard[i][1] : -1;
                    if (n >= range(toA).first && n <= range(toA).second) {
                        at = i;
                        return true;
                    }
                }
                return false;
            },
            10000));
        auto heard = unit.log->all();
        heard.resize(at);
        const auto old = range(!toA);
        QVERIFY2(sounding(heard, old.first, old.second).empty(),
                 qPrintable(QString("switch %1: the old keyboard's note still sounds").arg(k)));
    }
}

void TestPorts::slowReceiverGetsTheWholeBurst()
{
    if (!testbackend::isAlsa())
        QSKIP("a receiver's pool is the ALSA sequencer's");
    // A unit that stops reading with a pool of a few events: the router waits
    // for room without burning a core (the sequencer would empty the unit's
    // queue had a write to it failed), and what it then reads is all there,
    // in order, a sysex in pieces that fit the pool.
    AlsaSink slow("Test Slow Unit");
    // A sender whose sysex comes as one event, larger than the pool.
    AlsaSource dump("Test Dump");
    Rig rig;
    QTRY_VERIFY_WITH_TIMEOUT(rig.router.midiInPorts.contains(dump.portName()), 10000);
    QVERIFY(rig.router.openMidiInNamed(dump.portName()));
    QTRY_VERIFY_WITH_TIMEOUT(rig.router.midiOutPorts.contains(slow.portName()), 10000);
    QVERIFY(rig.router.openMidiOutNamed(slow.portName()));
    rig.router.setIgnoreSysex(false);
    QVERIFY(warmUp([&] { dump.send(bytes(sentinel)); }, [&] { return slow.log->size() > 0; }));
    slow.log->clear();
    slow.slowDown(32);
    slow.pauseReading(true);
    QList<QByteArray> sent;
    for (int i = 0; i < 300; ++i)
        sent << hex("b001") + char(i % 128);
    sent << QByteArray(1, char(0xF0)) + QByteArray(4000, 0x33) + QByteArray(1, char(0xF7));
    for (int i = 0; i < 300; ++i)
        sent << hex("b002") + char(i % 128);
    rusage before{}, after{};
    getrusage(RUSAGE_SELF, &before);
    QElapsedTimer window;
    window.start();
    for (const QByteArray &m : sent)
        QVERIFY(QTest::qWaitFor([&] { return dump.send(bytes(m), 8192); }, 10000));
    // The router holds the rest while the unit reads nothing.
    QTest::qWait(1500);
    getrusage(RUSAGE_SELF, &after);
    const auto micros = [](const timeval &t) { return qint64(t.tv_sec) * 1000000 + t.tv_usec; };
    const qint64 cpu = micros(after.ru_utime) + micros(after.ru_stime) - micros(before.ru_utime) -
                       micros(before.ru_stime);
    const qint64 wall = window.nsecsElapsed() / 1000;
    QVERIFY2(cpu < wall / 2, qPrintable(QString("%1 ms of CPU in %2 ms while the unit read nothing")
                                            .arg(cpu / 1000)
                                            .arg(wall / 1000)));
    slow.pauseReading(false);
    // Single messages while that backlog drains: the router writes them
    // itself only once nothing waits ahead of them.
    for (int i = 0; i < 40; ++i) {
        sent << hex("b003") + char(i);
        QVERIFY(QTest::qWaitFor([&] { return dump.send(bytes(sent.last())); }, 10000));
    }
    QTRY_COMPARE_WITH_TIMEOUT(int(slow.log->size()), int(sent.size()), 30000);
    QCOMPARE(qmessages(slow.log->all()), sent);
}

void TestPorts::noteWithADuration()
{
    if (!testbackend::isAlsa())
        QSKIP("notes with a duration are the ALSA sequencer's");
    Rig rig;
    AlsaSource player("Test Player");
    QTRY_VERIFY_WITH_TIMEOUT(rig.router.midiInPorts.contains(player.portName()), 10000);
    QVERIFY(rig.router.openMidiInNamed(player.portName()));
    QVERIFY(rig.router.openMidiOut(rig.outIndex));
    QVERIFY(
        warmUp([&] { player.send(bytes(sentinel)); }, [&] { return rig.sink.log->size() > 0; }));
    rig.sink.log->clear();
    const auto played = MessageLog::Clock::now();
    QVERIFY(player.sendNote(0, 60, 90, 200));
    QTRY_COMPARE_WITH_TIMEOUT(rig.received(), (QList<QByteArray>{hex("903c5a"), hex("803c00")}),
                              10000);
    // Not before its time: the Note Off waited for the duration, counted
    // from the playing (a slow read of the Note On cannot shorten it; the
    // queue's clock may lag a few of its ticks).
    QVERIFY(rig.sink.log->timeOf(1) - played >= std::chrono::milliseconds(150));
}

void TestPorts::chosenSystemWaitedFor()
{
    if (!testbackend::isAlsa())
        QSKIP("another MIDI system to move to: the guest has both");
    // JACK asked for and not running: the router waits for it, and never
    // opens ALSA meanwhile.
    MidiIO::setPreferredSystem(QStringLiteral("jack"));
    const auto restore = qScopeGuard([] { testbackend::select(); });
    PrivateJackServer server(QStringLiteral("kept"));
    qputenv("JACK_DEFAULT_SERVER", "brantolex-test-kept");
    MidiIO router;
    router.setMidiChannel(1);
    QVERIFY(router.systemName().isEmpty());
    QVERIFY(!router.systemProblem().isEmpty());
    QVERIFY(!router.openMidiIn(-1, true));
    QVERIFY(!router.openMidiOutNamed(QStringLiteral("Test Unit:in")));
    QCOMPARE(peerPorts(QStringLiteral("Brantolex helper")), QStringList());

    // It comes: the ports the user chose are opened on it.
    QSignalSpy system(&router, &MidiIO::systemChanged);
    QVERIFY2(server.start(), "jackd did not start");
    JackSink unit("Test Unit");
    QVERIFY(system.wait(20000));
    QCOMPARE(router.systemName(), QStringLiteral("JACK"));
    QTRY_VERIFY_WITH_TIMEOUT(router.outputOpen(), 20000);
    QVERIFY(router.inputIsVirtual());
    QCOMPARE(peerPorts(QStringLiteral("Brantolex helper")), QStringList());
}

void TestPorts::olderPortNamesStillConnect()
{
    if (testbackend::isAlsa())
        QSKIP("on ALSA the ports keep their older client names");
    if (testbackend::isPipeWire())
        QSKIP("PipeWire's JACK (0.3.65) shows a port's aliases only to the client that set them");
    // A patchbay that saved the connections when input and output were
    // clients of their own: the source to the virtual input, the output to
    // a second unit.
    PeerSink spare("Test Spare Unit");
    Rig rig;
    QTRY_VERIFY_WITH_TIMEOUT(rig.router.midiOutPorts.contains(spare.portName()), 10000);
    QVERIFY(rig.router.openMidiIn(-1, true));
    QVERIFY(rig.router.openMidiOutNamed(spare.portName()));
    QVERIFY(jackConnect(rig.source.portName(),
                        QStringLiteral("Brantolex helper input:Brantolex helper virtual input")));
    QVERIFY(
        jackConnect(QStringLiteral("Brantolex helper output:RtMidi Output"), rig.sink.portName()));
    QVERIFY(ping(rig.source, rig.sink));
}

void TestPorts::absentOutputOpensWhenItAppears()
{
    // Its name as a session before this one stored it.
    PeerSink late("Test Late Unit");
    const QString name = late.portName();
    late.unplug();
    Rig rig;
    QVERIFY(rig.router.openMidiIn(rig.inIndex, false));
    QVERIFY(!rig.router.openMidiOutNamed(name));
    QVERIFY(!rig.router.outputOpen());
    QCOMPARE(rig.router.chosenMidiOut(), name);
    QSignalSpy back(&rig.router, &MidiIO::portReconnected);
    late.plugIn();
    QCOMPARE(late.portName() != name, testbackend::isAlsa());
    QVERIFY(back.wait(10000));
    // Sent at once, not warmed up: a link just made may drop what comes first.
    QVERIFY(rig.router.sendMidiMessage(0xB0, 0, 7, 1));
    QTRY_COMPARE_WITH_TIMEOUT(qmessages(late.log->all()), QList<QByteArray>{hex("b00701")}, 10000);
    QVERIFY(ping(rig.source, late));
    QVERIFY(rig.sink.log->all().empty());
}

void TestPorts::otherPortsComingAndGoingChangeNoChoice()
{
    Rig rig;
    QVERIFY(rig.open());
    QSignalSpy changed(&rig.router, &MidiIO::portsChanged);
    QSignalSpy lost(&rig.router, &MidiIO::portLost);
    QSignalSpy back(&rig.router, &MidiIO::portReconnected);
    const QString chosenIn = rig.router.chosenMidiIn(), chosenOut = rig.router.chosenMidiOut();
    // The router's own ports coming and going are no news for the lists.
    QVERIFY(rig.router.openMidiOutNamed(chosenOut));
    QVERIFY(rig.router.openMidiIn(-1, true));
    rig.router.refreshPorts();
    QCOMPARE(changed.count(), 0);
    const QStringList all = rig.router.midiInPorts + rig.router.midiOutPorts;
    QVERIFY2(all.filter(QStringLiteral("Brantolex helper")).isEmpty(), qPrintable(all.join(", ")));
    QVERIFY(rig.router.openMidiInNamed(chosenIn));
    QString passerByName;
    {
        PeerSink passerBy("Test Passer-by");
        passerByName = passerBy.portName();
        QVERIFY(changed.wait(10000));
        QCOMPARE(changed.count(), 1);
        QVERIFY(rig.router.midiOutPorts.contains(passerByName));
    }
    QTRY_VERIFY_WITH_TIMEOUT(!rig.router.midiOutPorts.contains(passerByName), 10000);
    QCOMPARE(lost.count(), 0);
    QCOMPARE(back.count(), 0);
    QCOMPARE(rig.router.chosenMidiIn(), chosenIn);
    QCOMPARE(rig.router.chosenMidiOut(), chosenOut);
    rig.send("903c64");
    QVERIFY(rig.flush());
    QCOMPARE(rig.received(), QList<QByteArray>{hex("903c64")});
}

void TestPorts::serverStoppedMidRun()
{
    if (testbackend::kind() != testbackend::Kind::Jack)
        QSKIP("a JACK server of the test's own: ALSA's sequencer does not stop, and PipeWire's "
              "JACK ignores the server's name");
    // A server of this test's own, so the suite's server stays up.
    PrivateJackServer server(QStringLiteral("stop"));
    QVERIFY2(server.start(), "jackd did not start");

    // The test's own peers belong to the dying server as well.
    auto source = std::make_unique<JackSource>();
    auto sink = std::make_unique<JackSink>();
    auto router = std::make_unique<MidiIO>();
    router->setMidiChannel(1);
    const int inIndex = int(router->midiInPorts.indexOf(JackSource::portName()));
    const int outIndex = int(router->midiOutPorts.indexOf(JackSink::portName()));
    QVERIFY(router->openMidiIn(inIndex, false));
    QVERIFY(router->openMidiOut(outIndex));
    source->send(bytes(sentinel));
    QTRY_COMPARE_WITH_TIMEOUT(int(sink->log->size()), 1, 10000);

    // A server that stops cycling: sends fill the queue, then are refused,
    // and never wait.
    signalProcess(server.process(), SIGSTOP);
    auto fill = std::async(std::launch::async, [&] {
        for (int i = 0; i < 4000000; ++i)
            if (!router->sendMidiMessage(0xB0, 0, 1, 2))
                return i;
        return -1;
    });
    if (fill.wait_for(std::chrono::seconds(60)) != std::future_status::ready)
        qFatal("sends waited for a stalled JACK server");
    // Nor does a router made meanwhile wait for it to answer.
    auto made = std::async(std::launch::async, [] { return MidiIO().midiInPorts.isEmpty(); });
    if (made.wait_for(std::chrono::seconds(60)) != std::future_status::ready) {
        signalProcess(server.process(), SIGCONT);
        qFatal("a router waited for a JACK server that does not answer");
    }
    QVERIFY(made.get());
    signalProcess(server.process(), SIGCONT);
    // Answering again, it is found by a router made then: the open given
    // up on has ended and keeps no other from trying.
    QTRY_VERIFY_WITH_TIMEOUT(!MidiIO().midiInPorts.isEmpty(), 10000);
    // At least the queue's floor of 256 KiB of Control Changes.
    QVERIFY(fill.get() > 256 * 1024 / 7);

    // What reaches stderr from here on: the program's own words only, not
    // the JACK library's.
    QTemporaryFile said;
    QVERIFY(said.open());
    std::fflush(stderr);
    const int savedStderr = ::dup(2);
    ::dup2(said.handle(), 2);
    const auto restore = qScopeGuard([&] {
        std::fflush(stderr);
        ::dup2(savedStderr, 2);
        ::close(savedStderr);
    });
    server.stop();
    QCOMPARE(server.process().state(), QProcess::NotRunning);

    // Far more than the output's buffer holds: every send must return.
    auto sends = std::async(std::launch::async, [&] {
        for (int i = 0; i < 20000; ++i)
            router->sendMidiMessage(0x90, 0, 60, 100);
    });
    if (sends.wait_for(std::chrono::seconds(60)) != std::future_status::ready)
        qFatal("sends hung after the JACK server stopped");

    // Destroyed with both ports open on the dead server: at once, no crash.
    auto teardown = std::async(std::launch::async, [&] { router.reset(); });
    if (teardown.wait_for(std::chrono::seconds(60)) != std::future_status::ready)
        qFatal("the router hung in its destructor after the JACK server stopped");
    std::fflush(stderr);
    said.seek(0); // the file's offset is the one stderr wrote at
    const QByteArray text = said.readAll();
    for (const char *library :
         {"Cannot read socket", "CheckRes", "JackSocketClientChannel", "Server is not running"})
        QVERIFY2(!text.contains(library), text.constData());

    // A router made now finds nothing and opens nothing, and says why.
    MidiIO late;
    QVERIFY(late.midiInPorts.isEmpty());
    QVERIFY(!late.openMidiIn(0, false));
    QVERIFY(!late.openMidiIn(-1, true));
    QVERIFY(!late.inputOpen());
    QVERIFY(!late.openMidiOut(0));
    QVERIFY(!late.outputOpen());
    keepUnclosed(std::move(source));
    keepUnclosed(std::move(sink));
}

QTEST_MAIN(TestPorts)
#include "tst_ports.moc"
