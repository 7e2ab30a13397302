// The router without a MIDI system: its input callback driven directly, a
// recording output (recordingsink.h) in place of the unit. The filter, the
// plug-in switch, the notes held at the unit and their release, the order
// of what the output writes.
#include "recordingsink.h"

#include "midi/alsaevents.h"
#include "midi/messagequeue.h"
#include "midi/noteoutput.h"
#include "midi/portpoller.h"

#include <QScopeGuard>
#include <QSignalSpy>
#include <QTest>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <limits>
#include <random>
#include <thread>

namespace {

// A router with a recording output and the given loading time for every plug-in.
struct Rig
{
    // first: connected to the router before the test's own slots.
    explicit Rig(int loadingTime = 20, const std::function<void(MidiIO &)> &first = {})
    {
        if (first)
            first(router);
        router.replaceOutput(new RecordingSink(log));
        router.setLoadingTimes(loadingTime, loadingTime, loadingTime, loadingTime, loadingTime,
                               loadingTime, loadingTime, loadingTime);
        // With the router as context, signals from other threads arrive
        // queued on this one, as they reach the window.
        QObject::connect(&router, &MidiIO::pluginChanged, &router, [this] { events << "plugin"; });
        QObject::connect(&router, &MidiIO::programmChanged, &router,
                         [this] { events << "program"; });
        QObject::connect(&router, &MidiIO::setIsLoadingPlugin, &router,
                         [this](bool on) { events << (on ? "loading" : "loaded"); });
    }
    void in(const char *h) { feed(router, bytes(hex(h))); }
    QList<QByteArray> sent()
    {
        router.settle();
        return qmessages(log->all());
    }
    bool waitLoaded()
    {
        return QTest::qWaitFor([this] { return !router.loadingPlugin(); }, 5000);
    }

    std::shared_ptr<MessageLog> log = std::make_shared<MessageLog>();
    MidiIO router;
    QStringList events;
};

// For a Rig's first: runs on the thread that begins each load, as it begins.
std::function<void(MidiIO &)> onLoadBegun(std::function<void()> hook)
{
    return [hook = std::move(hook)](MidiIO &router) {
        QObject::connect(
            &router, &MidiIO::setIsLoadingPlugin, &router,
            [hook](bool on) {
                if (on)
                    hook();
            },
            Qt::DirectConnection);
    };
}

class ThrowingSink : public MidiSink
{
public:
    explicit ThrowingSink(std::atomic<int> &count) : count(count) {}
    bool sendMessage(const unsigned char *, std::size_t) override
    {
        ++count;
        throw RtMidiError("output failed", RtMidiError::DRIVER_ERROR);
    }

private:
    std::atomic<int> &count;
};

} // namespace

class TestRouter : public QObject
{
    Q_OBJECT

private slots:
    void initialState();
    void filter_data();
    void filter();
    void composedMessages_data();
    void composedMessages();
    void programWithoutSwitch();
    void unknownPluginSelectedInFull_data();
    void unknownPluginSelectedInFull();
    void switchSequence();
    void requestsDuringWait_data();
    void requestsDuringWait();
    void bankSelectAloneSendsNothing();
    void zeroAndNegativeWaitEndOnTheEventLoop_data();
    void zeroAndNegativeWaitEndOnTheEventLoop();
    void newLoadingTimesApplyFromTheNextSwitch();
    void channelChangeDuringWait();
    void translationOffDuringWaitKeepsHolding();
    void labelText_data();
    void labelText();
    void outputFailureIsContained();
    void refusedProgramIsNotClaimed_data();
    void refusedProgramIsNotClaimed();
    void queueTakesWholeBatchesOrNothing();
    void pollerReportsOnlyChanges();
    void sysexInPieces_data();
    void sysexInPieces();
    void noteOnAfterChannelChangeNotSent();
    void heldNotesReleased_data();
    void heldNotesReleased();
    void heldMeansSoundingAtTheUnit_data();
    void heldMeansSoundingAtTheUnit();
    void programBeforeAnyHeldBackMessage();
    void noOutputStillRunsTheSequence();
    void destroyDuringLongWait();
    void programChangeWhileLoadEnds();
    void signalsFromTheInputThreadKeepTheirOrder();
    void backToBackSwitchesAllEnd();
    void fullHandOffQueueMutesNothing();
    void hammer();
    void alsaEventsAsTheLibraryMakesThem();
};

void TestRouter::initialState()
{
    MidiIO router;
    QCOMPARE(router.channel(), -1);
    QVERIFY(router.ignoresClockMessages());
    QVERIFY(router.ignoresSysex());
    QVERIFY(router.translatesCC0());
    QVERIFY(!router.loadingPlugin());
    QCOMPARE(router.currentPlugin(), 0);
    QCOMPARE(router.currentProgram(), 0);
    const int defaults[] = {2000, 1500, 3000, 3000, 2300, 2100, 1900, 1500};
    for (int i = 0; i < 8; ++i)
        QCOMPARE(router.loadingTime(i), defaults[i]);
    QCOMPARE(router.getPGAndPluginName(), QStringLiteral("VARKONI - 1"));
    QVERIFY(!router.inputOpen());
    QVERIFY(!router.outputOpen());
}

