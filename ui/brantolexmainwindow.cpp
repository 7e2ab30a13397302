#include "ui/brantolexmainwindow.h"

#include "midi/midiio.h"
#include "settings/profile.h"
#include "ui/ui_brantolexmainwindow.h"

#include <QComboBox>
#include <QDataStream>
#include <QRect>
#include <QSignalBlocker>
#include <QStatusBar>
#include <QStringDecoder>
#include <QtDebug>

namespace {
// Groups and keys of the configuration file; this window is their only
// reader and writer.
const char groupWindows[] = "WINDOWS";
const char keyMainWindowState[] = "MainWindowState";
const char keyMainWindowGeometry[] = "MainWindowGeometry";

const char groupMidi[] = "MIDI";
const char keyCreateVirtualInput[] = "createVirtualInput";
const char keyMidiClockMessages[] = "midiClockMessages";
const char keySysex[] = "sysex";
const char keyMidiChannel[] = "midiChannel";
const char keyTranslateCC0[] = "translateCC0toPluginSelect";
const char keyMidiInDevice[] = "midiInDevice";
const char keyMidiOutDevice[] = "midiOutDevice";

const char groupPlugin[] = "Plugin";
// Followed by the plug-in number 1..8: loadingTime1 is plug-in index 0.
const char keyLoadingTime[] = "loadingTime";
const char *const defaultLoadingTimes[MidiIO::pluginCount] = {"2000", "1500", "3000", "3000",
                                                              "2300", "2100", "1900", "1500"};

const char yes[] = "Yes";
const char no[] = "No";

// Only the exact text "Yes" counts; "yes", "true" or "1" from a hand-edited
// file read as unchecked.
bool isYes(const QString &text)
{
    return text == QLatin1String(yes);
}

const char *yesNo(bool checked)
{
    return checked ? yes : no;
}

// A text that is no decimal number reads as 0.
int toInt(const QString &text)
{
    return text.toInt();
}

// The port the user chose, from its stored name: the first port when none
// was stored, and the stored name itself when that port is not there now,
// never a stranger. Names used to be stored as their UTF-8 bytes read as
// Latin-1 ("SynthÃ©"); such a name still finds its port.
QString chosenPort(const QStringList &ports, const QString &stored)
{
    if (stored.isEmpty())
        return ports.value(0);
    if (ports.contains(stored))
        return stored;
    const QByteArray bytes = stored.toLatin1();
    if (QString::fromLatin1(bytes) != stored)
        return stored;
    QStringDecoder utf8(QStringDecoder::Utf8);
    const QString decoded = utf8(bytes);
    return utf8.hasError() ? stored : decoded;
}

// The system's ports in its order; a chosen port that is not there stays,
// marked, so that the choice shows and is kept.
void fillPorts(QComboBox *combo, const QStringList &ports, const QString &chosen)
{
    const QSignalBlocker blocker(combo);
    combo->clear();
    for (const QString &port : ports)
        combo->addItem(port, port);
    int index = chosen.isEmpty() ? -1 : int(ports.indexOf(chosen));
    const bool absent = !chosen.isEmpty() && index < 0;
    // The box is narrow: the whole text in the tip, and the shown text grey.
    combo->setPalette(QPalette());
    combo->setToolTip(QString());
    if (absent) {
        const QString text = BrantolexMainWindow::tr("%1 (absent)").arg(chosen);
        combo->addItem(text, chosen);
        index = combo->count() - 1;
        QPalette grey = combo->palette();
        const QColor disabled = grey.color(QPalette::Disabled, QPalette::Text);
        combo->setItemData(index, disabled, Qt::ForegroundRole);
        grey.setColor(QPalette::Active, QPalette::ButtonText, disabled);
        grey.setColor(QPalette::Inactive, QPalette::ButtonText, disabled);
        combo->setPalette(grey);
        combo->setToolTip(text);
    }
    combo->setCurrentIndex(index);
}

// QWidget::restoreGeometry reads data that was cut short as zeros, reports
// success and shrinks the window to a dot; such data is passed over. A size
// merely below today's minimum (a larger font, another style) is the user's
// own: Qt enlarges the window, and its place is kept. The fields are those
// that saveGeometry writes for each format version.
bool isUsableGeometry(const QByteArray &data)
{
    QDataStream stream(data);
    stream.setVersion(QDataStream::Qt_4_0);
    quint32 magic = 0;
    quint16 major = 0, minor = 0;
    QRect frame, normal, client;
    qint32 screen = 0, screenWidth = 0;
    quint8 maximized = 0, fullScreen = 0;
    stream >> magic >> major >> minor >> frame >> normal >> screen >> maximized >> fullScreen;
    if (major > 1)
        stream >> screenWidth;
    if (major > 2)
        stream >> client;
    const auto degenerate = [](const QRect &rect) {
        return rect.width() <= 1 || rect.height() <= 1;
    };
    return stream.status() == QDataStream::Ok && !degenerate(normal) &&
           (major <= 2 || !degenerate(client));
}

const char labelLoading[] = "QLabel {color: red }";
const char labelLoaded[] = "QLabel {color: black }";
} // namespace

