// The window driven as a user drives it (offscreen): the port boxes, the
// channel, the filters, the plug-in label and its colours, what reaches the
// router and what lands in the settings file. Runs on the suite's JACK
// server, on PipeWire's JACK and in the ALSA guest, with peers of its own.
#include "jackpeers.h"
#include "midi/midiio.h"
#include "midi/midisink.h"
#include "midipeers.h"
#include "sandbox.h"
#include "testhelpers.h"
#include "ui/brantolexmainwindow.h"
#include "ui/midistateline.h"
#include "ui/ui_brantolexmainwindow.h"

#include <QAbstractItemView>
#include <QDir>
#include <QFile>
#include <QMetaMethod>
#include <QProcess>
#include <QScopeGuard>
#include <QSettings>
#include <QStatusBar>
#include <QStyleOptionButton>
#include <QTabBar>
#include <QTemporaryDir>
#include <QtTest>

#include <RtMidi.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

Q_DECLARE_METATYPE(Bytes)
using KeyValues = QMap<QString, QString>;
// What the user does in the window; the index is the stored output's.
using UserStep = std::function<void(BrantolexMainWindow &window, int outIndex)>;
Q_DECLARE_METATYPE(UserStep)

namespace {
const int waitMs = 10000;

// Opens the port of that full name on a handle; false when it is not listed.
template <typename Handle> bool openNamed(Handle &handle, const std::string &name)
{
    for (unsigned int i = 0; i < handle.getPortCount(); ++i) {
        if (handle.getPortName(i) == name) {
            handle.openPort(i);
            return true;
        }
    }
    return false;
}

// Records what reaches an input of its own opened on the named port: it
// proves that a source of ours passes MIDI.
class Probe
{
public:
    explicit Probe(const QString &port) : in(testbackend::api(), "probe")
    {
        in.ignoreTypes(false, false, false);
        in.setCallback(&Probe::received, log.get());
        connected = openNamed(in, port.toStdString());
    }
    ~Probe() { in.cancelCallback(); }

    const std::shared_ptr<MessageLog> log = std::make_shared<MessageLog>();
    bool connected = false;

private:
    static void received(double, Bytes *message, void *log)
    {
        static_cast<MessageLog *>(log)->append(message->data(), message->size());
    }
    RtMidiIn in;
};

// A controller, not a note: a note would be held, and released at a switch.
const Bytes ping = {0xB0, 0x66, 0x01};

// What reached the sink from the index on, as the router sent it.
std::vector<Bytes> arrivedSince(const PeerSink &sink, std::size_t from)
{
    const std::vector<Bytes> all = sink.log->all();
    std::vector<Bytes> out;
    for (std::size_t i = from; i < all.size(); ++i)
        out.push_back(testbackend::asSent(all[i]));
    return out;
}

// The ports a router lists now: inputs, outputs.
std::pair<QStringList, QStringList> listedPorts()
{
    MidiIO lister;
    return {lister.midiInPorts, lister.midiOutPorts};
}

// Chooses these ports, and no virtual input unless told.
QByteArray portsConfig(const QString &in, const QString &out, const QByteArray &virtualInput = "No")
{
    return "[MIDI]\ncreateVirtualInput=" + virtualInput + "\nmidiInDevice=" + in.toUtf8() +
           "\nmidiOutDevice=" + out.toUtf8() + "\n";
}

std::vector<Bytes> withoutPings(std::vector<Bytes> messages)
{
    messages.erase(std::remove(messages.begin(), messages.end(), ping), messages.end());
    return messages;
}

// As RtMidi's input thread would: the router's signals then cross threads.
void feedFromInputThread(MidiIO *router, const QList<Bytes> &messages)
{
    std::thread input([&] {
        for (Bytes message : messages)
            MidiIO::midiInCallback(0.0, &message, router->callbackUserData());
    });
    input.join();
}

// Clicks a check box where a user would, on its indicator, with its page
// showing.
void clickBox(BrantolexMainWindow &window, QCheckBox *box)
{
    Ui_BrantolexMainWindow *ui = window.form();
    ui->tabWidget->setCurrentWidget(box->parentWidget());
    if (!window.isVisible())
        QVERIFY(shown(window));
    QStyleOptionButton option;
    option.initFrom(box);
    const QRect indicator =
        box->style()->subElementRect(QStyle::SE_CheckBoxIndicator, &option, box);
    QTest::mouseClick(box, Qt::LeftButton, {}, indicator.center());
}

// "red" while the label has the loading colour of its own, "palette" when
// every colour comes from the window's palette.
QString labelColour(const QLabel *label)
{
    // Red whether the window has the focus or not.
    const QPalette own = label->palette();
    const bool active = own.color(QPalette::Active, QPalette::WindowText) == QColor(Qt::red);
    const bool inactive = own.color(QPalette::Inactive, QPalette::WindowText) == QColor(Qt::red);
    if (active || inactive)
        return active && inactive ? QStringLiteral("red") : QStringLiteral("red in one group");
    return own == label->parentWidget()->palette() ? QStringLiteral("palette")
                                                   : QStringLiteral("own colours");
}

QString bytesText(const std::vector<Bytes> &messages)
{
    QStringList parts;
    for (const Bytes &m : messages)
        parts << qbytes(m).toHex(' ');
    return parts.join(QStringLiteral(" | "));
}
} // namespace

class TestMainWindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void slotTable();
    void minimizeToTrayWritesDebugLine();
    void firstStart();
    void storedValues_data();
    void storedValues();
    void storedPorts_data();
    void storedPorts();
    void nonAsciiPortNames_data();
    void nonAsciiPortNames();
    void closeWithoutChange_data();
    void closeWithoutChange();
    void closeAfterChange_data();
    void closeAfterChange();
    void geometryRestored();
    void grownMinimumKeepsPlace();
    void damagedWindowData_data();
    void damagedWindowData();
    void virtualInputBox_data();
    void virtualInputBox();
    void pluginLabel_data();
    void pluginLabel();
    void disabledLabelFollowsRouter();
    void labelReadableAfterLoad_data();
    void labelReadableAfterLoad();
    void virtualInputKeepsItsConnections();
    void popupKeepsWorkingWhilePortsChange();
    void stateLineFits_data();
    void stateLineFits();
    void unitOffAtStartAndAgainLater();
    void otherPortsComingAndGoingKeepTheChoice();
    void noPortsAtAll_data();
    void noPortsAtAll();

private:
    QString configPath() const { return home.configPath(); }
    QMap<QString, QString> configValues() const;
    void makePorts();
    static std::unique_ptr<PeerSource> makeSource(const std::string &client);
    static std::unique_ptr<PeerSink> makeSink(const std::string &client);
    // Full name of one of our ports in a router's list; empty when absent.
    static QString portName(const QStringList &ports, const QString &client);
    // Pings through the window's router until one arrives; if none does, the
    // router opens its ports again.
    static bool routeFlows(BrantolexMainWindow &window, PeerSource &source, PeerSink &sink);
    // Sends from a source and waits until the sink sees it through the router.
    void checkRoute(BrantolexMainWindow &window, PeerSource &wrongSource, PeerSource &source,
                    PeerSink &sink, unsigned char note);

    TemporaryHome home;
    std::unique_ptr<PeerSource> sourceA, sourceB, sourceU;
    std::unique_ptr<PeerSink> sinkA, sinkB, sinkU;
};

void TestMainWindow::initTestCase()
{
    QVERIFY(home.use());
    QVERIFY_BACKEND_SELECTED();
    makePorts();
}

void TestMainWindow::makePorts()
{
    sourceA = makeSource("bxa-src");
    sourceB = makeSource("bxb-src");
    sinkA = makeSink("bxa-sink");
    sinkB = makeSink("bxb-sink");
    // Names as other programs give them: UTF-8, with blanks, commas and
    // semicolons.
    sourceU = makeSource("Synthé, Nr 2; entrée");
    sinkU = makeSink("Gerät für Klänge; B");
    QVERIFY2(sourceA && sourceB && sinkA && sinkB && sourceU && sinkU,
             "a port of ours passes no MIDI");
}

// Each port of ours proves that it passes MIDI, to a probe of its own, and
// is made again if it does not.
std::unique_ptr<PeerSource> TestMainWindow::makeSource(const std::string &client)
{
    std::unique_ptr<PeerSource> source;
    std::unique_ptr<Probe> probe;
    const auto setUp = [&] {
        // The old one first: JACK would give a second client of the name
        // another name.
        probe.reset();
        source.reset();
        source = std::make_unique<PeerSource>(client);
        probe = std::make_unique<Probe>(source->portName());
        return probe->connected;
    };
    const bool through = setUp() && warmUp([&] { source->send(ping); },
                                           [&] { return probe->log->size() > 0; }, setUp);
    return through ? std::move(source) : nullptr;
}