void TestRouter::filter_data()
{
    QTest::addColumn<int>("channel"); // as the user sees it; 0 leaves the router's -1
    QTest::addColumn<bool>("translate");
    QTest::addColumn<bool>("ignoreSysex");
    QTest::addColumn<bool>("ignoreClock");
    QTest::addColumn<bool>("loading");
    QTest::addColumn<QByteArray>("message");
    QTest::addColumn<QList<QByteArray>>("expected");
    QTest::addColumn<int>("reqPlugin");
    QTest::addColumn<int>("reqProg");

    using L = QList<QByteArray>;
    const QByteArray noteOn0 = hex("903c64");
    // clang-format off
    QTest::newRow("fresh router drops notes on any channel") << 0 << true << true << true << false << noteOn0 << L{} << 0 << 0;
    QTest::newRow("fresh router drops clock") << 0 << true << true << true << false << hex("f8") << L{} << 0 << 0;
    QTest::newRow("clock passes on any channel when not ignored") << 0 << true << true << false << false << hex("f8") << L{hex("f8")} << 0 << 0;
    QTest::newRow("quarter frame follows the clock flag") << 3 << true << true << false << false << hex("f171") << L{hex("f171")} << 0 << 0;
    QTest::newRow("song position dropped by the clock flag") << 1 << true << true << true << false << hex("f20102") << L{} << 0 << 0;
    QTest::newRow("song position passes without the clock flag") << 1 << true << true << false << false << hex("f20102") << L{hex("f20102")} << 0 << 0;
    QTest::newRow("song select passes without the clock flag") << 1 << false << true << false << false << hex("f305") << L{hex("f305")} << 0 << 0;
    QTest::newRow("sysex dropped") << 1 << true << true << true << false << hex("f07e7f0601f7") << L{} << 0 << 0;
    QTest::newRow("sysex passes") << 1 << true << false << true << false << hex("f07e7f0601f7") << L{hex("f07e7f0601f7")} << 0 << 0;
    QTest::newRow("routed channel passes unchanged") << 1 << true << true << true << false << noteOn0 << L{noteOn0} << 0 << 0;
    QTest::newRow("other channel dropped") << 1 << true << true << true << false << hex("913c64") << L{} << 0 << 0;
    QTest::newRow("channel 16 routes 0x?F") << 16 << true << true << true << false << hex("8f3c00") << L{hex("8f3c00")} << 0 << 0;
    QTest::newRow("poly pressure passes") << 1 << true << true << true << false << hex("a03c10") << L{hex("a03c10")} << 0 << 0;
    QTest::newRow("channel pressure passes") << 2 << true << true << true << false << hex("d140") << L{hex("d140")} << 0 << 0;
    QTest::newRow("pitch bend passes") << 1 << true << true << true << false << hex("e00040") << L{hex("e00040")} << 0 << 0;
    QTest::newRow("bank select 3 is a request") << 1 << true << true << true << false << hex("b00003") << L{} << 3 << 0;
    QTest::newRow("bank select 7 is a request") << 1 << true << true << true << false << hex("b00007") << L{} << 7 << 0;
    QTest::newRow("bank select 8 changes nothing") << 1 << true << true << true << false << hex("b00008") << L{} << 0 << 0;
    QTest::newRow("bank select 127 changes nothing") << 1 << true << true << true << false << hex("b0007f") << L{} << 0 << 0;
    QTest::newRow("volume passes") << 1 << true << true << true << false << hex("b00764") << L{hex("b00764")} << 0 << 0;
    QTest::newRow("program 99 accepted") << 1 << true << true << true << false << hex("c063") << L{hex("c063")} << 0 << 99;
    QTest::newRow("program 100 dropped") << 1 << true << true << true << false << hex("c064") << L{} << 0 << 0;
    QTest::newRow("program change on another channel dropped") << 1 << true << true << true << false << hex("c105") << L{} << 0 << 0;
    QTest::newRow("no translation: bank select passes") << 1 << false << true << true << false << hex("b00003") << L{hex("b00003")} << 0 << 0;
    QTest::newRow("no translation: program 100 passes") << 1 << false << true << true << false << hex("c064") << L{hex("c064")} << 0 << 0;
    QTest::newRow("loading: sysex still passes") << 1 << true << false << true << true << hex("f001f7") << L{hex("f001f7")} << 1 << 0;
    QTest::newRow("loading: clock still passes") << 1 << true << true << false << true << hex("f8") << L{hex("f8")} << 1 << 0;
    QTest::newRow("loading: note held back") << 1 << true << true << true << true << noteOn0 << L{} << 1 << 0;
    QTest::newRow("loading: controller held back") << 1 << true << true << true << true << hex("b00764") << L{} << 1 << 0;
    QTest::newRow("loading: bank select still recorded") << 1 << true << true << true << true << hex("b00005") << L{} << 5 << 0;
    QTest::newRow("loading: program recorded, not sent") << 1 << true << true << true << true << hex("c009") << L{} << 1 << 9;
    QTest::newRow("loading without translation: note held back") << 1 << false << true << true << true << noteOn0 << L{} << 1 << 0;
    QTest::newRow("start passes with the clock on another channel") << 1 << true << true << false << false << hex("fa") << L{hex("fa")} << 0 << 0;
    QTest::newRow("stop dropped with the clock on the channel of its low bits") << 13 << false << true << true << false << hex("fc") << L{} << 0 << 0;
    QTest::newRow("reset dropped with the clock on channel 16") << 16 << true << true << true << false << hex("ff") << L{} << 0 << 0;
    QTest::newRow("tune request passes with the clock") << 7 << true << true << false << false << hex("f6") << L{hex("f6")} << 0 << 0;
    QTest::newRow("lone end of sysex follows the sysex setting") << 8 << true << false << true << false << hex("f7") << L{hex("f7")} << 0 << 0;
    QTest::newRow("active sensing dropped even on its channel") << 15 << false << false << false << false << hex("fe") << L{} << 0 << 0;
    QTest::newRow("empty message dropped") << 1 << true << false << false << false << QByteArray() << L{} << 0 << 0;
    QTest::newRow("control change without data dropped") << 1 << true << true << true << false << hex("b000") << L{} << 0 << 0;
    QTest::newRow("program change without data dropped") << 1 << true << true << true << false << hex("c0") << L{} << 0 << 0;
    QTest::newRow("program data byte above 127 dropped") << 1 << true << true << true << false << hex("c085") << L{} << 0 << 0;
    // clang-format on
}

void TestRouter::filter()
{
    QFETCH(int, channel);
    QFETCH(bool, translate);
    QFETCH(bool, ignoreSysex);
    QFETCH(bool, ignoreClock);
    QFETCH(bool, loading);
    QFETCH(QByteArray, message);
    QFETCH(QList<QByteArray>, expected);
    QFETCH(int, reqPlugin);
    QFETCH(int, reqProg);

    Rig rig(60000);
    if (channel)
        rig.router.setMidiChannel(channel);
    if (loading) {
        // Switch to plug-in 1 and stay in its (long) wait.
        rig.in("b00001");
        rig.in("c000");
        QVERIFY(rig.router.loadingPlugin());
        rig.log->clear();
    }
    rig.router.setTranslateCC0(translate);
    rig.router.setIgnoreSysex(ignoreSysex);
    rig.router.setIgnoreClockMessages(ignoreClock);

    feed(rig.router, bytes(message));

    QCOMPARE(rig.sent(), expected);
    QCOMPARE(rig.router.requestedPlugin(), reqPlugin);
    QCOMPARE(rig.router.requestedProgram(), reqProg);
    QCOMPARE(rig.router.loadingPlugin(), loading);
}

void TestRouter::composedMessages_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<int>("channel");
    QTest::addColumn<int>("data1");
    QTest::addColumn<int>("data2");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("note on, three bytes") << 0x90 << 2 << 64 << 0 << hex("924000");
    QTest::newRow("255 means two bytes") << 0xC0 << 15 << 5 << 255 << hex("cf05");
    QTest::newRow("254 is still a data byte") << 0xB0 << 0 << 7 << 254 << hex("b007fe");
}

void TestRouter::composedMessages()
{
    QFETCH(int, type);
    QFETCH(int, channel);
    QFETCH(int, data1);
    QFETCH(int, data2);
    QFETCH(QByteArray, expected);

    Rig rig;
    rig.router.sendMidiMessage(type, channel, data1, data2);
    QCOMPARE(rig.sent(), QList<QByteArray>{expected});

    rig.log->clear();
    rig.router.setMidiChannel(3);
    rig.router.sendProgramChange(5);
    QCOMPARE(rig.sent(), QList<QByteArray>{hex("c205")});
}