BrantolexMainWindow::BrantolexMainWindow(QWidget *parent)
    : QMainWindow(parent), ui(new Ui_BrantolexMainWindow)
{
    ui->setupUi(this);
    midiIO = new MidiIO;

    loadSettings();

    // Shows the loaded choice, but the virtual input is not switched while
    // the program runs.
    ui->c_createVirtualInput->setEnabled(false);

    // Each loaded choice reaches the router exactly once, here; the
    // connections below come later so none of this fires a slot twice.
    onMidiInPortChanged(ui->c_midiInDevice->currentIndex());
    onMidiOutPortChanged(ui->c_midiOutDevice->currentIndex());
    onMidiChannelChanged(ui->c_midiChannel->value());
    onMidiClockMessagesChanged(ui->c_midiClockMessages->isChecked());
    onMidiSysExChanged(ui->c_sysex->isChecked());
    onMidiCC02PluginSelect(ui->c_translateCC0toPluginSelect->isChecked());
    settingsChanged = false;

    ui->l_currentPlugin->setText(midiIO->getPGAndPluginName());

    // clicked and activated come from the user only, never from our own
    // setters. The router's signals may come from the MIDI input thread, so
    // they arrive queued.
    connect(ui->c_createVirtualInput, &QCheckBox::clicked, this,
            &BrantolexMainWindow::onCreateVirtualInPort);
    connect(ui->c_midiInDevice, &QComboBox::activated, this,
            &BrantolexMainWindow::onMidiInPortChanged);
    connect(ui->c_midiOutDevice, &QComboBox::activated, this,
            &BrantolexMainWindow::onMidiOutPortChanged);
    connect(ui->c_midiChannel, &QSpinBox::valueChanged, this,
            &BrantolexMainWindow::onMidiChannelChanged);
    connect(ui->c_sysex, &QCheckBox::clicked, this, &BrantolexMainWindow::onMidiSysExChanged);
    connect(ui->c_midiClockMessages, &QCheckBox::clicked, this,
            &BrantolexMainWindow::onMidiClockMessagesChanged);
    connect(ui->c_translateCC0toPluginSelect, &QCheckBox::clicked, this,
            &BrantolexMainWindow::onMidiCC02PluginSelect);
    connect(midiIO, &MidiIO::pluginChanged, this, &BrantolexMainWindow::updatePGAndPluginName);
    connect(midiIO, &MidiIO::programmChanged, this, &BrantolexMainWindow::updatePGAndPluginName);
    connect(midiIO, &MidiIO::setIsLoadingPlugin, this, &BrantolexMainWindow::setIsLoadingPlugin);
    connect(midiIO, &MidiIO::portsChanged, this, &BrantolexMainWindow::onPortsChanged);
    connect(midiIO, &MidiIO::portLost, this,
            [this](const QString &name) { showStatus(tr("%1 has gone").arg(name)); });
    connect(midiIO, &MidiIO::portReconnected, this,
            [this](const QString &name) { showStatus(tr("%1 is back").arg(name)); });
}