std::unique_ptr<PeerSink> TestMainWindow::makeSink(const std::string &client)
{
    std::unique_ptr<PeerSink> sink;
    std::unique_ptr<RtMidiOut> probe;
    const auto setUp = [&] {
        probe.reset();
        sink.reset();
        sink = std::make_unique<PeerSink>(client);
        probe = std::make_unique<RtMidiOut>(testbackend::api(), "probe");
        return openNamed(*probe, sink->portName().toStdString());
    };
    const bool through = setUp() && warmUp([&] { probe->sendMessage(&ping); },
                                           [&] { return sink->log->size() > 0; }, setUp);
    return through ? std::move(sink) : nullptr;
}

void TestMainWindow::init()
{
    QFile::remove(configPath());
}

QMap<QString, QString> TestMainWindow::configValues() const
{
    QMap<QString, QString> values;
    if (!QFile::exists(configPath()))
        return values;
    QSettings file(configPath(), QSettings::IniFormat);
    const QStringList keys = file.allKeys();
    for (const QString &key : keys)
        values.insert(key, file.value(key).toString());
    return values;
}

QString TestMainWindow::portName(const QStringList &ports, const QString &client)
{
    for (const QString &port : ports)
        if (port.startsWith(client + QLatin1Char(':')))
            return port;
    return QString();
}

bool TestMainWindow::routeFlows(BrantolexMainWindow &window, PeerSource &source, PeerSink &sink)
{
    const std::size_t before = sink.log->size();
    return warmUp([&] { source.send(ping); }, [&] { return sink.log->size() > before; },
                  [&] {
                      Ui_BrantolexMainWindow *ui = window.form();
                      window.router()->openMidiIn(ui->c_midiInDevice->currentIndex(),
                                                  ui->c_createVirtualInput->isChecked());
                      return window.router()->openMidiOut(ui->c_midiOutDevice->currentIndex());
                  });
}

void TestMainWindow::checkRoute(BrantolexMainWindow &window, PeerSource &wrongSource,
                                PeerSource &source, PeerSink &sink, unsigned char note)
{
    QVERIFY2(routeFlows(window, source, sink), "no MIDI flows through the router");
    const std::size_t before = sink.log->size();
    const auto arrived = [&] { return withoutPings(arrivedSince(sink, before)); };
    wrongSource.send({0x90, static_cast<unsigned char>(note + 1), 0x64});
    source.send({0x90, note, 0x64});
    QTRY_VERIFY_WITH_TIMEOUT(!arrived().empty(), waitMs);
    QCOMPARE(bytesText(arrived()), bytesText({{0x90, note, 0x64}}));
}

void TestMainWindow::slotTable()
{
    BrantolexMainWindow window;
    const QMetaObject *meta = window.metaObject();
    QCOMPARE(meta->className(), "BrantolexMainWindow");
    QStringList slotNames;
    for (int i = meta->methodOffset(); i < meta->methodCount(); ++i) {
        const QMetaMethod method = meta->method(i);
        QCOMPARE(method.methodType(), QMetaMethod::Slot);
        QCOMPARE(method.access(), QMetaMethod::Protected);
        slotNames << QString::fromLatin1(method.methodSignature());
    }
    QCOMPARE(slotNames,
             QStringList({"minimizeToTray()", "onCreateVirtualInPort(bool)",
                          "onMidiInPortChanged(int)", "onMidiOutPortChanged(int)",
                          "onMidiChannelChanged(int)", "onMidiClockMessagesChanged(bool)",
                          "onMidiSysExChanged(bool)", "onMidiCC02PluginSelect(bool)",
                          "updatePGAndPluginName()", "setIsLoadingPlugin(bool)"}));
}

void TestMainWindow::minimizeToTrayWritesDebugLine()
{
    {
        BrantolexMainWindow window;
        QTest::ignoreMessage(QtDebugMsg, "minimizeToTray");
        QVERIFY(QMetaObject::invokeMethod(&window, "minimizeToTray"));
    }
    // Nothing else: it is no control change, so the close writes only the
    // window keys.
    QCOMPARE(configValues().keys(),
             QStringList({"WINDOWS/MainWindowGeometry", "WINDOWS/MainWindowState"}));
}

void TestMainWindow::firstStart()
{
    {
        BrantolexMainWindow window;
        Ui_BrantolexMainWindow *ui = window.form();
        MidiIO *router = window.router();

        // The choices with no file are storedValues' row "no file".
        QCOMPARE(window.size(), QSize(295, 194));
        // The boxes list the router's ports in its order, the first selected.
        QCOMPARE(ui->c_midiInDevice->count(), router->midiInPorts.size());
        QCOMPARE(ui->c_midiOutDevice->count(), router->midiOutPorts.size());
        for (int i = 0; i < router->midiOutPorts.size(); ++i)
            QCOMPARE(ui->c_midiOutDevice->itemText(i), router->midiOutPorts.at(i));
        QVERIFY(!portName(router->midiInPorts, QStringLiteral("bxa-src")).isEmpty());
        QVERIFY(!portName(router->midiOutPorts, QStringLiteral("bxb-sink")).isEmpty());
        // The virtual input is in use: the box offers nothing to choose.
        QCOMPARE(ui->c_midiInDevice->currentIndex(), -1);
        QCOMPARE(ui->c_midiOutDevice->currentIndex(), 0);
        QVERIFY(router->outputOpen());

        QCOMPARE(ui->l_currentPlugin->text(), QStringLiteral("VARKONI - 1"));
        QCOMPARE(ui->l_currentPlugin->styleSheet(), QString());
        QCOMPARE(window.midiStateLine()->text(), QString());
        QCOMPARE(ui->tabWidget->currentIndex(), 0);

        // Reading the settings wrote nothing.
        QVERIFY(!QFile::exists(configPath()));
    }
    const QMap<QString, QString> written = configValues();
    QCOMPARE(written.keys(),
             QStringList({"WINDOWS/MainWindowGeometry", "WINDOWS/MainWindowState"}));
}

void TestMainWindow::storedValues_data()
{
    addColumns<QByteArray, bool, bool, bool, bool, int, QList<int>>(
        "config", "virtualInput", "sysex", "clock", "translate", "channel", "times");

    const QList<int> defaults = {2000, 1500, 3000, 3000, 2300, 2100, 1900, 1500};
    QTest::newRow("no file") << QByteArray() << true << false << false << true << 1 << defaults;
    QTest::newRow("every choice set")
        << QByteArray("[MIDI]\ncreateVirtualInput=No\nsysex=Yes\nmidiClockMessages=Yes\n"
                      "translateCC0toPluginSelect=No\nmidiChannel=10\n"
                      "[Plugin]\nloadingTime1=11\nloadingTime2=12\nloadingTime3=13\n"
                      "loadingTime4=14\nloadingTime5=15\nloadingTime6=16\nloadingTime7=17\n"
                      "loadingTime8=18\n")
        << false << true << true << false << 10 << QList<int>{11, 12, 13, 14, 15, 16, 17, 18};
    QTest::newRow("only exact Yes counts")
        << QByteArray("[MIDI]\ncreateVirtualInput=yes\nsysex=true\nmidiClockMessages=1\n"
                      "translateCC0toPluginSelect=YES\n")
        << false << false << false << false << 1 << defaults;
    QTest::newRow("empty Yes/No values")
        << QByteArray("[MIDI]\ncreateVirtualInput=\nsysex=\ntranslateCC0toPluginSelect=\n") << false
        << false << false << false << 1 << defaults;
    for (const auto &[stored, channel] :
         {std::pair{"0", 1}, {"-3", 1}, {"abc", 1}, {"17", 1}, {"16", 16}})
        QTest::addRow("channel %s", stored)
            << "[MIDI]\nmidiChannel=" + QByteArray(stored) + "\n"
            << true << false << false << true << channel << defaults;
    QTest::newRow("malformed and odd loading times")
        << QByteArray("[Plugin]\nloadingTime1=-5\nloadingTime4=abc\nloadingTime8=60001\n"
                      "loadingTime0=1\nloadingTime9=1\nloadingTime01=1\nloadingTime7=60000\n")
        << true << false << false << true << 1
        << QList<int>{2000, 1500, 3000, 3000, 2300, 2100, 60000, 1500};
}