void TestRouter::programWithoutSwitch()
{
    Rig rig;
    rig.router.setMidiChannel(1);
    rig.in("c005");
    QCOMPARE(rig.sent(), QList<QByteArray>{hex("c005")});
    QCOMPARE(rig.router.currentProgram(), 5);
    QVERIFY(!rig.router.loadingPlugin());
    QCOMPARE(rig.events, QStringList{"program"});
    QCOMPARE(rig.router.getPGAndPluginName(), QStringLiteral("VARKONI - 6"));
}

void TestRouter::unknownPluginSelectedInFull_data()
{
    QTest::addColumn<QList<QByteArray>>("before");
    QTest::addColumn<int>("unit"); // 0: stays; 1: its output replaced after before; 2: reached by
                                   // nothing during before
    QTest::addColumn<QList<QByteArray>>("ask");
    QTest::addColumn<QList<QByteArray>>("expected");

    using L = QList<QByteArray>;
    const L to3{hex("b00003"), hex("c005")};
    const L select3{hex("c068"), hex("90407f"), hex("904000")};
    QTest::newRow("bank select 0 after a start")
        << L{} << 0 << L{hex("b00000"), hex("c005")}
        << L{hex("c065"), hex("90407f"), hex("904000"), hex("c005")};
    QTest::newRow("the same plug-in after the unit's port went")
        << to3 << 1 << L{hex("b00003"), hex("c009")} << select3 + L{hex("c009")};
    QTest::newRow("a program alone after the unit's port went")
        << to3 << 1 << L{hex("c009")} << select3 + L{hex("c009")};
    QTest::newRow("the same plug-in after a selection that reached no one")
        << to3 << 2 << L{hex("b00003"), hex("c009")} << select3 + L{hex("c009")};
    QTest::newRow("the same plug-in while the unit stayed")
        << to3 << 0 << L{hex("b00003"), hex("c009")} << L{hex("c009")};
}

void TestRouter::unknownPluginSelectedInFull()
{
    QFETCH(QList<QByteArray>, before);
    QFETCH(int, unit);
    QFETCH(QList<QByteArray>, ask);
    QFETCH(QList<QByteArray>, expected);

    Rig rig(10);
    rig.router.setMidiChannel(1);
    rig.log->reached = unit != 2;
    for (const QByteArray &m : before)
        feed(rig.router, bytes(m));
    QVERIFY(rig.waitLoaded());
    rig.log->reached = true;
    if (unit == 1)
        rig.router.replaceOutput(new RecordingSink(rig.log));
    rig.router.settle();
    QCOMPARE(rig.router.pluginKnown(), !before.isEmpty() && unit == 0);
    rig.log->clear();
    for (const QByteArray &m : ask)
        feed(rig.router, bytes(m));
    QVERIFY(rig.waitLoaded());
    QCOMPARE(rig.sent(), expected);
    QVERIFY(rig.router.pluginKnown());
}

void TestRouter::switchSequence()
{
    Rig rig(60);
    rig.router.setMidiChannel(1);
    rig.in("b00003");
    QVERIFY(rig.sent().isEmpty());
    rig.in("c005");

    const QList<QByteArray> selection{hex("c068"), hex("90407f"), hex("904000")};
    QCOMPARE(rig.sent(), selection);
    QVERIFY(rig.router.loadingPlugin());
    QCOMPARE(rig.router.getPGAndPluginName(), QStringLiteral("QUENDRA - 1"));
    QCOMPARE(rig.events, (QStringList{"plugin", "loading"}));

    rig.in("903c64"); // held back during the wait
    QVERIFY(rig.waitLoaded());
    QCOMPARE(rig.sent(), selection + QList<QByteArray>{hex("c005")});
    QCOMPARE(rig.events, (QStringList{"plugin", "loading", "loaded", "program"}));
    QCOMPARE(rig.router.getPGAndPluginName(), QStringLiteral("QUENDRA - 6"));

    const auto waited = rig.log->timeOf(3) - rig.log->timeOf(2);
    QVERIFY2(waited >= std::chrono::milliseconds(60),
             "the program went out before the plug-in loaded");

    rig.in("903c64");
    QCOMPARE(rig.sent().last(), hex("903c64"));
}

void TestRouter::requestsDuringWait_data()
{
    QTest::addColumn<QList<QByteArray>>("during");
    QTest::addColumn<QList<QByteArray>>("afterFirstWait");

    using L = QList<QByteArray>;
    QTest::newRow("another plug-in and program")
        << L{hex("b00001"), hex("c007")}
        << L{hex("c066"), hex("90407f"), hex("904000"), hex("c007")};
    QTest::newRow("the same plug-in again") << L{hex("b00003"), hex("c009")} << L{hex("c009")};
    QTest::newRow("back to the previous plug-in")
        << L{hex("b00000")} << L{hex("c065"), hex("90407f"), hex("904000"), hex("c005")};
    QTest::newRow("last program wins")
        << L{hex("c00a"), hex("c00b"), hex("c00c")} << L{hex("c00c")};
    QTest::newRow("out of range requests ignored")
        << L{hex("b00009"), hex("c070")} << L{hex("c005")};
    QTest::newRow("controllers' latest values after the program, notes dropped")
        << L{hex("b0407f"), hex("b0075a"), hex("903c64"), hex("d030"), hex("b04000"),
             hex("e00050"), hex("b00760"), hex("a03c10"), hex("d020")}
        << L{hex("c005"), hex("b04000"), hex("b00760"), hex("d020"), hex("e00050")};
    QTest::newRow("controllers kept across a further switch")
        << L{hex("b00001"), hex("b00764"), hex("c007")}
        << L{hex("c066"), hex("90407f"), hex("904000"), hex("c007"), hex("b00764")};
}

void TestRouter::requestsDuringWait()
{
    QFETCH(QList<QByteArray>, during);
    QFETCH(QList<QByteArray>, afterFirstWait);

    Rig rig(40);
    rig.router.setMidiChannel(1);
    rig.in("b00003");
    rig.in("c005");
    QVERIFY(rig.router.loadingPlugin());
    for (const QByteArray &m : during)
        feed(rig.router, bytes(m));
    QCOMPARE(rig.sent().size(), 3);
    QVERIFY(rig.waitLoaded());

    QCOMPARE(rig.sent().mid(3), afterFirstWait);
    QCOMPARE(rig.events.count("loaded"), 1);
    QCOMPARE(rig.events.count("loading"), 1 + afterFirstWait.count(hex("90407f")));
}

void TestRouter::bankSelectAloneSendsNothing()
{
    Rig rig;
    rig.router.setMidiChannel(1);
    rig.in("b00002");
    QCoreApplication::processEvents();
    QVERIFY(rig.sent().isEmpty());
    QVERIFY(rig.events.isEmpty());
    QCOMPARE(rig.router.getPGAndPluginName(), QStringLiteral("VARKONI - 1"));
}

