#include "ui/brantolexmainwindow.h"

#include "app/commandline.h"
#include "app/say.h"
#include "midi/midiio.h"
#include "midi/midisystem.h"
#include "settings/profile.h"
#include "ui/activitylights.h"
#include "ui/midistateline.h"
#include "ui/ui_brantolexmainwindow.h"

#include <QAbstractItemView>
#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QDataStream>
#include <QHBoxLayout>
#include <QIcon>
#include <QKeyEvent>
#include <QKeySequence>
#include <QPainter>
#include <QProxyStyle>
#include <QPushButton>
#include <QRect>
#include <QSignalBlocker>
#include <QStatusBar>
#include <QStringDecoder>
#include <QStyleFactory>
#include <QStyleOptionComboBox>
#include <QtDebug>
#include <QTimer>

namespace {
// Groups and keys of the configuration file; this window is their only
// reader and writer.
const char groupWindows[] = "WINDOWS";
const char keyMainWindowState[] = "MainWindowState";
const char keyMainWindowGeometry[] = "MainWindowGeometry";
// Kept by a session only: the window comes back as the session left it.
const char keyMainWindowVisible[] = "MainWindowVisible";

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

// Longer waits are typing mistakes: a minute is more than any plug-in needs.
const int mostLoadingTime = 60000;

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

// The port the user chose, from its stored name: the first port when none
// was stored, and the stored name itself when that port is not there now,
// never a stranger. Names used to be stored as their UTF-8 bytes read as
// Latin-1 ("SynthÃ©"); such a name still finds its port.
QString chosenPort(const QStringList &ports, const QString &stored)
{
    if (stored.isEmpty())
        return ports.value(0);
    if (ports.contains(stored) || !MidiSystem::matchPort(ports, stored).isEmpty())
        return stored;
    const QByteArray bytes = stored.toLatin1();
    if (QString::fromLatin1(bytes) != stored)
        return stored;
    QStringDecoder utf8(QStringDecoder::Utf8);
    const QString decoded = utf8(bytes);
    return utf8.hasError() ? stored : decoded;
}

// Marks the item of a chosen port that is not there.
const int absentRole = Qt::UserRole + 1;

// Port names often differ only at their end ("... MIDI 1", "... MIDI 2"):
// the closed box cuts a long name in its middle, and "(absent)" after it
// always shows. An absent choice is in italics with a warning sign, so it
// never looks like a disabled box.
class PortBoxStyle : public QProxyStyle
{
public:
    using QProxyStyle::QProxyStyle;