void TestMainWindow::storedValues()
{
    QFETCH(QByteArray, config);
    QFETCH(bool, virtualInput);
    QFETCH(bool, sysex);
    QFETCH(bool, clock);
    QFETCH(bool, translate);
    QFETCH(int, channel);
    QFETCH(QList<int>, times);
    if (!config.isNull())
        QVERIFY(home.write(config));

    BrantolexMainWindow window;
    Ui_BrantolexMainWindow *ui = window.form();
    MidiIO *router = window.router();

    QCOMPARE(ui->c_createVirtualInput->isChecked(), virtualInput);
    QVERIFY(!ui->c_createVirtualInput->isEnabled());
    QCOMPARE(ui->c_midiInDevice->isEnabled(), !virtualInput);
    QCOMPARE(ui->l_midiInDevice->isEnabled(), !virtualInput);
    QCOMPARE(ui->c_sysex->isChecked(), sysex);
    QCOMPARE(ui->c_midiClockMessages->isChecked(), clock);
    QCOMPARE(ui->c_translateCC0toPluginSelect->isChecked(), translate);
    QCOMPARE(ui->l_currentPlugin->isEnabled(), translate);
    QCOMPARE(ui->c_midiChannel->value(), channel);

    QCOMPARE(router->inputOpen(), true);
    QCOMPARE(router->inputIsVirtual(), virtualInput);
    QCOMPARE(router->ignoresSysex(), !sysex);
    QCOMPARE(router->ignoresClockMessages(), !clock);
    QCOMPARE(router->translatesCC0(), translate);
    QCOMPARE(router->channel(), channel - 1);
    QList<int> routerTimes;
    for (int i = 0; i < MidiIO::pluginCount; ++i)
        routerTimes << router->loadingTime(i);
    QCOMPARE(routerTimes, times);
}

void TestMainWindow::storedPorts_data()
{
    // Each stored name: a client of ours, or a literal name after "=".
    addColumns<QString, QString, QString, QString>("storedIn", "storedOut", "routedFrom",
                                                   "routedTo");

    dataRow("second ports chosen", "bxb-src", "bxb-sink", "bxb-src", "bxb-sink");
    dataRow("first ports chosen", "bxa-src", "bxa-sink", "bxa-src", "bxa-sink");
    dataRow("mixed", "bxb-src", "bxa-sink", "bxb-src", "bxa-sink");
    // Absent: shown as such, nothing opened in their place, kept.
    dataRow("ports gone", "=gone-src:keys", "=gone-sink:unit", "absent", "absent");
    dataRow("names differ in case only", "^bxb-src", "^bxb-sink", "absent", "absent");
    dataRow("empty names", "=", "=", "first", "first");
}

void TestMainWindow::storedPorts()
{
    QFETCH(QString, storedIn);
    QFETCH(QString, storedOut);
    QFETCH(QString, routedFrom);
    QFETCH(QString, routedTo);

    const auto [inPorts, outPorts] = listedPorts();
    // "^client": that port's name in capitals.
    auto resolve = [](const QStringList &ports, const QString &stored) {
        if (stored.startsWith(QLatin1Char('^')))
            return portName(ports, stored.mid(1)).toUpper();
        return stored.startsWith(QLatin1Char('=')) ? stored.mid(1) : portName(ports, stored);
    };
    const QString inName = resolve(inPorts, storedIn);
    const QString outName = resolve(outPorts, storedOut);
    if (!storedIn.startsWith(QLatin1Char('=')))
        QVERIFY(!inName.isEmpty());
    QVERIFY(home.write(portsConfig(inName, outName)));

    const auto chosen = [](const QStringList &ports, const QString &routed) {
        return routed == QLatin1String("first") ? 0 : int(ports.indexOf(portName(ports, routed)));
    };
    {
        BrantolexMainWindow window;
        Ui_BrantolexMainWindow *ui = window.form();
        if (routedFrom == QLatin1String("absent")) {
            QCOMPARE(ui->c_midiInDevice->currentText(), inName + QStringLiteral(" (absent)"));
            QCOMPARE(ui->c_midiOutDevice->currentText(), outName + QStringLiteral(" (absent)"));
            QVERIFY(!window.router()->inputOpen());
            QVERIFY(!window.router()->outputOpen());
        } else {
            const int expectedIn = chosen(inPorts, routedFrom);
            const int expectedOut = chosen(outPorts, routedTo);
            QCOMPARE(window.router()->midiInPorts, inPorts);
            QCOMPARE(ui->c_midiInDevice->currentIndex(), expectedIn);
            QCOMPARE(ui->c_midiOutDevice->currentIndex(), expectedOut);
            const QString keptIn = inPorts.at(expectedIn);
            const QString keptOut = outPorts.at(expectedOut);
            // The boxes are narrow: the whole name is in the tip.
            QCOMPARE(ui->c_midiInDevice->toolTip(), keptIn);
            QCOMPARE(ui->c_midiOutDevice->toolTip(), keptOut);
            QVERIFY(window.router()->inputOpen());
            QVERIFY(!window.router()->inputIsVirtual());
            QVERIFY(window.router()->outputOpen());

            // What flows proves which ports the router opened.
            const QString fromClient = keptIn.section(QLatin1Char(':'), 0, 0);
            const QString toClient = keptOut.section(QLatin1Char(':'), 0, 0);
            PeerSource *from = fromClient == QLatin1String("bxa-src")   ? sourceA.get()
                               : fromClient == QLatin1String("bxb-src") ? sourceB.get()
                                                                        : nullptr;
            PeerSink *to = toClient == QLatin1String("bxa-sink")   ? sinkA.get()
                           : toClient == QLatin1String("bxb-sink") ? sinkB.get()
                                                                   : nullptr;
            if (from && to) {
                PeerSource *other = from == sourceA.get() ? sourceB.get() : sourceA.get();
                checkRoute(window, *other, *from, *to, 60);
                if (QTest::currentTestFailed())
                    return;
                PeerSink *otherSink = to == sinkA.get() ? sinkB.get() : sinkA.get();
                const auto before = otherSink->log->size();
                checkRoute(window, *other, *from, *to, 62);
                QCOMPARE(otherSink->log->size(), before);
            }
        }
        // A change of another control leaves the stored names as they are.
        clickBox(window, ui->c_sysex);
    }
    const QMap<QString, QString> written = configValues();
    QCOMPARE(written.value(QStringLiteral("MIDI/midiInDevice")), inName);
    QCOMPARE(written.value(QStringLiteral("MIDI/midiOutDevice")), outName);
}

void TestMainWindow::nonAsciiPortNames_data()
{
    QTest::addColumn<bool>("storedTheOldWay");

    QTest::newRow("stored as UTF-8") << false;
    QTest::newRow("stored double-encoded, as before") << true;
}

// The MIDI system gives names in UTF-8; they are shown and stored so. A
// name stored the old way, its UTF-8 bytes read as Latin-1, still selects
// its port, and the next save stores it right.
void TestMainWindow::nonAsciiPortNames()
{
    QFETCH(bool, storedTheOldWay);
    const QString in = sourceU->portName();
    const QString out = sinkU->portName();
    const auto stored = [&](const QString &name) {
        return storedTheOldWay ? QString::fromLatin1(name.toUtf8()) : name;
    };
    {
        QSettings file(configPath(), QSettings::IniFormat);
        file.setValue(QStringLiteral("MIDI/createVirtualInput"), QStringLiteral("No"));
        file.setValue(QStringLiteral("MIDI/midiInDevice"), stored(in));
        file.setValue(QStringLiteral("MIDI/midiOutDevice"), stored(out));
    }
    {
        BrantolexMainWindow window;
        Ui_BrantolexMainWindow *ui = window.form();
        QCOMPARE(ui->c_midiInDevice->currentText(), in);
        QCOMPARE(ui->c_midiOutDevice->currentText(), out);
        checkRoute(window, *sourceA, *sourceU, *sinkU, 68);
        if (QTest::currentTestFailed())
            return;
        clickBox(window, ui->c_sysex);
    }
    QSettings file(configPath(), QSettings::IniFormat);
    QCOMPARE(file.value(QStringLiteral("MIDI/midiInDevice")).toString(), in);
    QCOMPARE(file.value(QStringLiteral("MIDI/midiOutDevice")).toString(), out);
}