void TestRouter::zeroAndNegativeWaitEndOnTheEventLoop_data()
{
    QTest::addColumn<int>("loadingTime");
    QTest::newRow("zero") << 0;
    QTest::newRow("negative") << -500;
    QTest::newRow("most negative") << std::numeric_limits<int>::min();
}

void TestRouter::zeroAndNegativeWaitEndOnTheEventLoop()
{
    QFETCH(int, loadingTime);
    Rig rig(loadingTime);
    rig.router.setMidiChannel(1);
    rig.in("b00004");
    rig.in("c011");
    // Even a zero wait ends through the queued timerDone(), after the switch reported.
    QVERIFY(rig.waitLoaded());
    QCOMPARE(rig.sent().size(), 4);
    QCOMPARE(rig.sent().last(), hex("c011"));
    QTRY_COMPARE(rig.events, (QStringList{"plugin", "loading", "loaded", "program"}));
    QCOMPARE(rig.router.getPGAndPluginName(), QStringLiteral("BALTRIX - 18"));
}

void TestRouter::newLoadingTimesApplyFromTheNextSwitch()
{
    Rig rig(80);
    rig.router.setMidiChannel(1);
    rig.in("b00002");
    rig.in("c001");
    rig.router.setLoadingTimes(0, 0, 0, 0, 0, 0, 0, 0);
    QVERIFY(rig.waitLoaded());
    QCOMPARE(rig.sent().size(), 4);
    QVERIFY(rig.log->timeOf(3) - rig.log->timeOf(2) >= std::chrono::milliseconds(80));
    QCOMPARE(rig.router.loadingTime(2), 0);
}

void TestRouter::channelChangeDuringWait()
{
    Rig rig(30);
    rig.router.setMidiChannel(1);
    rig.in("b00003");
    rig.in("c005");
    rig.router.setMidiChannel(2);
    QVERIFY(rig.waitLoaded());
    QCOMPARE(rig.sent().last(), hex("c105"));
}

void TestRouter::translationOffDuringWaitKeepsHolding()
{
    Rig rig(50);
    rig.router.setMidiChannel(1);
    rig.in("b00003");
    rig.in("c005");
    rig.router.setTranslateCC0(false);
    rig.in("903c64");
    rig.in("c007"); // a plain message now: held back like the others
    QCOMPARE(rig.sent().size(), 3);
    QVERIFY(rig.waitLoaded());
    QCOMPARE(rig.sent().last(), hex("c005"));
    rig.in("c007");
    QCOMPARE(rig.sent().last(), hex("c007"));
}

void TestRouter::labelText_data()
{
    QTest::addColumn<int>("plugin");
    QTest::addColumn<int>("program");
    QTest::addColumn<QString>("label");
    QTest::newRow("first plug-in, first program") << 0 << 0 << "VARKONI - 1";
    QTest::newRow("program 100 counted from one") << 1 << 99 << "TESSEL - 100";
    QTest::newRow("third plug-in") << 2 << 9 << "ORMALINE - 10";
    QTest::newRow("fourth plug-in") << 3 << 5 << "QUENDRA - 6";
    QTest::newRow("fifth plug-in") << 4 << 42 << "BALTRIX - 43";
    QTest::newRow("a name with a hyphen") << 5 << 1 << "ZOLA-7 - 2";
    QTest::newRow("seventh plug-in") << 6 << 63 << "MERIDOX - 64";
    QTest::newRow("last plug-in") << 7 << 7 << "KAVOLINE - 8";
}

void TestRouter::labelText()
{
    QFETCH(int, plugin);
    QFETCH(int, program);
    QFETCH(QString, label);

    Rig rig(0);
    rig.router.setMidiChannel(1);
    feed(rig.router, Bytes{0xB0, 0, static_cast<unsigned char>(plugin)});
    feed(rig.router, Bytes{0xC0, static_cast<unsigned char>(program)});
    QVERIFY(rig.waitLoaded());
    QCOMPARE(rig.router.getPGAndPluginName(), label);
    QCOMPARE(MidiIO::pluginName(plugin), label.section(" - ", 0, 0));
    if (plugin != 0)
        QCOMPARE(rig.sent().first(), QByteArray(1, char(0xC0)) + char(101 + plugin));
}

void TestRouter::outputFailureIsContained()
{
    std::atomic<int> attempts{0};
    MidiIO router;
    router.replaceOutput(new ThrowingSink(attempts));
    router.setLoadingTimes(10, 10, 10, 10, 10, 10, 10, 10);
    router.setMidiChannel(1);
    feed(router, bytes(hex("903c64")));
    feed(router, bytes(hex("b00003")));
    feed(router, bytes(hex("c005")));
    QTRY_VERIFY_WITH_TIMEOUT(!router.loadingPlugin(), 5000);
    QVERIFY(attempts.load() >= 2); // the note, then the selection: each one contained

    // Once the output takes messages again, the router goes on as before.
    auto log = std::make_shared<MessageLog>();
    router.replaceOutput(new RecordingSink(log));
    feed(router, bytes(hex("b00001")));
    feed(router, bytes(hex("c007")));
    QTRY_VERIFY_WITH_TIMEOUT(!router.loadingPlugin(), 5000);
    router.settle();
    QCOMPARE(qmessages(log->all()),
             (QList<QByteArray>{hex("c066"), hex("90407f"), hex("904000"), hex("c007")}));
    QCOMPARE(router.getPGAndPluginName(), QStringLiteral("TESSEL - 8"));
}

void TestRouter::refusedProgramIsNotClaimed_data()
{
    QTest::addColumn<QList<QByteArray>>("before");  // sent while the output takes messages
    QTest::addColumn<QList<QByteArray>>("refused"); // sent once it refuses, before the wait ends
    QTest::addColumn<QString>("label");
    QTest::addColumn<bool>("wasLoading");

    using L = QList<QByteArray>;
    const L switchTo2{hex("b00002"), hex("c009")};
    QTest::newRow("program without a switch") << L{} << L{hex("c005")} << "VARKONI - 1" << false;
    QTest::newRow("program at the end of a load") << switchTo2 << L{} << "ORMALINE - 1" << true;
    QTest::newRow("a further switch at the end of a load")
        << switchTo2 << L{hex("b00004")} << "ORMALINE - 1" << true;
}

void TestRouter::refusedProgramIsNotClaimed()
{
    QFETCH(QList<QByteArray>, before);
    QFETCH(QList<QByteArray>, refused);
    QFETCH(QString, label);
    QFETCH(bool, wasLoading);
    Rig rig(50);
    rig.router.setMidiChannel(1);
    for (const QByteArray &m : before)
        feed(rig.router, bytes(m));
    rig.log->refuse = true;
    for (const QByteArray &m : refused)
        feed(rig.router, bytes(m));
    QVERIFY(rig.waitLoaded());
    if (wasLoading)
        QTRY_COMPARE_WITH_TIMEOUT(rig.events.last(), QStringLiteral("program"), 5000);
    QCOMPARE(rig.events.count("loading"), rig.events.count("loaded"));
    QCOMPARE(rig.router.getPGAndPluginName(), label);
}