BrantolexMainWindow::~BrantolexMainWindow()
{
    saveSettings();
    delete ui;
    delete midiIO;
}

void BrantolexMainWindow::loadSettings()
{
    Profile profile;

    restoreState(profile.value(QString::fromLatin1(groupWindows),
                               QString::fromLatin1(keyMainWindowState), saveState(0)),
                 0);
    const QByteArray geometry =
        profile.value(QString::fromLatin1(groupWindows), QString::fromLatin1(keyMainWindowGeometry),
                      saveGeometry());
    if (isUsableGeometry(geometry))
        restoreGeometry(geometry);

    ui->c_createVirtualInput->setChecked(
        isYes(profile.value(groupMidi, keyCreateVirtualInput, yes)));
    ui->c_midiClockMessages->setChecked(isYes(profile.value(groupMidi, keyMidiClockMessages, no)));
    ui->c_sysex->setChecked(isYes(profile.value(groupMidi, keySysex, no)));
    ui->c_midiChannel->setValue(toInt(profile.value(groupMidi, keyMidiChannel, "1")));
    ui->c_translateCC0toPluginSelect->setChecked(
        isYes(profile.value(groupMidi, keyTranslateCC0, yes)));

    chosenIn = chosenPort(midiIO->midiInPorts,
                          profile.value(QString::fromLatin1(groupMidi),
                                        QString::fromLatin1(keyMidiInDevice), QString()));
    chosenOut = chosenPort(midiIO->midiOutPorts,
                           profile.value(QString::fromLatin1(groupMidi),
                                         QString::fromLatin1(keyMidiOutDevice), QString()));
    fillPorts(ui->c_midiInDevice, midiIO->midiInPorts, chosenIn);
    fillPorts(ui->c_midiOutDevice, midiIO->midiOutPorts, chosenOut);

    int times[MidiIO::pluginCount];
    for (int i = MidiIO::pluginCount - 1; i >= 0; --i)
        times[i] = toInt(profile.value(groupPlugin, keyLoadingTime, i + 1, defaultLoadingTimes[i]));
    midiIO->setLoadingTimes(times[0], times[1], times[2], times[3], times[4], times[5], times[6],
                            times[7]);
}

void BrantolexMainWindow::saveSettings()
{
    Profile profile;

    profile.setValue(QString::fromLatin1(groupWindows), QString::fromLatin1(keyMainWindowState),
                     saveState(0));
    profile.setValue(QString::fromLatin1(groupWindows), QString::fromLatin1(keyMainWindowGeometry),
                     saveGeometry());

    if (!settingsChanged)
        return;

    profile.setValue(groupMidi, keyCreateVirtualInput,
                     yesNo(ui->c_createVirtualInput->isChecked()));
    profile.setValue(groupMidi, keyMidiClockMessages, yesNo(ui->c_midiClockMessages->isChecked()));
    profile.setValue(groupMidi, keySysex, yesNo(ui->c_sysex->isChecked()));
    profile.setValue(groupMidi, keyTranslateCC0,
                     yesNo(ui->c_translateCC0toPluginSelect->isChecked()));
    profile.setValue(QString::fromLatin1(groupMidi), QString::fromLatin1(keyMidiChannel),
                     QString::number(ui->c_midiChannel->value()));
    profile.setValue(QString::fromLatin1(groupMidi), QString::fromLatin1(keyMidiInDevice),
                     chosenIn);
    profile.setValue(QString::fromLatin1(groupMidi), QString::fromLatin1(keyMidiOutDevice),
                     chosenOut);
    for (int i = 0; i < MidiIO::pluginCount; ++i)
        profile.setValue(QString::fromLatin1(groupPlugin), QString::fromLatin1(keyLoadingTime),
                         i + 1, QString::number(midiIO->loadingTime(i)));
}