void TestMainWindow::closeWithoutChange_data()
{
    addColumns<QByteArray, QString>("config", "action");

    const QByteArray edited("[MIDI]\nmidiChannel=abc\nsysex=yes\nmidiOutDevice=nowhere:0\n"
                            "createVirtualInput=No\n[Plugin]\nloadingTime3=77\n"
                            "loadingTime5=-20\n[Other]\nkept=1\n");
    const QByteArray outOfRange("[MIDI]\nmidiChannel=17\ntranslateCC0toPluginSelect=No\n");
    QTest::newRow("hand-edited, nothing done") << edited << "";
    QTest::newRow("out of range, nothing done") << outOfRange << "";
    QTest::newRow("tabs switched") << edited << "tabs";
    QTest::newRow("window resized") << outOfRange << "resize";
    QTest::newRow("disabled virtual box clicked") << edited << "virtual";
    QTest::newRow("no file, tabs switched") << QByteArray() << "tabs";
    QTest::newRow("quit by Ctrl+Q") << edited << "quit";
    QTest::newRow("Esc in the open list, then on the window") << edited << "escape";
    QTest::newRow("a change that cannot be saved") << edited << "unsaved";
}

void TestMainWindow::closeWithoutChange()
{
    QFETCH(QByteArray, config);
    QFETCH(QString, action);
    if (!config.isEmpty())
        QVERIFY(home.write(config));
    const QMap<QString, QString> before = configValues();
    // A directory where the file goes: nothing can be saved until it is back.
    const QString kept = configPath() + QStringLiteral(".kept");
    const auto putBack = [&] {
        if (QDir().rmdir(configPath()))
            QFile::rename(kept, configPath());
    };
    const auto onAnyExit = qScopeGuard(putBack);

    {
        BrantolexMainWindow window;
        Ui_BrantolexMainWindow *ui = window.form();
        QVERIFY(shown(window));
        if (action == QLatin1String("tabs")) {
            QTabBar *bar = ui->tabWidget->tabBar();
            for (int tab : {1, 2, 0}) {
                QTest::mouseClick(bar, Qt::LeftButton, {}, bar->tabRect(tab).center());
                QCOMPARE(ui->tabWidget->currentIndex(), tab);
            }
        } else if (action == QLatin1String("resize")) {
            window.resize(500, 400);
            QTRY_COMPARE(window.size(), QSize(500, 400));
        } else if (action == QLatin1String("virtual")) {
            ui->tabWidget->setCurrentWidget(ui->Device);
            const bool checked = ui->c_createVirtualInput->isChecked();
            clickBox(window, ui->c_createVirtualInput);
            QCOMPARE(ui->c_createVirtualInput->isChecked(), checked);
        } else if (action == QLatin1String("quit")) {
            QTest::keyClick(&window, Qt::Key_Q, Qt::ControlModifier);
            QVERIFY(!window.isVisible());
        } else if (action == QLatin1String("escape")) {
            // Closes the list and nothing more; only then does Esc panic,
            // said where the state line is.
            const auto unit = std::make_shared<MessageLog>();
            window.router()->replaceOutput(new RecordingSink(unit));
            QComboBox *combo = ui->c_midiOutDevice;
            ui->tabWidget->setCurrentWidget(ui->Device);
            combo->setFocus();
            QTest::keyClick(combo, Qt::Key_F4);
            QTRY_VERIFY(combo->view()->isVisible());
            QTest::keyClick(combo->view(), Qt::Key_Escape);
            QTRY_VERIFY(!combo->view()->isVisible());
            window.router()->settle();
            QCOMPARE(unit->size(), std::size_t(0));
            QTest::keyClick(combo, Qt::Key_Escape);
            window.router()->settle();
            QCOMPARE(unit->size(), std::size_t(48));
            QVERIFY(window.statusBar()->currentMessage().startsWith(QStringLiteral("Panic sent")));
            QVERIFY(!window.midiStateLine()->isVisible());
        } else if (action == QLatin1String("unsaved")) {
            // Said in the window when it happens, with the path.
            QVERIFY(QFile::rename(configPath(), kept) && QDir().mkdir(configPath()));
            clickBox(window, ui->c_midiClockMessages);
            QTRY_VERIFY_WITH_TIMEOUT(
                window.midiStateLine()->toolTip().contains(
                    QStringLiteral("Could not save the settings to ") + configPath()),
                waitMs);
        }
    }
    if (action == QLatin1String("unsaved")) {
        putBack();
        QCOMPARE(configValues(), before);
        return;
    }

    QMap<QString, QString> after = configValues();
    QVERIFY(after.contains(QStringLiteral("WINDOWS/MainWindowState")));
    QVERIFY(after.contains(QStringLiteral("WINDOWS/MainWindowGeometry")));
    after.remove(QStringLiteral("WINDOWS/MainWindowState"));
    after.remove(QStringLiteral("WINDOWS/MainWindowGeometry"));
    QCOMPARE(after, before);
}

void TestMainWindow::closeAfterChange_data()
{
    // The keys written that differ from the base.
    addColumns<UserStep, KeyValues, int>("step", "changed", "routerChannel");

    using Map = KeyValues;
    using W = BrantolexMainWindow;
    QTest::newRow("system exclusive clicked") << UserStep([](W &window, int) {
        clickBox(window, window.form()->c_sysex);
        QVERIFY(!window.router()->ignoresSysex());
    }) << Map{{"MIDI/sysex", "Yes"}} << 0;
    QTest::newRow("clock clicked") << UserStep([](W &window, int) {
        clickBox(window, window.form()->c_midiClockMessages);
        QVERIFY(!window.router()->ignoresClockMessages());
    }) << Map{{"MIDI/midiClockMessages", "Yes"}}
                                   << 0;
    QTest::newRow("translation clicked") << UserStep([](W &window, int) {
        clickBox(window, window.form()->c_translateCC0toPluginSelect);
        QVERIFY(!window.router()->translatesCC0());
        QVERIFY(!window.form()->l_currentPlugin->isEnabled());
    }) << Map{{"MIDI/translateCC0toPluginSelect", "No"}}
                                         << 0;
    QTest::newRow("same input chosen again") << UserStep([this](W &window, int) {
        QComboBox *box = window.form()->c_midiInDevice;
        emit box->activated(box->currentIndex());
        QVERIFY(window.router()->inputOpen());
        QVERIFY(!window.router()->inputIsVirtual());
        window.router()->setMidiChannel(1);
        checkRoute(window, *sourceA, *sourceB, *sinkA, 64);
        window.router()->setMidiChannel(16);
    }) << Map{} << 15;
    QTest::newRow("same output chosen again") << UserStep([](W &window, int) {
        QComboBox *box = window.form()->c_midiOutDevice;
        emit box->activated(box->currentIndex());
        QVERIFY(window.router()->outputOpen());
    }) << Map{} << 0;
    QTest::newRow("next output by keyboard") << UserStep([](W &window, int outIndex) {
        Ui_BrantolexMainWindow *ui = window.form();
        ui->tabWidget->setCurrentWidget(ui->Device);
        ui->c_midiOutDevice->setFocus();
        QTest::keyClick(ui->c_midiOutDevice, Qt::Key_Down);
        QCOMPARE(ui->c_midiOutDevice->currentIndex(), outIndex + 1);
        QVERIFY(window.router()->outputOpen());
    }) << Map{{"MIDI/midiOutDevice", "<next output>"}}
                                             << 0;
    QTest::newRow("channel typed") << UserStep([](W &window, int) {
        Ui_BrantolexMainWindow *ui = window.form();
        ui->tabWidget->setCurrentWidget(ui->Device);
        QSpinBox *spin = ui->c_midiChannel;
        spin->setFocus();
        spin->selectAll();
        QTest::keyClick(spin, Qt::Key_Backspace);
        QTest::keyClicks(spin, QStringLiteral("12"));
        QCOMPARE(spin->value(), 12);
    }) << Map{{"MIDI/midiChannel", "12"}}
                                   << 11;
    QTest::newRow("channel stepped up") << UserStep([](W &window, int) {
        window.form()->tabWidget->setCurrentWidget(window.form()->Device);
        QTest::keyClick(window.form()->c_midiChannel, Qt::Key_Up);
    }) << Map{{"MIDI/midiChannel", "2"}} << 1;
}