void TestRouter::queueTakesWholeBatchesOrNothing()
{
    // Small, so that batches wrap around its end and often do not fit.
    MessageQueue queue(64);
    std::mt19937 random(7);
    int refused = 0;
    for (int round = 0; round < 500; ++round) {
        QList<QByteArray> accepted;
        for (;;) {
            QByteArray batch[3];
            MidiSink::Message messages[3];
            const std::size_t count = random() % 3 + 1;
            for (std::size_t i = 0; i < count; ++i) {
                batch[i] = QByteArray(int(random() % 20 + 1), char(random()));
                messages[i] = {reinterpret_cast<const unsigned char *>(batch[i].constData()),
                               std::size_t(batch[i].size())};
            }
            if (!queue.push(messages, count)) {
                ++refused;
                break;
            }
            for (std::size_t i = 0; i < count; ++i)
                accepted << batch[i];
        }
        QList<QByteArray> read;
        while (const std::size_t size = queue.frontSize()) {
            QByteArray m(int(size), '\0');
            queue.pop(reinterpret_cast<unsigned char *>(m.data()));
            read << m;
        }
        QVERIFY(queue.empty());
        QCOMPARE(read, accepted);
    }
    QCOMPARE(refused, 500);
}

void TestRouter::pollerReportsOnlyChanges()
{
    std::mutex mutex;
    QStringList system{"a:1"}, seen;
    int looks = 0, reports = 0;
    PortPoller poller(
        [&](QStringList &inputs, QStringList &outputs) {
            std::lock_guard<std::mutex> lock(mutex);
            inputs = system;
            outputs = QStringList{"out:1"};
            ++looks;
        },
        [&](const QStringList &inputs, const QStringList &) {
            std::lock_guard<std::mutex> lock(mutex);
            seen = inputs;
            ++reports;
        },
        5);
    const auto locked = [&](auto f) {
        std::lock_guard<std::mutex> lock(mutex);
        return f();
    };
    QTRY_VERIFY(locked([&] { return looks >= 10; }));
    QCOMPARE(locked([&] { return reports; }), 1);
    locked([&] { return system << "b:1"; });
    QTRY_COMPARE(locked([&] { return reports; }), 2);
    QCOMPARE(locked([&] { return seen; }), (QStringList{"a:1", "b:1"}));
}

void TestRouter::sysexInPieces_data()
{
    QTest::addColumn<bool>("ignoreSysex");
    QTest::addColumn<QList<QByteArray>>("input");
    QTest::addColumn<QList<QByteArray>>("expected");

    using L = QList<QByteArray>;
    const L pieces{hex("f00102"), hex("0304"), hex("0506f7")};
    QTest::newRow("pieces follow their start") << false << pieces << pieces;
    QTest::newRow("pieces dropped with their start") << true << pieces << L{};
    QTest::newRow("clock inside a sysex keeps it open")
        << false << L{hex("f001"), hex("f8"), hex("02f7")} << L{hex("f001"), hex("02f7")};
    QTest::newRow("data without a sysex open is dropped")
        << false << L{hex("f001f7"), hex("0203")} << L{hex("f001f7")};
    QTest::newRow("a channel message ends an open sysex")
        << false << L{hex("f001"), hex("903c40"), hex("0203")} << L{hex("f001"), hex("903c40")};
}

void TestRouter::sysexInPieces()
{
    QFETCH(bool, ignoreSysex);
    QFETCH(QList<QByteArray>, input);
    QFETCH(QList<QByteArray>, expected);
    Rig rig;
    rig.router.setMidiChannel(1);
    rig.router.setIgnoreSysex(ignoreSysex);
    for (const QByteArray &m : input)
        feed(rig.router, bytes(m));
    QCOMPARE(rig.sent(), expected);
}

void TestRouter::noteOnAfterChannelChangeNotSent()
{
    // The input checked the channel just before the change: the Note On is
    // not sent, since its Note Off would never be routed; Note Offs still go.
    auto log = std::make_shared<MessageLog>();
    ThreadedOutput output(std::make_unique<RecordingSink>(log));
    output.setChannel(0);
    const unsigned char on[3] = {0x90, 0x3C, 0x40}, off[3] = {0x80, 0x3D, 0x00};
    QVERIFY(output.forward(on, 3, 0));
    output.drain();
    output.setChannel(1);
    QVERIFY(output.forward(on, 3, 0));
    QVERIFY(output.forward(off, 3, 0));
    output.drain();
    QCOMPARE(qmessages(log->all()), (QList<QByteArray>{hex("903c40"), hex("803d00")}));
    QCOMPARE(output.heldNoteCount(), 1);
}

void TestRouter::heldNotesReleased_data()
{
    QTest::addColumn<QString>("action");
    QTest::addColumn<QList<QByteArray>>("released"); // what the first output gets after the notes

    using L = QList<QByteArray>;
    const L both{hex("803c00"), hex("803e00")};
    QTest::newRow("channel changed") << "channel" << both;
    QTest::newRow("same channel set again") << "same channel" << L{};
    QTest::newRow("output replaced") << "replace output" << both;
    QTest::newRow("output closed") << "close output" << both;
    QTest::newRow("input closed") << "close input" << both;
    // Its last note comes as it is cut off: the release must come after it.
    QTest::newRow("input closed as its source plays one more note")
        << "close input, one more note"
        << L{hex("904064"), hex("803c00"), hex("803e00"), hex("804000")};
    QTest::newRow("router destroyed") << "destroy" << both;
    // Their Note Offs would be held back while the plug-in loads.
    QTest::newRow("switch starts: released before the selection")
        << "switch" << (both + L{hex("c066"), hex("90407f"), hex("904000")});
    QTest::newRow("notes on channel 16") << "channel 16" << L{hex("8f3c00"), hex("8f3e00")};
}

