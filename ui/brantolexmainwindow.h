#pragma once

#include <QMainWindow>

#include <QHash>
#include <QList>
#include <QSet>
#include <QString>

#include <functional>

class QPushButton;
class QTimer;

class ActivityLights;
class MidiIO;
class Profile;
class MidiStateLine;
class Ui_BrantolexMainWindow;

// The program's only window. It owns the MIDI router, restores the user's
// choices into its controls and hands them to the router, turns each change
// of a control into one router call, and shows the router's plug-in and
// program in red while the unit loads, and says in a lasting line what
// keeps MIDI from flowing. Changes are saved a second after the last one,
// and in the destructor.
class BrantolexMainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit BrantolexMainWindow(QWidget *parent = nullptr);
    ~BrantolexMainWindow() override;

    MidiIO *router() const { return midiIO; }
    // The Panic button, Esc, and brantolex-fixer --panic from another start.
    // Says for a moment what it did; false when no output took it.
    bool panic();
    static constexpr int panicNoteMs = 4000;
    Ui_BrantolexMainWindow *form() const { return ui; }
    MidiStateLine *midiStateLine() const { return stateLine; }
    ActivityLights *activityLights() const { return lights; }

    // Writes every choice now, changed or not, so that the file holds the
    // whole state, and whether the window is shown; false when it could not
    // be written.
    bool saveAllSettings(bool shown);
    // Whether the settings say the window was shown when they were saved.
    static bool savedShown();
    // The MIDI system's problem for the user; when the system the settings
    // chose is missing, it says how to choose another.
    static QString systemProblem(const MidiIO *router);
    // On its own the window saves a second after the last change and at
    // quit. Under a session manager it alone decides when to save: neither
    // then writes anything.
    void setSavesByItself(bool on) { savesByItself = on; }
    // Without a window nothing of its place and size is worth keeping.
    void setHeadless(bool on) { headless = on; }
    static constexpr int autosaveDelay = 1000;
    // Called each time the user changes a control. A plain callback: the
    // window's meta-object keeps to its slots.
    void setEditListener(std::function<void()> listener) { editListener = std::move(listener); }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    // Esc that nothing in the window took: an open list closes with its own.
    void keyPressEvent(QKeyEvent *event) override;

protected slots:
    void minimizeToTray();
    void onCreateVirtualInPort(bool on);
    void onMidiInPortChanged(int idx);
    void onMidiOutPortChanged(int idx);
    void onMidiChannelChanged(int idx);
    void onMidiClockMessagesChanged(bool on);
    void onMidiSysExChanged(bool on);
    void onMidiCC02PluginSelect(bool on);
    void updatePGAndPluginName();
    void setIsLoadingPlugin(bool is_loading);

private:
    void openChosenInput();
    void onPortsChanged();
    void showPorts();
    void updateMidiState();
    // The label's text for screen readers, which cannot see its colour.
    void updateLabelName();
    static QString virtualInputHint();
    void loadSettings();
    bool saveSettings(bool everything, bool shown = false);
    struct Choice
    {
        QString group, key, value;
    };
    // Every choice of the user's, as the settings store it.
    QList<Choice> choices() const;
    void markChanged(const char *key);
    // A hand-written number outside its range is said and replaced by the
    // default; the file keeps the user's text.
    int checkedNumber(const Profile &profile, const char *group, const char *key, int index,
                      const char *fallback, int least, int most, const QString &meaning);

    MidiIO *midiIO = nullptr;
    QPushButton *panicButton = nullptr;
    // The keys whose control the user changed since the last save: only
    // those are written, so hand-written values stay as they are.
    QSet<QString> touched;
    // Keys whose text in the file was refused; they keep it, even at a
    // session's save, until the user changes them.
    QSet<QString> refused;
    // Why the settings file could not be read or written, for the state line.
    QString settingsProblem;
    bool headless = false;
    Ui_BrantolexMainWindow *ui = nullptr;
    // The ports the user chose, present or not; what the settings keep.
    QString chosenIn, chosenOut;
    MidiStateLine *stateLine = nullptr;
    ActivityLights *lights = nullptr;
    bool labelLoading = false;
    bool savesByItself = true;
    QTimer *autosave = nullptr;
    // The choices' texts in the file, as read at start or last written.
    QHash<QString, QString> inFile;
    std::function<void()> editListener;
};