// Starts from a hand-edited file with a malformed loading time and an
// out-of-range channel, both named on stderr with their lines; after one
// user change only that control's key is written, and the rest stays as the
// user wrote it.
void TestMainWindow::closeAfterChange()
{
    QFETCH(UserStep, step);
    QFETCH(KeyValues, changed);
    QFETCH(int, routerChannel);

    const auto [inPorts, outPorts] = listedPorts();
    const QString inName = portName(inPorts, QStringLiteral("bxb-src"));
    // Other programs' ports may come first; ours are the ones that show
    // what flows.
    const QString outName = portName(outPorts, QStringLiteral("bxa-sink"));
    const int outIndex = int(outPorts.indexOf(outName));
    QVERIFY(outIndex >= 0 && outIndex + 1 < outPorts.size());
    QVERIFY(home.write(portsConfig(inName, outName) +
                       "midiChannel=17\nsysex=yes\n[Plugin]\nloadingTime3=abc\nloadingTime5=77\n"));
    const QString named("^Brantolex Fixer: %1, line %2: %3 is not .*; %4 is used instead$");
    for (const auto &[line, value, used] :
         {std::tuple{5, "midiChannel=17", "1"}, std::tuple{8, "loadingTime3=abc", "3000"}})
        QTest::ignoreMessage(
            QtWarningMsg,
            QRegularExpression(
                named.arg(QRegularExpression::escape(configPath())).arg(line).arg(value, used)));

    QMap<QString, QString> expected = {
        {"MIDI/createVirtualInput", "No"}, {"MIDI/sysex", "yes"},
        {"MIDI/midiChannel", "17"},        {"MIDI/midiInDevice", inName},
        {"MIDI/midiOutDevice", outName},   {"Plugin/loadingTime3", "abc"},
        {"Plugin/loadingTime5", "77"},
    };
    for (auto it = changed.cbegin(); it != changed.cend(); ++it)
        expected[it.key()] =
            it.value() == QLatin1String("<next output>") ? outPorts.at(outIndex + 1) : it.value();

    {
        BrantolexMainWindow window;
        Ui_BrantolexMainWindow *ui = window.form();
        MidiIO *router = window.router();
        QVERIFY(shown(window));
        QCOMPARE(ui->c_midiInDevice->currentText(), inName);

        step(window, outIndex);
        if (QTest::currentTestFailed())
            return;
        QCOMPARE(router->channel(), routerChannel);
    }

    QMap<QString, QString> written = configValues();
    QVERIFY(written.contains(QStringLiteral("WINDOWS/MainWindowState")));
    QVERIFY(written.contains(QStringLiteral("WINDOWS/MainWindowGeometry")));
    written.remove(QStringLiteral("WINDOWS/MainWindowState"));
    written.remove(QStringLiteral("WINDOWS/MainWindowGeometry"));
    QCOMPARE(written, expected);
}

void TestMainWindow::geometryRestored()
{
    {
        BrantolexMainWindow window;
        QVERIFY(shown(window));
        window.resize(420, 333);
        QTRY_COMPARE(window.size(), QSize(420, 333));
    }
    BrantolexMainWindow window;
    QCOMPARE(window.size(), QSize(420, 333));
}

// Saved at its least size, and since then a larger font made the least size
// grow: the geometry is still the user's, so the window keeps its place and
// Qt enlarges it.
void TestMainWindow::grownMinimumKeepsPlace()
{
    const QPoint place(137, 89);
    QSize least;
    {
        BrantolexMainWindow window;
        window.move(place);
        QVERIFY(shown(window));
        window.resize(1, 1);
        QTRY_VERIFY(window.width() > 1);
        least = window.size();
    }
    const QFont font = QApplication::font();
    const auto restore = qScopeGuard([&] { QApplication::setFont(font); });
    QFont larger = font;
    larger.setPointSizeF(font.pointSizeF() * 2);
    QApplication::setFont(larger);
    for (int start = 0; start < 2; ++start) {
        BrantolexMainWindow window;
        QVERIFY(shown(window));
        QVERIFY(window.minimumSizeHint().width() > least.width());
        QCOMPARE(window.pos(), place);
        QTRY_VERIFY(window.width() >= window.minimumSizeHint().width());
    }
}

void TestMainWindow::damagedWindowData_data()
{
    addColumns<QByteArray, QByteArray, QSize>("state", "geometry", "size");

    QByteArray validState, otherVersionState, validGeometry;
    {
        BrantolexMainWindow window;
        window.resize(420, 333);
        validState = window.saveState(0);
        otherVersionState = window.saveState(1);
        validGeometry = window.saveGeometry();
    }
    // The least size a user can drag the window to is still restored.
    QByteArray smallestGeometry;
    QSize smallest;
    {
        BrantolexMainWindow window;
        QVERIFY(shown(window));
        window.resize(1, 1);
        QTRY_VERIFY(window.size().width() > 1);
        smallest = window.size();
        smallestGeometry = window.saveGeometry();
    }
    QByteArray wrongMagicState = validState, wrongMagicGeometry = validGeometry;
    wrongMagicState[0] = char(~wrongMagicState.at(0));
    wrongMagicGeometry[0] = char(~wrongMagicGeometry.at(0));

    const QSize form(295, 194), resized(420, 333);
    QTest::newRow("valid") << validState << validGeometry << resized;
    QTest::newRow("smallest") << validState << smallestGeometry << smallest;
    QTest::newRow("text") << QByteArray("hello") << QByteArray("hello") << form;
    QTest::newRow("empty") << QByteArray() << QByteArray() << form;
    QTest::newRow("both cut short") << validState.left(validState.size() / 2)
                                    << validGeometry.left(validGeometry.size() / 2) << form;
    QTest::newRow("geometry header only") << validState << validGeometry.left(8) << form;
    QTest::newRow("geometry one byte short")
        << validState << validGeometry.left(validGeometry.size() - 1) << form;
    QTest::newRow("geometry of zeros")
        << validState << validGeometry.left(8) + QByteArray(validGeometry.size() - 8, '\0') << form;
    QTest::newRow("state cut short") << validState.left(12) << QByteArray() << form;
    QTest::newRow("wrong magic") << wrongMagicState << wrongMagicGeometry << form;
    QTest::newRow("state of another version") << otherVersionState << QByteArray("x") << form;
}

// Data that cannot be restored leaves the window as the form made it, even
// where Qt itself would take it; the next close writes data that restores.
void TestMainWindow::damagedWindowData()
{
    QFETCH(QByteArray, state);
    QFETCH(QByteArray, geometry);
    QFETCH(QSize, size);
    {
        QSettings file(configPath(), QSettings::IniFormat);
        file.setValue(QStringLiteral("WINDOWS/MainWindowState"), state);
        file.setValue(QStringLiteral("WINDOWS/MainWindowGeometry"), geometry);
    }
    {
        BrantolexMainWindow window;
        QCOMPARE(window.size(), size);
        QVERIFY(window.form()->centralWidget->isVisibleTo(&window));
    }
    QSettings file(configPath(), QSettings::IniFormat);
    QMainWindow probe;
    QVERIFY(
        probe.restoreState(file.value(QStringLiteral("WINDOWS/MainWindowState")).toByteArray(), 0));
    QVERIFY(probe.restoreGeometry(
        file.value(QStringLiteral("WINDOWS/MainWindowGeometry")).toByteArray()));
    QCOMPARE(probe.size(), size);
}

void TestMainWindow::virtualInputBox_data()
{
    addColumns<QByteArray, bool>("stored", "checkedAfter");

    QTest::newRow("virtual input switched off") << QByteArray("Yes") << false;
    QTest::newRow("virtual input switched on") << QByteArray("No") << true;
}

// The program keeps the box disabled; enabled here, a click shows what its
// connection and slot do: the router switches input and the port box
// follows.
void TestMainWindow::virtualInputBox()
{
    QFETCH(QByteArray, stored);
    QFETCH(bool, checkedAfter);

    const auto [inPorts, outPorts] = listedPorts();
    const QString inName = portName(inPorts, QStringLiteral("bxb-src"));
    const QString outName = portName(outPorts, QStringLiteral("bxa-sink"));
    QVERIFY(!inName.isEmpty() && !outName.isEmpty());
    QVERIFY(home.write(portsConfig(inName, outName, stored)));
    {
        BrantolexMainWindow window;
        Ui_BrantolexMainWindow *ui = window.form();
        MidiIO *router = window.router();
        QCOMPARE(router->inputIsVirtual(), !checkedAfter);
        QCOMPARE(ui->c_midiInDevice->isEnabled(), checkedAfter);

        ui->c_createVirtualInput->setEnabled(true);
        clickBox(window, ui->c_createVirtualInput);
        QCOMPARE(ui->c_createVirtualInput->isChecked(), checkedAfter);
        QVERIFY(router->inputOpen());
        QCOMPARE(router->inputIsVirtual(), checkedAfter);
        QCOMPARE(ui->c_midiInDevice->isEnabled(), !checkedAfter);
        QCOMPARE(ui->l_midiInDevice->isEnabled(), !checkedAfter);
        QCOMPARE(ui->c_midiInDevice->currentText(), checkedAfter ? QString() : inName);
        if (!checkedAfter) {
            router->setMidiChannel(1);
            checkRoute(window, *sourceA, *sourceB, *sinkA, 66);
        }
    }
    const QMap<QString, QString> written = configValues();
    QCOMPARE(written.value(QStringLiteral("MIDI/createVirtualInput")),
             checkedAfter ? QStringLiteral("Yes") : QStringLiteral("No"));
    QCOMPARE(written.value(QStringLiteral("MIDI/midiInDevice")), inName);
}