void TestRouter::heldNotesReleased()
{
    QFETCH(QString, action);
    QFETCH(QList<QByteArray>, released);
    auto first = std::make_shared<MessageLog>();
    auto second = std::make_shared<MessageLog>();
    auto router = std::make_unique<MidiIO>();
    router->replaceOutput(new RecordingSink(first));
    router->setLoadingTimes(100000, 100000, 100000, 100000, 100000, 100000, 100000, 100000);
    const bool sixteen = action == "channel 16";
    router->setMidiChannel(sixteen ? 16 : 1);
    // Held: 60 and 62. Released by the source: 61 (Note Off), 64 (Note On velocity 0).
    for (const char *m : {"903c64", "903d64", "903e01", "904040", "803d00", "904000"}) {
        Bytes note = bytes(hex(m));
        note[0] |= sixteen ? 0x0F : 0;
        feed(*router, note);
    }
    QCOMPARE(router->heldNoteCount(), 2);
    first->clear();

    if (action == "channel" || sixteen)
        router->setMidiChannel(2);
    else if (action == "same channel")
        router->setMidiChannel(1);
    else if (action == "replace output")
        router->replaceOutput(new RecordingSink(second));
    else if (action == "close output")
        router->closeMidiOut();
    else if (action == "close input")
        router->closeMidiIn();
    else if (action == "close input, one more note") {
        MidiPorts::cuttingOffInput = [&router] { feed(*router, bytes(hex("904064"))); };
        router->closeMidiIn();
        MidiPorts::cuttingOffInput = nullptr;
    } else if (action == "destroy")
        router.reset();
    else if (action == "switch") {
        feed(*router, bytes(hex("b00001")));
        feed(*router, bytes(hex("c000")));
        QVERIFY(router->loadingPlugin());
        // A note dropped while the plug-in loads is not held.
        feed(*router, bytes(hex("904564")));
    }
    if (router)
        router->settle();
    QCOMPARE(qmessages(first->all()), released);
    QVERIFY(second->all().empty());
    if (router)
        QCOMPARE(router->heldNoteCount(), released.isEmpty() ? 2 : 0);
}

void TestRouter::heldMeansSoundingAtTheUnit_data()
{
    // Steps: "on N"/"off N" from the input, "release", "cut" (the unit's port
    // goes: what is written reaches no one), "join" (it is back), "full"
    // (no room: the writer's sends wait), "wait" (until one does), "room"
    // (room again, the writer still waiting), "flow", "cc N V" and "ch N"
    // (the routed channel), "panic", "refuse HEX" (the next such message).
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<QList<QByteArray>>("heard"); // what reached the unit
    QTest::addColumn<int>("held");

    using L = QList<QByteArray>;
    const QByteArray on60 = hex("903c64"), off60 = hex("803c00"), on62 = hex("903e64");
    QTest::newRow("a Note Off that reached no one leaves its note owed")
        << QStringList{"on 60", "cut", "off 60", "join", "release"} << L{on60, off60} << 0;
    QTest::newRow("a Note On that reached no one is not held")
        << QStringList{"cut", "on 60", "join", "release"} << L{} << 0;
    QTest::newRow("a release that reached no one is owed still")
        << QStringList{"on 60", "cut", "release", "join", "release"} << L{on60, off60} << 0;
    QTest::newRow("a release goes once")
        << QStringList{"on 60", "release", "release"} << L{on60, off60} << 0;
    QTest::newRow("input after a release waits for it")
        << QStringList{"on 60", "release", "on 62"} << L{on60, off60, on62} << 1;
    QTest::newRow("the source's own Note Off ends the note")
        << QStringList{"on 60", "off 60", "release"} << L{on60, off60} << 0;
    QTest::newRow("a Note Off the unit refused leaves the note for the next release")
        << QStringList{"on 60", "refuse 803c00", "off 60", "release"} << L{on60, off60} << 0;
    // The input writes to the unit itself only while the writer has nothing.
    const QByteArray on64 = hex("904064"), off62 = hex("803e00");
    QTest::newRow("input behind a backlog waits for it, with room at the unit")
        << QStringList{"on 60", "full", "on 62", "wait", "room", "on 64", "flow"}
        << L{on60, on62, on64} << 3;
    // Sustain down, notes on two channels (the routed one changed between).
    L panicked{on60, hex("b0407f"), hex("913e64"), off60, hex("813e00")};
    for (int channel = 0; channel < 16; ++channel)
        for (const char *cc : {"4000", "7800", "7b00"})
            panicked << QByteArray(1, char(0xB0 + channel)) + hex(cc);
    QTest::newRow("a panic ends every note, then silences every channel")
        << QStringList{"on 60", "cc 64 127", "ch 1", "on 62", "panic"} << panicked << 0;
    QTest::newRow("a release behind a backlog is not overtaken by the input's own write")
        << QStringList{"on 60", "full", "on 62", "wait", "release", "room", "on 64", "flow"}
        << L{on60, on62, off60, off62, on64} << 1;
}

void TestRouter::heldMeansSoundingAtTheUnit()
{
    QFETCH(QStringList, steps);
    QFETCH(QList<QByteArray>, heard);
    QFETCH(int, held);
    auto log = std::make_shared<MessageLog>();
    log->direct = true;
    ThreadedOutput output(std::make_unique<RecordingSink>(log));
    int channel = 0;
    output.setChannel(channel);
    for (const QString &step : steps) {
        const QStringList words = step.split(' ');
        if (words.first() == "on" || words.first() == "off" || words.first() == "cc") {
            const int status = words.first() == "on" ? 0x90 : words.first() == "off" ? 0x80 : 0xB0;
            const unsigned char m[3] = {static_cast<unsigned char>(status + channel),
                                        static_cast<unsigned char>(words.at(1).toInt()),
                                        static_cast<unsigned char>(words.size() > 2
                                                                       ? words.at(2).toInt()
                                                                   : status == 0x90 ? 0x64
                                                                                    : 0)};
            QVERIFY(output.forward(m, 3, 0));
        } else if (words.first() == "refuse") {
            log->refuseNext(bytes(hex(words.last().toLatin1())));
        } else if (words.first() == "ch") {
            channel = words.last().toInt();
            output.setChannel(channel);
        } else if (step == "release") {
            QVERIFY(output.releaseHeldNotes());
        } else if (step == "panic") {
            QVERIFY(output.panic());
        } else if (step == "full" || step == "room" || step == "flow") {
            log->stall = step != "flow";
            log->direct = step != "full";
        } else if (step == "wait") {
            QTRY_VERIFY_WITH_TIMEOUT(log->blocked, 2000);
        } else {
            // The port goes or comes between two writes.
            output.drain();
            log->reached = step == "join";
        }
    }
    output.drain();
    QCOMPARE(qmessages(log->all()), heard);
    QCOMPARE(output.heldNoteCount(), held);
}