    void drawControl(ControlElement element, const QStyleOption *option, QPainter *painter,
                     const QWidget *widget) const override
    {
        const auto *box = qobject_cast<const QComboBox *>(widget);
        const auto *combo = qstyleoption_cast<const QStyleOptionComboBox *>(option);
        if (element != CE_ComboBoxLabel || !box || !combo || box->currentIndex() < 0) {
            QProxyStyle::drawControl(element, option, painter, widget);
            return;
        }
        painter->save();
        QFont font = painter->font();
        font.setItalic(box->currentData(absentRole).toBool());
        painter->setFont(font);
        QStyleOptionComboBox shown(*combo);
        int room = subControlRect(CC_ComboBox, combo, SC_ComboBoxEditField, widget).width() - 4;
        if (!combo->currentIcon.isNull())
            room -= combo->iconSize.width() + 4;
        const QFontMetrics metrics(font);
        const QString name = box->currentData().toString();
        const QString after =
            combo->currentText.startsWith(name) ? combo->currentText.mid(name.size()) : QString();
        const QString before = combo->currentText.left(combo->currentText.size() - after.size());
        shown.currentText =
            metrics.elidedText(before, Qt::ElideMiddle, room - metrics.horizontalAdvance(after)) +
            after;
        QProxyStyle::drawControl(element, &shown, painter, widget);
        painter->restore();
    }
};

// What a port box lists: the system's ports in its order, and a chosen
// port that is not there, marked, so that the choice shows and is kept.
struct PortItem
{
    QString text;
    QString port;
    bool operator==(const PortItem &other) const
    {
        return text == other.text && port == other.port;
    }
};

PortItem itemAt(const QComboBox *combo, int index)
{
    return {combo->itemText(index), combo->itemData(index).toString()};
}

// Brings the box to the list item by item, never by clearing it: an open
// popup keeps its rows and the row the user is on. With showChoice false
// the box shows no entry (the virtual input is in use).
void showPortList(QComboBox *combo, const QStringList &ports, const QString &chosen,
                  bool showChoice)
{
    const QSignalBlocker blocker(combo);
    QList<PortItem> wanted;
    for (const QString &port : ports)
        wanted.append({port, port});
    // A unit plugged in again may come back under other client numbers.
    const QString listed = MidiSystem::matchPort(ports, chosen);
    const bool absent = showChoice && !chosen.isEmpty() && listed.isEmpty();
    const QString absentText = BrantolexMainWindow::tr("%1 (absent)").arg(chosen);
    if (absent)
        wanted.append({absentText, chosen});

    for (int i = combo->count() - 1; i >= 0; --i)
        if (!wanted.contains(itemAt(combo, i)))
            combo->removeItem(i);
    for (int i = 0; i < int(wanted.size()); ++i) {
        if (i < combo->count() && itemAt(combo, i) == wanted.at(i))
            continue;
        // Listed further down: the system's order changed.
        for (int j = i + 1; j < combo->count(); ++j) {
            if (itemAt(combo, j) == wanted.at(i)) {
                combo->removeItem(j);
                break;
            }
        }
        combo->insertItem(i, wanted.at(i).text, wanted.at(i).port);
    }
    while (combo->count() > int(wanted.size()))
        combo->removeItem(combo->count() - 1);

    // The box is narrow: each whole name is in its item's tip, and the
    // chosen one in the box's (set below).
    for (int i = 0; i < combo->count(); ++i)
        combo->setItemData(i, combo->itemText(i), Qt::ToolTipRole);
    if (absent) {
        const int last = combo->count() - 1;
        QFont italic = combo->font();
        italic.setItalic(true);
        combo->setItemData(last, true, absentRole);
        combo->setItemData(last, italic, Qt::FontRole);
        combo->setItemIcon(last, combo->style()->standardIcon(QStyle::SP_MessageBoxWarning));
    }

    int index = -1;
    if (showChoice && !chosen.isEmpty())
        index = absent ? combo->count() - 1 : int(ports.indexOf(listed));
    if (combo->currentIndex() != index)
        combo->setCurrentIndex(index);
    combo->setToolTip(combo->currentText());
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

} // namespace

bool BrantolexMainWindow::panic()
{
    // Not an edit: nothing to save, the session stays clean.
    const bool sent = midiIO->panic();
    statusBar()->showMessage(sent ? tr("Panic sent: all notes off on 16 channels")
                                  : tr("Panic: no output to the unit is open"),
                             panicNoteMs);
    return sent;
}

void BrantolexMainWindow::keyPressEvent(QKeyEvent *event)
{
    if (event->key() == Qt::Key_Escape && event->modifiers() == Qt::NoModifier) {
        panic();
        event->accept();
        return;
    }
    QMainWindow::keyPressEvent(event);
}

BrantolexMainWindow::BrantolexMainWindow(QWidget *parent)
    : QMainWindow(parent), ui(new Ui_BrantolexMainWindow)
{
    ui->setupUi(this);
    // Sharp at any scale; the bitmap where no SVG support is installed.
    QIcon icon(QStringLiteral(":/icons/brantolex-fixer.svg"));
    icon.addFile(QStringLiteral(":/icons/brantolex-fixer.png"));
    setWindowIcon(icon);
    ui->c_createVirtualInput->setToolTip(virtualInputHint());
    lights = new ActivityLights(ui->centralWidget);
    lights->setObjectName(QStringLiteral("l_midiActivity"));
    ui->gridLayout_2->removeWidget(ui->l_currentPlugin);
    // For notes something else left sounding at the unit; Esc, as in
    // sequencers, when nothing in the window takes it (keyPressEvent).
    panicButton = new QPushButton(tr("Panic"), ui->centralWidget);
    panicButton->setObjectName(QStringLiteral("b_panic"));
    panicButton->setToolTip(tr("Ends every note at the unit: Note Offs for the notes it holds, "
                               "then Sustain off, All Sound Off and All Notes Off on every "
                               "channel (Esc)"));
    panicButton->setFocusPolicy(Qt::NoFocus);
    connect(panicButton, &QPushButton::clicked, this, &BrantolexMainWindow::panic);
    auto *top = new QHBoxLayout;
    top->addWidget(ui->l_currentPlugin, 1);
    top->addWidget(lights);
    top->addWidget(panicButton);
    ui->gridLayout_2->addLayout(top, 0, 0, 1, 2);
    // There from the start, so that news never changes the window's size;
    // not a permanent widget, so that a passing message (a panic's) shows
    // over it.
    stateLine = new MidiStateLine(this);
    stateLine->setObjectName(QStringLiteral("l_midiState"));
    statusBar()->addWidget(stateLine, 1);
    for (QComboBox *box : {ui->c_midiInDevice, ui->c_midiOutDevice}) {
        auto *style = new PortBoxStyle(QStyleFactory::create(QApplication::style()->name()));
        style->setParent(box);
        box->setStyle(style);
        box->view()->setTextElideMode(Qt::ElideMiddle);
    }
    midiIO = new MidiIO;
    lights->watch(midiIO);
    // A change is kept a moment after the last control moved, so that a
    // lost display, a crash or a kill costs at most that moment.
    autosave = new QTimer(this);
    autosave->setSingleShot(true);
    autosave->setInterval(autosaveDelay);
    connect(autosave, &QTimer::timeout, this, [this] { saveSettings(false); });

    loadSettings();

    // Shows the loaded choice, but the virtual input is not switched while
    // the program runs.
    ui->c_createVirtualInput->setEnabled(false);

    // Each loaded choice reaches the router exactly once, here; the
    // connections below come later so none of this fires a slot twice.
    const QSet<QString> fromLoading = touched;
    openChosenInput();
    onMidiOutPortChanged(ui->c_midiOutDevice->currentIndex());
    onMidiChannelChanged(ui->c_midiChannel->value());
    onMidiClockMessagesChanged(ui->c_midiClockMessages->isChecked());
    onMidiSysExChanged(ui->c_sysex->isChecked());
    onMidiCC02PluginSelect(ui->c_translateCC0toPluginSelect->isChecked());
    // What was read is no change of the user's: nothing to save for it.
    touched = fromLoading;
    autosave->stop();
    settingsProblem = Profile::problem();
    updateMidiState();

    updatePGAndPluginName();

    // Quits as closing the window does: the destructor saves.
    auto *quit = new QAction(tr("Quit"), this);
    quit->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
    quit->setShortcutContext(Qt::ApplicationShortcut);
    addAction(quit);
    connect(quit, &QAction::triggered, this, &QWidget::close);

    // clicked and activated come from the user only, never from our own
    // setters. The router's signals may come from the MIDI input thread, so
    // they arrive queued.
    connect(ui->c_createVirtualInput, &QCheckBox::clicked, this,
            &BrantolexMainWindow::onCreateVirtualInPort);
    ui->c_midiInDevice->installEventFilter(this);
    ui->c_midiOutDevice->installEventFilter(this);
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
    connect(midiIO, &MidiIO::portLost, this, &BrantolexMainWindow::updateMidiState);
    connect(midiIO, &MidiIO::portReconnected, this, &BrantolexMainWindow::updateMidiState);
    connect(midiIO, &MidiIO::systemChanged, this, &BrantolexMainWindow::updateMidiState);
}

BrantolexMainWindow::~BrantolexMainWindow()
{
    if (savesByItself)
        saveSettings(false);
    delete ui;
    delete midiIO;
}

void BrantolexMainWindow::loadSettings()
{
    Profile::forgetProblem();
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
    ui->c_midiChannel->setValue(
        checkedNumber(profile, groupMidi, keyMidiChannel, 0, "1", ui->c_midiChannel->minimum(),
                      ui->c_midiChannel->maximum(), tr("a channel from 1 to 16")));
    ui->c_translateCC0toPluginSelect->setChecked(
        isYes(profile.value(groupMidi, keyTranslateCC0, yes)));

    const QString storedIn = profile.value(QString::fromLatin1(groupMidi),
                                           QString::fromLatin1(keyMidiInDevice), QString());
    const QString storedOut = profile.value(QString::fromLatin1(groupMidi),
                                            QString::fromLatin1(keyMidiOutDevice), QString());
    chosenIn = chosenPort(midiIO->midiInPorts, storedIn);
    chosenOut = chosenPort(midiIO->midiOutPorts, storedOut);
    // A name stored the old way is the program's own text: written right at
    // the next save.
    if (!storedIn.isEmpty() && chosenIn != storedIn)
        touched.insert(QString::fromLatin1(groupMidi) + QLatin1Char('/') +
                       QLatin1String(keyMidiInDevice));
    if (!storedOut.isEmpty() && chosenOut != storedOut)
        touched.insert(QString::fromLatin1(groupMidi) + QLatin1Char('/') +
                       QLatin1String(keyMidiOutDevice));
    showPorts();

    int times[MidiIO::pluginCount];
    for (int i = MidiIO::pluginCount - 1; i >= 0; --i)
        times[i] = checkedNumber(
            profile, groupPlugin, keyLoadingTime, i + 1, defaultLoadingTimes[i], 0, mostLoadingTime,
            tr("a whole number of milliseconds from 0 to %1").arg(mostLoadingTime));
    midiIO->setLoadingTimes(times[0], times[1], times[2], times[3], times[4], times[5], times[6],
                            times[7]);
    for (const auto &[group, key, value] : choices())
        inFile.insert(group + QLatin1Char('/') + key, profile.value(group, key, QString()));
}

int BrantolexMainWindow::checkedNumber(const Profile &profile, const char *group, const char *key,
                                       int index, const char *fallback, int least, int most,
                                       const QString &meaning)
{
    const QString name =
        QString::fromLatin1(key) + (index > 0 ? QString::number(index) : QString());
    const QString text =
        profile.value(QString::fromLatin1(group), name, QString::fromLatin1(fallback));
    bool ok = false;
    const int number = text.toInt(&ok);
    if (ok && number >= least && number <= most)
        return number;
    refused.insert(QString::fromLatin1(group) + QLatin1Char('/') + name);
    const int line = profile.lineOf(QString::fromLatin1(group), name);
    say(tr("Brantolex Fixer: %1, line %2: %3=%4 is not %5; %6 is used instead")
            .arg(profile.filePath())
            .arg(line)
            .arg(name, text, meaning, QString::fromLatin1(fallback)));
    return QString::fromLatin1(fallback).toInt();
}

QList<BrantolexMainWindow::Choice> BrantolexMainWindow::choices() const
{
    const QString midi = QString::fromLatin1(groupMidi);
    QList<Choice> all = {
        {midi, QString::fromLatin1(keyCreateVirtualInput),
         QString::fromLatin1(yesNo(ui->c_createVirtualInput->isChecked()))},
        {midi, QString::fromLatin1(keyMidiClockMessages),
         QString::fromLatin1(yesNo(ui->c_midiClockMessages->isChecked()))},
        {midi, QString::fromLatin1(keySysex), QString::fromLatin1(yesNo(ui->c_sysex->isChecked()))},
        {midi, QString::fromLatin1(keyTranslateCC0),
         QString::fromLatin1(yesNo(ui->c_translateCC0toPluginSelect->isChecked()))},
        {midi, QString::fromLatin1(keyMidiChannel), QString::number(ui->c_midiChannel->value())},
        {midi, QString::fromLatin1(keyMidiInDevice), chosenIn},
        {midi, QString::fromLatin1(keyMidiOutDevice), chosenOut},
    };
    for (int i = 0; i < MidiIO::pluginCount; ++i)
        all.append({QString::fromLatin1(groupPlugin),
                    QString::fromLatin1(keyLoadingTime) + QString::number(i + 1),
                    QString::number(midiIO->loadingTime(i))});
    return all;
}

bool BrantolexMainWindow::savedShown()
{
    const Profile profile;
    return isYes(profile.value(groupWindows, keyMainWindowVisible, no));
}

bool BrantolexMainWindow::saveAllSettings(bool shown)
{
    return saveSettings(true, shown);
}

bool BrantolexMainWindow::saveSettings(bool everything, bool shown)
{
    autosave->stop();
    Profile profile;

    // Without a window its place and size mean nothing, and a file that
    // cannot be written must not fail a headless run for them.
    if (!headless) {
        profile.setValue(QString::fromLatin1(groupWindows), QString::fromLatin1(keyMainWindowState),
                         saveState(0));
        profile.setValue(QString::fromLatin1(groupWindows),
                         QString::fromLatin1(keyMainWindowGeometry), saveGeometry());
        if (everything)
            profile.setValue(groupWindows, keyMainWindowVisible, yesNo(shown));
    }

    // Only what the user changed in the window is written; the rest of the
    // file, hand edits included, stays as it is. A session's save writes
    // every choice, except a refused text the user has not replaced.
    QHash<QString, QString> written;
    for (const auto &[group, key, value] : choices()) {
        const QString name = group + QLatin1Char('/') + key;
        const bool changed = touched.contains(name);
        if (!changed && (!everything || refused.contains(name)))
            continue;
        const auto known = inFile.constFind(name);
        if (!everything && known != inFile.cend() && !known->isNull() && *known == value)
            continue;
        profile.setValue(group, key, value);
        written.insert(name, value);
    }
    const bool saved = profile.saveNow();
    if (saved) {
        inFile.insert(written);
        for (auto it = written.cbegin(); it != written.cend(); ++it)
            refused.remove(it.key());
        touched.clear();
    }
    const QString problem = Profile::problem();
    if (problem != settingsProblem) {
        settingsProblem = problem;
        updateMidiState();
    }
    return saved;
}

void BrantolexMainWindow::markChanged(const char *key)
{
    touched.insert(QString::fromLatin1(groupMidi) + QLatin1Char('/') + QLatin1String(key));
    if (savesByItself)
        autosave->start();
    if (editListener)
        editListener();
}

void BrantolexMainWindow::minimizeToTray()
{
    qDebug("%s", "minimizeToTray");
}

// The box is disabled while the program runs; the slot stays for a click
// all the same.
void BrantolexMainWindow::onCreateVirtualInPort(bool on)
{
    if (on != midiIO->inputIsVirtual())
        openChosenInput();
    showPorts();
    updateMidiState();
    markChanged(keyCreateVirtualInput);
}

// The virtual input is opened once and then left alone: opening it again
// would cut every connection other programs made to it.
void BrantolexMainWindow::openChosenInput()
{
    if (ui->c_createVirtualInput->isChecked())
        midiIO->openMidiIn(-1, true);
    else if (chosenIn.isEmpty())
        midiIO->openMidiIn(-1, false);
    else
        midiIO->openMidiInNamed(chosenIn);
}

// Ports are opened by name: the list may have changed since it was shown.
void BrantolexMainWindow::onMidiInPortChanged(int idx)
{
    if (ui->c_createVirtualInput->isChecked())
        return;
    if (idx >= 0)
        chosenIn = ui->c_midiInDevice->itemData(idx).toString();
    openChosenInput();
    showPorts();
    updateMidiState();
    markChanged(keyMidiInDevice);
}

void BrantolexMainWindow::onMidiOutPortChanged(int idx)
{
    if (idx >= 0) {
        chosenOut = ui->c_midiOutDevice->itemData(idx).toString();
        midiIO->openMidiOutNamed(chosenOut);
    } else {
        midiIO->openMidiOut(idx);
    }
    showPorts();
    updateMidiState();
    markChanged(keyMidiOutDevice);
}

// With no choice ever made, the first port that appears is taken, as at
// start; like a choice made at start, it is saved only with a change of
// the user's.
void BrantolexMainWindow::onPortsChanged()
{
    if (chosenOut.isEmpty() && !midiIO->midiOutPorts.isEmpty()) {
        chosenOut = midiIO->midiOutPorts.first();
        midiIO->openMidiOutNamed(chosenOut);
    }
    if (chosenIn.isEmpty() && !midiIO->midiInPorts.isEmpty()) {
        chosenIn = midiIO->midiInPorts.first();
        if (!ui->c_createVirtualInput->isChecked())
            midiIO->openMidiInNamed(chosenIn);
    }
    showPorts();
    updateMidiState();
}

void BrantolexMainWindow::showPorts()
{
    const bool virtualInput = ui->c_createVirtualInput->isChecked();
    showPortList(ui->c_midiInDevice, midiIO->midiInPorts, chosenIn, !virtualInput);
    showPortList(ui->c_midiOutDevice, midiIO->midiOutPorts, chosenOut, true);
    ui->c_midiInDevice->setPlaceholderText(virtualInput ? tr("(virtual input)") : QString());
    if (virtualInput)
        ui->c_midiInDevice->setToolTip(virtualInputHint());
    ui->c_midiInDevice->setEnabled(!virtualInput);
    ui->l_midiInDevice->setEnabled(!virtualInput);
}

QString BrantolexMainWindow::systemProblem(const MidiIO *router)
{
    const QString problem = router->systemProblem();
    const QString chosen = MidiIO::preferredSystem();
    const QString setting = CommandLine::systemChosenBy();
    // A system chosen once is kept for every start: name the way back.
    if (problem.isEmpty() || !router->systemName().isEmpty() || chosen.isEmpty() ||
        setting.isEmpty())
        return problem;
    if (chosen == QLatin1String("alsa"))
        return tr("The ALSA sequencer (%1) is not available here; --midi-system jack uses JACK")
            .arg(setting);
    return tr("No JACK server runs here (%1); start one, or --midi-system alsa uses the ALSA "
              "sequencer")
        .arg(setting);
}

// The system first: without it no port can be there.
void BrantolexMainWindow::updateMidiState()
{
    QList<MidiStateLine::Problem> problems;
    const QString system = systemProblem(midiIO);
    if (!system.isEmpty())
        problems.append({system, QString()});
    else if (chosenOut.isEmpty())
        problems.append({tr("No output port chosen"), QString()});
    if (!chosenOut.isEmpty() && MidiSystem::matchPort(midiIO->midiOutPorts, chosenOut).isEmpty())
        problems.append({tr("Output port %1 is absent"), chosenOut});
    // Cut by a patchbay: left so, but the user should know nothing arrives.
    else if (midiIO->outputOpen() && !midiIO->outputConnected())
        problems.append({tr("Output port %1 is not connected"), chosenOut});
    if (!ui->c_createVirtualInput->isChecked() && !chosenIn.isEmpty() &&
        MidiSystem::matchPort(midiIO->midiInPorts, chosenIn).isEmpty())
        problems.append({tr("Input port %1 is absent"), chosenIn});
    // Said with the path, which is elided in its middle when room is short.
    if (!settingsProblem.isEmpty())
        problems.append(
            {QStringLiteral("%1"), settingsProblem.left(1).toUpper() + settingsProblem.mid(1)});
    const QString scheduling = MidiIO::schedulingProblem();
    if (!scheduling.isEmpty())
        problems.append({scheduling, QString()});
    stateLine->setProblems(problems);
}

void BrantolexMainWindow::onMidiChannelChanged(int idx)
{
    midiIO->setMidiChannel(idx);
    markChanged(keyMidiChannel);
}

void BrantolexMainWindow::onMidiClockMessagesChanged(bool on)
{
    // The box means "let them through", the router's flag means "drop".
    midiIO->setIgnoreClockMessages(!on);
    markChanged(keyMidiClockMessages);
}

void BrantolexMainWindow::onMidiSysExChanged(bool on)
{
    midiIO->setIgnoreSysex(!on);
    markChanged(keySysex);
}

void BrantolexMainWindow::onMidiCC02PluginSelect(bool on)
{
    midiIO->setTranslateCC0(on);
    ui->l_currentPlugin->setEnabled(on);
    markChanged(keyTranslateCC0);
}

void BrantolexMainWindow::updatePGAndPluginName()
{
    // Asks now rather than trusting the signal's moment: a queued signal may
    // arrive after the router has moved on.
    ui->l_currentPlugin->setText(midiIO->getPGAndPluginName());
    updateLabelName();
}

// Until a selection has reached the unit, the plug-in named is only what
// the unit should be on: in italics, and said so to screen readers.
void BrantolexMainWindow::updateLabelName()
{
    const bool known = midiIO->pluginKnown();
    QFont font = ui->l_currentPlugin->font();
    if (font.italic() == known) {
        font.setItalic(!known);
        ui->l_currentPlugin->setFont(font);
    }
    QString text = ui->l_currentPlugin->text();
    if (!known)
        text = tr("%1, not confirmed").arg(text);
    ui->l_currentPlugin->setAccessibleName(labelLoading ? tr("%1, loading").arg(text) : text);
}

// Colours from the palette, so the label reads in any scheme; only the
// wait has its own colour. The disabled group is left to the palette, so a
// label without translation looks disabled, loading or not.
void BrantolexMainWindow::setIsLoadingPlugin(bool is_loading)
{
    labelLoading = is_loading;
    QPalette palette;
    if (is_loading) {
        palette.setColor(QPalette::Active, QPalette::WindowText, Qt::red);
        palette.setColor(QPalette::Inactive, QPalette::WindowText, Qt::red);
    }
    ui->l_currentPlugin->setPalette(palette);
    updateLabelName();
}

QString BrantolexMainWindow::virtualInputHint()
{
    return tr("The virtual input is kept in the settings: to choose an input port here, set "
              "%1=No in the [%2] section of ~/.Brantolex_Fixer/config and start again")
        .arg(QLatin1String(keyCreateVirtualInput), QLatin1String(groupMidi));
}

// Alt with a letter is a mnemonic; one that leads nowhere (the In port box
// while the virtual input is on) must not reach a port box as a search that
// picks another port. Alt with an arrow opens or closes the list.
bool BrantolexMainWindow::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::KeyPress) {
        const auto *key = static_cast<QKeyEvent *>(event);
        if ((key->modifiers() & Qt::AltModifier) && key->key() != Qt::Key_Down &&
            key->key() != Qt::Key_Up)
            return true;
    }
    return QMainWindow::eventFilter(watched, event);
}