void TestMainWindow::pluginLabel_data()
{
    // Seen: the label's accessible name and colour right after each router
    // signal was handled.
    addColumns<bool, bool, QList<Bytes>, QList<Bytes>, QStringList, QString>(
        "throughPorts", "translate", "input", "sent", "seen", "finalText");
    // Through the input callback on a thread of our own with a recording
    // unit, and through real ports: a source of ours to a sink of ours.
    for (const bool ports : {false, true}) {
        const char *via = ports ? "ports" : "callback";
        QTest::addRow("plug-in switch, %s", via)
            << ports << true << QList<Bytes>{{0xB0, 0x00, 0x03}, {0xC0, 0x05}}
            << QList<Bytes>{{0xC0, 0x68}, {0x90, 0x40, 0x7F}, {0x90, 0x40, 0x00}, {0xC0, 0x05}}
            << QStringList{"plugin: QUENDRA - 1 / palette",
                           "loading true: QUENDRA - 1, loading / red",
                           "loading false: QUENDRA - 1 / palette", "program: QUENDRA - 6 / palette"}
            << "QUENDRA - 6";
        // No Bank Select since the start: the unit's plug-in stays unknown.
        QTest::addRow("program change, same plug-in, %s", via)
            << ports << true << QList<Bytes>{{0xC0, 0x05}} << QList<Bytes>{{0xC0, 0x05}}
            << QStringList{"program: VARKONI - 6, not confirmed / palette italic"} << "VARKONI - 6";
        QTest::addRow("translation off passes through, %s", via)
            << ports << false << QList<Bytes>{{0xB0, 0x00, 0x03}, {0xC0, 0x05}}
            << QList<Bytes>{{0xB0, 0x00, 0x03}, {0xC0, 0x05}} << QStringList{} << "VARKONI - 1";
    }
}

void TestMainWindow::pluginLabel()
{
    QFETCH(bool, throughPorts);
    QFETCH(bool, translate);
    QFETCH(QList<Bytes>, input);
    QFETCH(QList<Bytes>, sent);
    QFETCH(QStringList, seen);
    QFETCH(QString, finalText);

    // Plug-in 3 is loadingTime4; short, so the test does not wait long.
    QByteArray config("[Plugin]\nloadingTime4=50\n");
    if (throughPorts) {
        const auto [inPorts, outPorts] = listedPorts();
        const QString in = portName(inPorts, QStringLiteral("bxa-src"));
        const QString out = portName(outPorts, QStringLiteral("bxa-sink"));
        QVERIFY(!in.isEmpty() && !out.isEmpty());
        config += portsConfig(in, out);
    }
    QVERIFY(home.write(config));
    BrantolexMainWindow window;
    Ui_BrantolexMainWindow *ui = window.form();
    MidiIO *router = window.router();
    QCOMPARE(router->loadingTime(3), 50);
    std::shared_ptr<MessageLog> unit;
    std::size_t before = 0;
    if (throughPorts) {
        QVERIFY(router->inputOpen() && !router->inputIsVirtual());
        QVERIFY2(routeFlows(window, *sourceA, *sinkA), "no MIDI flows through the router");
        before = sinkA->log->size();
    } else {
        unit = std::make_shared<MessageLog>();
        router->replaceOutput(new RecordingSink(unit));
    }
    auto arrived = [&] {
        if (unit)
            return bytesText(unit->all());
        return bytesText(withoutPings(arrivedSince(*sinkA, before)));
    };
    QCOMPARE(ui->l_currentPlugin->text(), QStringLiteral("VARKONI - 1"));
    if (!translate) {
        clickBox(window, ui->c_translateCC0toPluginSelect);
        QVERIFY(!router->translatesCC0());
    }

    // Connected after the window's own connections, so each entry shows the
    // label as the window left it.
    QStringList history;
    QObject probe;
    auto record = [&](const QString &what) {
        history << what + QStringLiteral(": ") + ui->l_currentPlugin->accessibleName() +
                       QStringLiteral(" / ") + labelColour(ui->l_currentPlugin) +
                       (ui->l_currentPlugin->font().italic() ? QStringLiteral(" italic")
                                                             : QString());
    };
    connect(router, &MidiIO::pluginChanged, &probe, [&] { record(QStringLiteral("plugin")); });
    connect(router, &MidiIO::programmChanged, &probe, [&] { record(QStringLiteral("program")); });
    connect(router, &MidiIO::setIsLoadingPlugin, &probe, [&](bool loading) {
        record(QStringLiteral("loading ") +
               (loading ? QStringLiteral("true") : QStringLiteral("false")));
    });

    if (throughPorts) {
        for (const Bytes &message : input)
            sourceA->send(message);
    } else {
        feedFromInputThread(router, input);
    }
    std::vector<Bytes> expectedSent(sent.begin(), sent.end());
    QTRY_COMPARE_WITH_TIMEOUT(arrived(), bytesText(expectedSent), waitMs);
    QTRY_COMPARE_WITH_TIMEOUT(history.size(), seen.size(), waitMs);
    QCOMPARE(history, seen);
    QCOMPARE(ui->l_currentPlugin->text(), finalText);
    QCOMPARE(labelColour(ui->l_currentPlugin), QStringLiteral("palette"));
    QVERIFY(!router->loadingPlugin());
}

// The translation is switched off while a load runs: the wait still ends
// and the disabled label shows it.
void TestMainWindow::disabledLabelFollowsRouter()
{
    QVERIFY(home.write("[Plugin]\nloadingTime2=1000\n"));
    BrantolexMainWindow window;
    Ui_BrantolexMainWindow *ui = window.form();
    MidiIO *router = window.router();
    router->replaceOutput(new RecordingSink(std::make_shared<MessageLog>()));

    // Connected after the window's own slot: once it is called, the window
    // has shown the load.
    QObject probe;
    bool loadShown = false;
    connect(router, &MidiIO::setIsLoadingPlugin, &probe,
            [&](bool loading) { loadShown = loading; });
    feedFromInputThread(router, {{0xB0, 0x00, 0x01}, {0xC0, 0x09}});
    QTRY_VERIFY_WITH_TIMEOUT(loadShown, waitMs);
    QCOMPARE(labelColour(ui->l_currentPlugin), QStringLiteral("red"));
    QCOMPARE(ui->l_currentPlugin->text(), QStringLiteral("TESSEL - 1"));
    clickBox(window, ui->c_translateCC0toPluginSelect);
    QVERIFY(!ui->l_currentPlugin->isEnabled());
    QVERIFY(router->loadingPlugin());

    QTRY_COMPARE_WITH_TIMEOUT(ui->l_currentPlugin->text(), QStringLiteral("TESSEL - 10"), waitMs);
    QCOMPARE(labelColour(ui->l_currentPlugin), QStringLiteral("palette"));
    QVERIFY(!ui->l_currentPlugin->isEnabled());
    clickBox(window, ui->c_translateCC0toPluginSelect);
    QVERIFY(ui->l_currentPlugin->isEnabled());
}

void TestMainWindow::labelReadableAfterLoad_data()
{
    addColumns<bool, bool>("dark", "translate");

    QTest::newRow("default palette") << false << true;
    QTest::newRow("dark palette") << true << true;
    QTest::newRow("default palette, translation off") << false << false;
    QTest::newRow("dark palette, translation off") << true << false;
}