void TestRouter::programBeforeAnyHeldBackMessage()
{
    // The input keeps sending notes while a plug-in loads and as it ends:
    // once loaded, the program must reach the unit before any of them.
    // First the moment itself: a note comes while the load's end is sending
    // the program (held in the output's look at whether it takes it, on the
    // thread that began the load).
    std::atomic<bool> holdTheEnd{true};
    Rig rig(2, onLoadBegun([&] {
                if (holdTheEnd.exchange(false))
                    rig.log->holdOn = std::this_thread::get_id();
            }));
    rig.router.setMidiChannel(1);
    auto in = [&](Bytes m) { MidiIO::midiInCallback(0.0, &m, rig.router.callbackUserData()); };
    rig.in("b00002");
    rig.in("c005");
    rig.log->clear();
    std::thread note([&] {
        while (!rig.log->holding)
            std::this_thread::yield();
        in({0x90, 60, 100});
        rig.log->holdOn = std::thread::id();
    });
    QVERIFY(rig.waitLoaded());
    note.join();
    QCOMPARE(rig.sent(), QList<QByteArray>{hex("c005")});
    rig.log->clear();
    std::atomic<bool> done{false};
    std::thread input([&] {
        for (int k = 0; k < 30; ++k) {
            in({0xB0, 0, static_cast<unsigned char>(k % 2 + 1)});
            in({0xC0, static_cast<unsigned char>(k)});
            // Notes while it loads and right as it ends, from the one input thread.
            const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
            while (rig.router.loadingPlugin() && std::chrono::steady_clock::now() < until) {
                in({0x90, 60, 100});
                in({0x80, 60, 0});
            }
            for (int i = 0; i < 4; ++i) {
                in({0x90, 60, 100});
                in({0x80, 60, 0});
            }
        }
        done = true;
    });
    QTRY_VERIFY_WITH_TIMEOUT(done.load(), 60000);
    input.join();
    QVERIFY(rig.waitLoaded());
    const QList<QByteArray> sent = rig.sent();
    int switches = 0;
    for (int i = 0; i + 3 < sent.size(); ++i) {
        if (sent[i].size() != 2 || uchar(sent[i][0]) != 0xC0 || uchar(sent[i][1]) < 101)
            continue;
        ++switches;
        QCOMPARE(sent[i + 1], hex("90407f"));
        QCOMPARE(sent[i + 2], hex("904000"));
        QVERIFY2(sent[i + 3].size() == 2 && uchar(sent[i + 3][0]) == 0xC0,
                 qPrintable(QString("after switch %1 came %2 before the program")
                                .arg(switches)
                                .arg(QString::fromLatin1(sent[i + 3].toHex()))));
    }
    QCOMPARE(switches, 30);
}

void TestRouter::noOutputStillRunsTheSequence()
{
    MidiIO router;
    router.setLoadingTimes(10, 10, 10, 10, 10, 10, 10, 10);
    router.setMidiChannel(1);
    QSignalSpy loading(&router, &MidiIO::setIsLoadingPlugin);
    feed(router, bytes(hex("b00006")));
    feed(router, bytes(hex("c020")));
    QVERIFY(router.loadingPlugin());
    QTRY_VERIFY_WITH_TIMEOUT(!router.loadingPlugin(), 5000);
    QCOMPARE(loading.count(), 2);
    QCOMPARE(router.getPGAndPluginName(), QStringLiteral("MERIDOX - 33"));
}

void TestRouter::destroyDuringLongWait()
{
    // Destruction cuts the wait short; were it a plain sleep, this test would
    // run into CTest's time-out.
    for (int i = 0; i < 5; ++i) {
        auto rig = std::make_unique<Rig>(std::numeric_limits<int>::max());
        rig->router.setMidiChannel(1);
        rig->in("b00001");
        rig->in("c001");
        QVERIFY(rig->router.loadingPlugin());
        rig.reset();
        QCoreApplication::processEvents();
    }
}

