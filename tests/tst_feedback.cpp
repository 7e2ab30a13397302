// What the window tells and offers a user beyond the form, with no MIDI
// system at all: the activity lights, driven through the router's input
// callback into a recording output, the keys that open a port list and the
// hint on the virtual-input box.
#include "midi/midiio.h"
#include "recordingsink.h"
#include "sandbox.h"
#include "testhelpers.h"
#include "ui/activitylights.h"
#include "ui/brantolexmainwindow.h"
#include "ui/ui_brantolexmainwindow.h"

#include <QAbstractItemView>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <thread>

using State = ActivityLights::State;
Q_DECLARE_METATYPE(State)

namespace {
const int waitMs = 10000;

QWidget *lamp(const ActivityLights *lights, const QString &name)
{
    for (QWidget *child : lights->findChildren<QWidget *>())
        if (child->accessibleName() == name)
            return child;
    return nullptr;
}
} // namespace

class TestFeedback : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void lights_data();
    void lights();
    void portListOpens_data();
    void portListOpens();
    void virtualInputHint();

private:
    TemporaryHome home;
};

void TestFeedback::initTestCase()
{
    QVERIFY(home.use());
    // No MIDI system: a JACK server of a name nobody uses.
    qputenv("JACK_DEFAULT_SERVER", "bx-feedback-none");
    MidiIO::setPreferredSystem(QStringLiteral("jack"));
}

void TestFeedback::init()
{
    home.clear();
}

void TestFeedback::lights_data()
{
    addColumns<bool, bool, Bytes, int, State, State>("output", "refusing", "message", "count", "in",
                                                     "out");

    const Bytes note = {0x90, 0x3C, 0x64};
    QTest::newRow("a note passes") << true << false << note << 1 << State::Lit << State::Lit;
    QTest::newRow("another channel")
        << true << false << Bytes{0x91, 0x3C, 0x64} << 1 << State::Lit << State::Off;
    QTest::newRow("no output open") << false << false << note << 1 << State::Lit << State::Off;
    QTest::newRow("a flood the output refuses")
        << true << true << note << 20000 << State::Lit << State::Dropping;
}

// Each side lights while messages pass it and goes dark about 100 ms after
// the last; the output side is red while it drops them.
void TestFeedback::lights()
{
    QFETCH(bool, output);
    QFETCH(bool, refusing);
    QFETCH(Bytes, message);
    QFETCH(int, count);
    QFETCH(State, in);
    QFETCH(State, out);

    BrantolexMainWindow window;
    MidiIO *router = window.router();
    ActivityLights *lights = window.activityLights();
    auto log = std::make_shared<MessageLog>();
    log->refuse = refusing;
    if (output)
        router->replaceOutput(new RecordingSink(log));
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QCOMPARE(lights->inState(), State::Off);
    QCOMPARE(lights->outState(), State::Off);

    // On a thread of its own, as a MIDI system's input; the flood lasts
    // until the lights have shown it.
    std::atomic<bool> seen{false};
    std::thread input([&] {
        int sent = 0;
        do {
            Bytes copy = message;
            MidiIO::midiInCallback(0.0, &copy, router->callbackUserData());
        } while (++sent < count && !seen.load());
    });
    // Both lights settle at the same reading of the counts.
    const bool lit = QTest::qWaitFor([&] { return lights->inState() == in; }, waitMs);
    const State outSeen = lights->outState();
    seen = true;
    input.join();
    QVERIFY(lit);
    QCOMPARE(outSeen, out);
    if (out == State::Dropping)
        QCOMPARE(lamp(lights, QStringLiteral("MIDI out"))->accessibleDescription(),
                 QStringLiteral("dropping messages"));
    QTRY_COMPARE_WITH_TIMEOUT(lights->inState(), State::Off, waitMs);
    QTRY_COMPARE_WITH_TIMEOUT(lights->outState(), State::Off, waitMs);
    if (output && !refusing)
        QTRY_COMPARE_WITH_TIMEOUT(int(log->size()), out == State::Lit ? count : 0, waitMs);
}

void TestFeedback::portListOpens_data()
{
    addColumns<int, Qt::KeyboardModifiers>("key", "modifiers");

    QTest::newRow("Alt+Down") << int(Qt::Key_Down) << Qt::KeyboardModifiers(Qt::AltModifier);
    QTest::newRow("F4") << int(Qt::Key_F4) << Qt::KeyboardModifiers();
    QTest::newRow("Space") << int(Qt::Key_Space) << Qt::KeyboardModifiers();
}

void TestFeedback::portListOpens()
{
    QFETCH(int, key);
    QFETCH(Qt::KeyboardModifiers, modifiers);

    // Kept while absent, so the box has an entry to list.
    QVERIFY(home.write("[MIDI]\nmidiOutDevice=Synth B:unit\n"));
    BrantolexMainWindow window;
    Ui_BrantolexMainWindow *ui = window.form();
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    ui->tabWidget->setCurrentWidget(ui->Device);
    ui->c_midiOutDevice->setFocus();
    QTest::keyClick(ui->c_midiOutDevice, Qt::Key(key), modifiers);
    QTRY_VERIFY_WITH_TIMEOUT(ui->c_midiOutDevice->view()->isVisible(), waitMs);
    QCOMPARE(ui->c_midiOutDevice->toolTip(), QStringLiteral("Synth B:unit (absent)"));
}

// The greyed box says how to choose an input port instead.
void TestFeedback::virtualInputHint()
{
    BrantolexMainWindow window;
    Ui_BrantolexMainWindow *ui = window.form();
    QVERIFY(!ui->c_createVirtualInput->isEnabled());
    QVERIFY(ui->c_createVirtualInput->isChecked());
    for (QWidget *box : {static_cast<QWidget *>(ui->c_createVirtualInput),
                         static_cast<QWidget *>(ui->c_midiInDevice)})
        QVERIFY2(box->toolTip().contains(QLatin1String("createVirtualInput=No")) &&
                     box->toolTip().contains(QLatin1String("[MIDI]")),
                 qPrintable(box->toolTip()));
}

QTEST_MAIN(TestFeedback)
#include "tst_feedback.moc"