// Measured on the label as drawn: after a load its text stands out from
// the window as the palette's text does (WCAG contrast of 4.5 at least),
// and with the translation off it has the palette's disabled colour.
void TestMainWindow::labelReadableAfterLoad()
{
    QFETCH(bool, dark);
    QFETCH(bool, translate);
    const QPalette before = QApplication::palette();
    const auto restore = qScopeGuard([&] { QApplication::setPalette(before); });
    if (dark) {
        QPalette palette = before;
        for (auto role : {QPalette::Window, QPalette::Button, QPalette::Base})
            palette.setColor(role, QColor(0x22, 0x20, 0x20));
        for (auto role : {QPalette::WindowText, QPalette::ButtonText, QPalette::Text}) {
            palette.setColor(role, QColor(0xe6, 0xe3, 0xe0));
            palette.setColor(QPalette::Disabled, role, QColor(0x7a, 0x76, 0x74));
        }
        QApplication::setPalette(palette);
    }
    QVERIFY(home.write("[Plugin]\nloadingTime2=20\n"));
    BrantolexMainWindow window;
    Ui_BrantolexMainWindow *ui = window.form();
    window.router()->replaceOutput(new RecordingSink(std::make_shared<MessageLog>()));
    QVERIFY(shown(window));
    QSignalSpy loading(window.router(), &MidiIO::setIsLoadingPlugin);
    feedFromInputThread(window.router(), {{0xB0, 0x00, 0x01}, {0xC0, 0x09}});
    QTRY_COMPARE_WITH_TIMEOUT(loading.count(), 2, waitMs);
    QTRY_COMPARE(ui->l_currentPlugin->text(), QStringLiteral("TESSEL - 10"));
    if (!translate)
        clickBox(window, ui->c_translateCC0toPluginSelect);

    QLabel *label = ui->l_currentPlugin;
    const QImage image = label->grab(label->contentsRect()).toImage();
    // The commonest colour is the background; the text's is the one that
    // stands out most from it.
    QHash<QRgb, int> counts;
    QRgb background = image.pixel(0, 0);
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if (++counts[image.pixel(x, y)] > counts.value(background))
                background = image.pixel(x, y);
    const auto luminance = [](QRgb rgb) {
        const auto linear = [](int c) {
            const double v = c / 255.0;
            return v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
        };
        return 0.2126 * linear(qRed(rgb)) + 0.7152 * linear(qGreen(rgb)) +
               0.0722 * linear(qBlue(rgb));
    };
    const auto contrast = [&](QRgb a, QRgb b) {
        const double la = luminance(a), lb = luminance(b);
        return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
    };
    QRgb text = background;
    for (QRgb colour : counts.keys())
        if (contrast(colour, background) > contrast(text, background))
            text = colour;
    const QPalette palette = window.palette();
    if (translate) {
        QVERIFY2(contrast(text, background) >= 4.5,
                 qPrintable(QStringLiteral("%1 on %2: %3:1")
                                .arg(QColor(text).name(), QColor(background).name())
                                .arg(contrast(text, background), 0, 'f', 1)));
        QCOMPARE(QColor(text), palette.color(QPalette::Active, QPalette::WindowText));
    } else {
        QCOMPARE(QColor(text), palette.color(QPalette::Disabled, QPalette::WindowText));
    }
}

// Other programs connect to the virtual input; nothing done on the Device
// tab, by keyboard or mouse, may open it again and cut them off.
void TestMainWindow::virtualInputKeepsItsConnections()
{
    QVERIFY(home.write("[MIDI]\nmidiOutDevice=" + sinkA->portName().toUtf8() + "\n"));
    BrantolexMainWindow window;
    Ui_BrantolexMainWindow *ui = window.form();
    QVERIFY(shown(window));
    const QStringList ours = peerPorts(testbackend::routerVirtualInput());
    QCOMPARE(ours.size(), 1);
    PeerSourceTo first(QStringLiteral("virtual input"), "bx-peer-1");
    PeerSourceTo second(QStringLiteral("virtual input"), "bx-peer-2");
    QVERIFY(first.connected && second.connected);
    QTRY_COMPARE_WITH_TIMEOUT(peerConnections(ours.first()).size(), 2, waitMs);
    const QStringList connected = peerConnections(ours.first());

    const auto key = [&](Qt::Key key, Qt::KeyboardModifiers modifiers = {}) {
        QWidget *target = QApplication::focusWidget() ? QApplication::focusWidget() : &window;
        QTest::keyClick(target, key, modifiers);
    };
    key(Qt::Key_D, Qt::AltModifier);
    QCOMPARE(ui->tabWidget->currentWidget(), ui->Device);
    for (Qt::Key mnemonic : {Qt::Key_I, Qt::Key_O, Qt::Key_V}) {
        key(mnemonic, Qt::AltModifier);
        for (Qt::Key next : {Qt::Key_Down, Qt::Key_Up, Qt::Key_Space, Qt::Key_Escape})
            key(next);
    }
    QTest::mouseClick(ui->c_midiInDevice, Qt::LeftButton);
    key(Qt::Key_Escape);
    QCoreApplication::processEvents();
    QCOMPARE(window.router()->chosenMidiOut(), sinkA->portName());
    QVERIFY(window.router()->inputIsVirtual());
    QCOMPARE(peerConnections(ours.first()), connected);
}

// A port comes while the user is in the output list: the list grows under
// the open popup, and the keyboard still picks the entry below the chosen
// one.
void TestMainWindow::popupKeepsWorkingWhilePortsChange()
{
    QVERIFY(home.write("[MIDI]\nmidiOutDevice=" + sinkA->portName().toUtf8() + "\n"));
    BrantolexMainWindow window;
    Ui_BrantolexMainWindow *ui = window.form();
    QComboBox *combo = ui->c_midiOutDevice;
    QVERIFY(shown(window));
    ui->tabWidget->setCurrentWidget(ui->Device);
    combo->setFocus();
    QTest::keyClick(combo, Qt::Key_F4);
    QTRY_VERIFY(combo->view()->isVisible());
    const int count = combo->count();
    auto newcomer = makeSink("bx-newcomer");
    QVERIFY(newcomer);
    QTRY_COMPARE_WITH_TIMEOUT(combo->count(), count + 1, waitMs);
    const QStringList ports = window.router()->midiOutPorts;
    const QString below = ports.value(ports.indexOf(sinkA->portName()) + 1);
    QVERIFY(!below.isEmpty());
    QTest::keyClick(combo->view(), Qt::Key_Down);
    QTest::keyClick(combo->view(), Qt::Key_Return);
    QTRY_VERIFY(!combo->view()->isVisible());
    QCOMPARE(combo->currentText(), below);
    QCOMPARE(window.router()->chosenMidiOut(), below);
}

void TestMainWindow::stateLineFits_data()
{
    // What is shown: a pattern.
    addColumns<int, QStringList, QStringList, QString>("width", "texts", "names", "shown");

    const QString out = QStringLiteral("Output port %1 is absent");
    const QString in = QStringLiteral("Input port %1 is absent");
    const QString jack = QStringLiteral("JACK server stopped");
    const QString longName = QStringLiteral("Synth B with a rather long client name:unit port 1");
    dataRow("long name elided in the middle", 260, QStringList{out}, QStringList{longName},
            "^Output port Synth B.*\u2026.*port 1 is absent$");
    dataRow("three that fit", 900, QStringList{jack, out, in},
            QStringList{"", "Synth B:unit", "Keys:out"},
            "^JACK server stopped; Output port Synth B:unit is absent; Input port Keys:out is "
            "absent$");
    dataRow("two, names elided", 520, QStringList{out, in}, QStringList{longName, longName},
            "^Output port Synth.*\u2026.*1 is absent; Input port Synth.*\u2026.*1 is absent$");
    dataRow("two, room for the first only", 230, QStringList{out, in},
            QStringList{"Synth B:unit", "Keys:out"}, "^Output port Synth B:unit is absent$");
}

// The most important first; a name is elided in its middle so the words
// around it stay; the line never needs more than the width it has.
void TestMainWindow::stateLineFits()
{
    QFETCH(int, width);
    QFETCH(QStringList, texts);
    QFETCH(QStringList, names);
    QFETCH(QString, shown);
    MidiStateLine line;
    line.resize(width, line.height());
    QList<MidiStateLine::Problem> problems;
    for (int i = 0; i < texts.size(); ++i)
        problems.append({texts.at(i), names.at(i)});
    line.setProblems(problems);
    QVERIFY2(QRegularExpression(shown).match(line.text()).hasMatch(), qPrintable(line.text()));
    QVERIFY(line.fontMetrics().horizontalAdvance(line.text()) <= width);
    QCOMPARE(line.sizeHint().height(), line.height());
    QCOMPARE(line.toolTip().count(QLatin1Char('\n')), std::max(int(texts.size()) - 1, 0));
}