void TestRouter::programChangeWhileLoadEnds()
{
    // A Program Change that comes in while the end of a load is being sent
    // must go out, not be left in the request field.
    Rig rig(10);
    rig.router.setMidiChannel(1);
    std::thread input;
    std::atomic<bool> armed{true};
    rig.log->setHook([&](const Bytes &m) {
        if (m == Bytes{0xC0, 0x05} && armed.exchange(false)) {
            input = std::thread([&] { feed(rig.router, Bytes{0xC0, 0x2A}); });
            // Widens the window for the input thread to slip its request
            // in before the load is marked over.
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    });
    rig.in("b00003");
    rig.in("c005");
    QVERIFY(rig.waitLoaded());
    QTRY_VERIFY_WITH_TIMEOUT(!armed, 5000);
    QTRY_VERIFY_WITH_TIMEOUT(input.joinable(), 5000);
    input.join();
    QTRY_COMPARE_WITH_TIMEOUT(rig.router.currentProgram(), 42, 5000);
    QCOMPARE(rig.sent().last(), hex("c02a"));
    rig.log->setHook(nullptr);
}

void TestRouter::signalsFromTheInputThreadKeepTheirOrder()
{
    // A switch started by incoming MIDI reports from the input thread, and a
    // zero wait ends at once: the window must still see "loading" before
    // "loaded", or the label would stay red after the load. A slow slot on
    // the input thread gives a wait started too early every chance to end
    // first.
    Rig rig(0, [](MidiIO &router) {
        QObject::connect(
            &router, &MidiIO::pluginChanged, &router,
            [] { std::this_thread::sleep_for(std::chrono::milliseconds(5)); },
            Qt::DirectConnection);
    });
    rig.router.setMidiChannel(1);
    for (int i = 0; i < 20; ++i) {
        const int before = int(rig.events.size());
        std::thread input([&] {
            feed(rig.router, Bytes{0xB0, 0, static_cast<unsigned char>(i % 2 + 1)});
            feed(rig.router, Bytes{0xC0, static_cast<unsigned char>(i)});
        });
        input.join();
        QVERIFY(rig.waitLoaded());
        QTRY_COMPARE_WITH_TIMEOUT(rig.events.size(), before + 4, 5000);
        QCOMPARE(rig.events.mid(before), (QStringList{"plugin", "loading", "loaded", "program"}));
    }
}

void TestRouter::backToBackSwitchesAllEnd()
{
    // Each switch starts a new wait right as the previous one ended; none of
    // these starts may be lost.
    Rig rig(0);
    rig.router.setMidiChannel(1);
    int loads = 0;
    for (int i = 0; i < 60; ++i) {
        const int before = int(rig.events.size());
        feed(rig.router, Bytes{0xB0, 0, static_cast<unsigned char>(i % 8)});
        feed(rig.router, Bytes{0xC0, static_cast<unsigned char>(i % 100)});
        if (i % 3 == 0)
            feed(rig.router, Bytes{0xB0, 0, static_cast<unsigned char>((i + 3) % 8)});
        QVERIFY2(rig.waitLoaded(), qPrintable(QString("switch %1 never ended").arg(i)));
        // The load's end is told just after it is over.
        QTRY_COMPARE_WITH_TIMEOUT(rig.events.count("loaded"), rig.events.count("loading"), 5000);
        const QStringList step = rig.events.mid(before);
        if (step.contains("loading")) {
            ++loads;
            QCOMPARE(step.count("loaded"), 1);
            QVERIFY(step.lastIndexOf("loaded") > step.lastIndexOf("loading"));
            QCOMPARE(step.last(), QStringLiteral("program"));
        }
    }
    QVERIFY(loads > 40);
    QCOMPARE(rig.router.currentProgram(), 59);
}

void TestRouter::fullHandOffQueueMutesNothing()
{
    // The worker is kept busy while the input floods it during a load: what
    // it cannot take is dropped, but the program asked for meanwhile still
    // ends the load, and the channel plays again.
    std::atomic<bool> stuck{true};
    Rig rig(1, onLoadBegun([&] {
                while (stuck)
                    std::this_thread::yield();
            }));
    rig.router.setMidiChannel(1);
    auto in = [&](Bytes m) { MidiIO::midiInCallback(0.0, &m, rig.router.callbackUserData()); };
    in({0xB0, 0, 2});
    in({0xC0, 1});
    for (int i = 0; i < 20000; ++i)
        in({0xB0, static_cast<unsigned char>(1 + i % 100), static_cast<unsigned char>(i % 128)});
    in({0xC0, 0x2A});
    stuck = false;
    QVERIFY(rig.waitLoaded());
    QTRY_COMPARE_WITH_TIMEOUT(rig.router.currentProgram(), 0x2A, 5000);
    rig.in("903c64");
    QCOMPARE(rig.sent().last(), hex("903c64"));
    QVERIFY(rig.router.activity().dropped.load() > 0);
}

void TestRouter::hammer()
{
    Rig rig(1);
    rig.router.setMidiChannel(1);
    std::atomic<bool> finished{false};
    std::atomic<int> badState{0};
    // One input thread, as every MIDI system has; the GUI thread meanwhile
    // changes settings, swaps the output and ends loads.
    std::thread input([&] {
        std::mt19937 random(1);
        for (int i = 0; i < 80000; ++i) {
            const unsigned char channel = random() % 2;
            Bytes m;
            switch (random() % 6) {
            case 0:
                m = {static_cast<unsigned char>(0x90 | channel), 60, 100};
                break;
            case 1:
                m = {static_cast<unsigned char>(0xB0 | channel), 0,
                     static_cast<unsigned char>(random() % 10)};
                break;
            case 2:
                m = {static_cast<unsigned char>(0xC0 | channel),
                     static_cast<unsigned char>(random() % 128)};
                break;
            case 3:
                m = {0xF0, 1, 2, 0xF7};
                break;
            case 4:
                m = {0xF8};
                break;
            default:
                m = {static_cast<unsigned char>(0xB0 | channel), 7, 64};
            }
            MidiIO::midiInCallback(0.0, &m, rig.router.callbackUserData());
            const int plugin = rig.router.currentPlugin();
            const int program = rig.router.currentProgram();
            if (plugin < 0 || plugin > 7 || program < 0 || program > 99)
                ++badState;
        }
        finished = true;
    });
    for (int i = 0; !finished; ++i) {
        rig.router.setIgnoreSysex(i % 2);
        rig.router.setIgnoreClockMessages(i % 3);
        rig.router.setTranslateCC0(i % 5 != 0);
        if (i % 50 == 0)
            rig.router.replaceOutput(new RecordingSink(rig.log));
        if (i % 7 == 0)
            rig.log->clear();
        QCoreApplication::processEvents();
    }
    input.join();
    QCOMPARE(badState.load(), 0);

    QVERIFY(rig.waitLoaded());
    rig.log->clear();
    rig.router.setTranslateCC0(true);
    rig.in("b00005");
    rig.in("c04d");
    QVERIFY(rig.waitLoaded());
    QTRY_COMPARE_WITH_TIMEOUT(rig.router.currentProgram(), 0x4d, 5000);
    QCOMPARE(rig.router.currentPlugin(), 5);
    QCOMPARE(rig.sent().last(), hex("c04d"));
    // Every load ended: nothing is left red.
    QVERIFY(rig.events.count("loaded") > 0);
    QTRY_VERIFY_WITH_TIMEOUT(rig.events.lastIndexOf("loaded") > rig.events.lastIndexOf("loading"),
                             5000);
}

// The input's and the output's own conversion of channel messages must give
// what alsa-lib's parser gives: every status, the data bytes' edges, and
// event values out of range; anything else is left to the parser.
void TestRouter::alsaEventsAsTheLibraryMakesThem()
{
    snd_midi_event_t *parser = nullptr;
    QCOMPARE(snd_midi_event_new(64, &parser), 0);
    const auto guard = qScopeGuard([parser] { snd_midi_event_free(parser); });
    snd_midi_event_no_status(parser, 1);
    const auto libraryBytes = [&](const snd_seq_event_t &ev) {
        unsigned char out[8];
        const long n = snd_midi_event_decode(parser, out, sizeof out, &ev);
        return QByteArray(reinterpret_cast<const char *>(out), int(std::max(0L, n)));
    };
    const auto ours = [](const snd_seq_event_t &ev) {
        unsigned char out[3];
        return QByteArray(reinterpret_cast<const char *>(out), int(alsaevents::toBytes(ev, out)));
    };
    for (int status = 0x80; status < 0xF0; ++status)
        for (const int a : {0, 0x40, 0x7F})
            for (const int b : {0, 1, 0x40, 0x7F}) {
                const unsigned char m[3] = {static_cast<unsigned char>(status),
                                            static_cast<unsigned char>(a),
                                            static_cast<unsigned char>(b)};
                const std::size_t size = (status & 0xE0) == 0xC0 ? 2 : 3;
                snd_seq_event_t library{}, own{};
                snd_midi_event_reset_encode(parser);
                QCOMPARE(snd_midi_event_encode(parser, m, long(size), &library), long(size));
                QVERIFY(alsaevents::fromBytes(m, size, own));
                QVERIFY2(std::memcmp(&library, &own, sizeof own) == 0,
                         qPrintable(QByteArray(reinterpret_cast<const char *>(m), 3).toHex()));
                QCOMPARE(ours(own), QByteArray(reinterpret_cast<const char *>(m), int(size)));
            }
    snd_seq_event_t odd{};
    odd.type = SND_SEQ_EVENT_NOTEOFF;
    odd.data.note = {17, 200, 130, 5, 0};
    QCOMPARE(ours(odd), libraryBytes(odd));
    for (const int type : {SND_SEQ_EVENT_CONTROLLER, SND_SEQ_EVENT_PGMCHANGE,
                           SND_SEQ_EVENT_PITCHBEND})
        for (const int value : {-9000, -1, 300, 9000}) {
            odd.type = snd_seq_event_type_t(type);
            odd.data.control = {18, {}, 300, value};
            QCOMPARE(ours(odd), libraryBytes(odd));
        }
    snd_seq_event_t unused;
    for (const QByteArray &m : {hex("90807f"), hex("903c"), hex("c005ff"), hex("f8"),
                                hex("b0077f00"), hex("3c40")})
        QVERIFY2(!alsaevents::fromBytes(reinterpret_cast<const unsigned char *>(m.constData()),
                                        std::size_t(m.size()), unused),
                 m.toHex().constData());
}

QTEST_MAIN(TestRouter)
#include "tst_router.moc"