void BrantolexMainWindow::minimizeToTray()
{
    qDebug("%s", "minimizeToTray");
}

void BrantolexMainWindow::onCreateVirtualInPort(bool on)
{
    if (on || chosenIn.isEmpty())
        midiIO->openMidiIn(ui->c_midiInDevice->currentIndex(), on);
    else
        midiIO->openMidiInNamed(chosenIn);
    ui->c_midiInDevice->setEnabled(!on);
    ui->l_midiInDevice->setEnabled(!on);
    settingsChanged = true;
}

// Ports are opened by name: the list may have changed since it was shown.
void BrantolexMainWindow::onMidiInPortChanged(int idx)
{
    if (idx >= 0)
        chosenIn = ui->c_midiInDevice->itemData(idx).toString();
    if (ui->c_createVirtualInput->isChecked() || idx < 0)
        midiIO->openMidiIn(idx, ui->c_createVirtualInput->isChecked());
    else
        midiIO->openMidiInNamed(chosenIn);
    fillPorts(ui->c_midiInDevice, midiIO->midiInPorts, chosenIn);
    settingsChanged = true;
}

void BrantolexMainWindow::onMidiOutPortChanged(int idx)
{
    if (idx >= 0) {
        chosenOut = ui->c_midiOutDevice->itemData(idx).toString();
        midiIO->openMidiOutNamed(chosenOut);
    } else {
        midiIO->openMidiOut(idx);
    }
    fillPorts(ui->c_midiOutDevice, midiIO->midiOutPorts, chosenOut);
    settingsChanged = true;
}

void BrantolexMainWindow::onPortsChanged()
{
    fillPorts(ui->c_midiInDevice, midiIO->midiInPorts, chosenIn);
    fillPorts(ui->c_midiOutDevice, midiIO->midiOutPorts, chosenOut);
}

// A status line only while there is news; it goes with the message.
void BrantolexMainWindow::showStatus(const QString &text)
{
    QStatusBar *bar = statusBar();
    if (!bar->property("hidesWhenEmpty").toBool()) {
        bar->setProperty("hidesWhenEmpty", true);
        connect(bar, &QStatusBar::messageChanged, bar,
                [bar](const QString &message) { bar->setVisible(!message.isEmpty()); });
    }
    bar->show();
    bar->showMessage(text, 5000);
}

void BrantolexMainWindow::onMidiChannelChanged(int idx)
{
    midiIO->setMidiChannel(idx);
    settingsChanged = true;
}

void BrantolexMainWindow::onMidiClockMessagesChanged(bool on)
{
    // The box means "let them through", the router's flag means "drop".
    midiIO->setIgnoreClockMessages(!on);
    settingsChanged = true;
}

void BrantolexMainWindow::onMidiSysExChanged(bool on)
{
    midiIO->setIgnoreSysex(!on);
    settingsChanged = true;
}

void BrantolexMainWindow::onMidiCC02PluginSelect(bool on)
{
    midiIO->setTranslateCC0(on);
    ui->l_currentPlugin->setEnabled(on);
    settingsChanged = true;
}

void BrantolexMainWindow::updatePGAndPluginName()
{
    // Asks now rather than trusting the signal's moment: a queued signal may
    // arrive after the router has moved on.
    ui->l_currentPlugin->setText(midiIO->getPGAndPluginName());
}

void BrantolexMainWindow::setIsLoadingPlugin(bool is_loading)
{
    ui->l_currentPlugin->setStyleSheet(QLatin1String(is_loading ? labelLoading : labelLoaded));
}