// The unit is off when the program starts: its stored ports show as absent,
// no stranger is opened in their place, one lasting line names what is
// absent, and the choice survives a save. When the unit comes on, and again
// after it went off and on, its ports are opened with no action and the
// line clears. The window keeps its size throughout, and so does what it
// saves.
void TestMainWindow::unitOffAtStartAndAgainLater()
{
    // Their names as a session before this one stored them. On ALSA they
    // come back under other client numbers, as a unit plugged in again.
    PeerSink unit("bx-late-unit");
    PeerSource keys("bx-late-keys");
    const QString out = unit.portName();
    const QString in = keys.portName();
    unit.unplug();
    keys.unplug();
    const QString absentLines =
        QStringLiteral("Output port %1 is absent\nInput port %2 is absent").arg(out, in);
    QVERIFY(home.write(portsConfig(in, out)));
    {
        BrantolexMainWindow window;
        QCOMPARE(window.form()->c_midiOutDevice->currentText(), out + QStringLiteral(" (absent)"));
        QVERIFY(!window.router()->outputOpen());
        QCOMPARE(window.midiStateLine()->toolTip(), absentLines);
        clickBox(window, window.form()->c_sysex);
    }
    QCOMPARE(configValues().value(QStringLiteral("MIDI/midiOutDevice")), out);
    QCOMPARE(configValues().value(QStringLiteral("MIDI/midiInDevice")), in);

    QSize size;
    {
        BrantolexMainWindow window;
        Ui_BrantolexMainWindow *ui = window.form();
        MidiStateLine *line = window.midiStateLine();
        QVERIFY(shown(window));
        size = window.size();
        QVERIFY(line->text().startsWith(QStringLiteral("Output port ")));
        for (unsigned char round = 0; round < 2; ++round) {
            unit.plugIn();
            keys.plugIn();
            QTRY_COMPARE_WITH_TIMEOUT(line->toolTip(), QString(), waitMs);
            QCOMPARE(line->text(), QString());
            QCOMPARE(ui->c_midiOutDevice->currentText(), unit.portName());
            QCOMPARE(ui->c_midiInDevice->currentText(), keys.portName());
            checkRoute(window, *sourceB, keys, unit, 70 + round);
            if (QTest::currentTestFailed())
                return;
            if (round == 0) {
                // At its least size, where a line that takes room would
                // make the window grow.
                window.resize(1, 1);
                QTRY_VERIFY(window.width() > 1);
                size = window.size();
            }
            unit.unplug();
            keys.unplug();
            QTRY_COMPARE_WITH_TIMEOUT(line->toolTip(), absentLines, waitMs);
            QVERIFY(!window.router()->outputOpen());
            QVERIFY(!window.router()->inputOpen());
            QCOMPARE(window.size(), size);
        }
    }
    BrantolexMainWindow window;
    QCOMPARE(window.size(), size);
}

// Ports listed before the chosen ones go and come back: the lists follow,
// the choice stays on its names, and MIDI still takes the chosen route.
void TestMainWindow::otherPortsComingAndGoingKeepTheChoice()
{
    // Of ours, the one listed first goes: PipeWire lists by object number,
    // which it hands out again, not by age.
    const auto [inPorts, outPorts] = listedPorts();
    const auto first = [](const QStringList &ports, auto &a, auto &b) -> auto &
    {
        return ports.indexOf(a->portName()) < ports.indexOf(b->portName()) ? a : b;
    };
    auto &goneSource = first(inPorts, sourceA, sourceB);
    auto &keptSource = &goneSource == &sourceA ? sourceB : sourceA;
    auto &goneSink = first(outPorts, sinkA, sinkB);
    auto &keptSink = &goneSink == &sinkA ? sinkB : sinkA;
    const QString in = keptSource->portName();
    const QString out = keptSink->portName();
    QVERIFY(home.write(portsConfig(in, out)));
    BrantolexMainWindow window;
    Ui_BrantolexMainWindow *ui = window.form();
    const auto items = [](QComboBox *combo) {
        QStringList texts;
        for (int i = 0; i < combo->count(); ++i)
            texts << combo->itemText(i);
        return texts;
    };
    const QString goneIn = goneSource->portName();
    const QString goneOut = goneSink->portName();
    goneSource.reset();
    goneSink.reset();
    QTRY_VERIFY_WITH_TIMEOUT(!items(ui->c_midiInDevice).contains(goneIn) &&
                                 !items(ui->c_midiOutDevice).contains(goneOut),
                             waitMs);
    QCOMPARE(ui->c_midiInDevice->currentText(), in);
    QCOMPARE(ui->c_midiOutDevice->currentText(), out);
    goneSource = makeSource(goneIn.section(QLatin1Char(':'), 0, 0).toStdString());
    goneSink = makeSink(goneOut.section(QLatin1Char(':'), 0, 0).toStdString());
    QVERIFY(goneSource && goneSink);
    QTRY_VERIFY_WITH_TIMEOUT(items(ui->c_midiInDevice).contains(goneSource->portName()) &&
                                 items(ui->c_midiOutDevice).contains(goneSink->portName()),
                             waitMs);
    QCOMPARE(items(ui->c_midiInDevice), window.router()->midiInPorts);
    QCOMPARE(items(ui->c_midiOutDevice), window.router()->midiOutPorts);
    QCOMPARE(ui->c_midiInDevice->currentText(), in);
    QCOMPARE(ui->c_midiOutDevice->currentText(), out);
    checkRoute(window, *goneSource, *keptSource, *keptSink, 72);
}

void TestMainWindow::noPortsAtAll_data()
{
    QTest::addColumn<bool>("virtualInput");

    QTest::newRow("virtual input") << true;
    QTest::newRow("no virtual input") << false;
}

void TestMainWindow::noPortsAtAll()
{
    QFETCH(bool, virtualInput);
    if (testbackend::kind() != testbackend::Kind::Jack)
        QSKIP("an empty JACK server of the test's own: ALSA's sequencer always has its own "
              "ports, and PipeWire's JACK ignores the server's name");

    // The suite's server has other programs' ports, as a real one has: this
    // case gets an empty server beside it, stopped by SIGTERM however the
    // test ends (a killed server keeps its registry slot). A process's JACK
    // clients all talk to one server, so ours close first and come back
    // after.
    for (auto *source : {&sourceA, &sourceB, &sourceU})
        source->reset();
    for (auto *sink : {&sinkA, &sinkB, &sinkU})
        sink->reset();
    // Made again on the suite's server once this one has stopped.
    const auto restore = qScopeGuard([&] { makePorts(); });
    PrivateJackServer server(QStringLiteral("empty"));
    QVERIFY2(server.start(), "jackd did not start");

    // Nothing can flow: the line says so, the output first.
    const QString absentLine =
        QStringLiteral("No output port chosen") +
        (virtualInput ? QString() : QStringLiteral("\nInput port gone:0 is absent"));
    QVERIFY(home.write(virtualInput ? "[MIDI]\nmidiInDevice=gone:0\n"
                                    : "[MIDI]\ncreateVirtualInput=No\nmidiInDevice=gone:0\n"));
    {
        BrantolexMainWindow window;
        Ui_BrantolexMainWindow *ui = window.form();
        MidiIO *router = window.router();
        // The stored input is kept, shown as absent unless the virtual
        // input is in use.
        QCOMPARE(ui->c_midiInDevice->count(), virtualInput ? 0 : 1);
        QCOMPARE(ui->c_midiInDevice->currentText(),
                 virtualInput ? QString() : QStringLiteral("gone:0 (absent)"));
        QCOMPARE(window.midiStateLine()->toolTip(), absentLine);
        QCOMPARE(ui->c_midiOutDevice->count(), 0);
        QCOMPARE(ui->c_midiOutDevice->currentIndex(), -1);
        QCOMPARE(router->inputOpen(), virtualInput);
        QCOMPARE(router->inputIsVirtual(), virtualInput);
        QVERIFY(!router->outputOpen());
        clickBox(window, ui->c_midiClockMessages);
        QVERIFY(!router->ignoresClockMessages());
    }
    const QMap<QString, QString> written = configValues();
    QCOMPARE(written.value(QStringLiteral("MIDI/midiInDevice")), QStringLiteral("gone:0"));
    QVERIFY(!written.contains(QStringLiteral("MIDI/midiOutDevice")));
    QCOMPARE(written.value(QStringLiteral("MIDI/midiClockMessages")), QStringLiteral("Yes"));

    // No output was ever chosen: the first that appears is taken, as at
    // start, and saved only with a change of the user's. The absent input
    // stays the choice.
    {
        BrantolexMainWindow window;
        Ui_BrantolexMainWindow *ui = window.form();
        auto unit = makeSink("bx-first-unit");
        auto keys = makeSource("bx-first-keys");
        QVERIFY(unit && keys);
        QTRY_COMPARE_WITH_TIMEOUT(ui->c_midiOutDevice->currentText(), unit->portName(), waitMs);
        QVERIFY(window.router()->outputOpen());
        QTRY_COMPARE_WITH_TIMEOUT(ui->c_midiInDevice->count(), virtualInput ? 1 : 2, waitMs);
        QCOMPARE(window.router()->inputIsVirtual(), virtualInput);
        QCOMPARE(window.router()->inputOpen(), virtualInput);
        QCOMPARE(window.midiStateLine()->toolTip(),
                 virtualInput ? QString() : QStringLiteral("Input port gone:0 is absent"));
    }
    QVERIFY(!configValues().contains(QStringLiteral("MIDI/midiOutDevice")));
}

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
