#pragma once

#include <QMainWindow>

#include <functional>

class ActivityLights;
class MidiIO;
class MidiStateLine;
class Ui_BrantolexMainWindow;

// The program's only window. It owns the MIDI router, restores the user's
// choices into its controls and hands them to the router, turns each change
// of a control into one router call, and shows the router's plug-in and
// program in red while the unit loads, and says in a lasting line what
// keeps MIDI from flowing. Saving happens in the destructor.
class BrantolexMainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit BrantolexMainWindow(QWidget *parent = nullptr);
    ~BrantolexMainWindow() override;

    MidiIO *router() const { return midiIO; }
    Ui_BrantolexMainWindow *form() const { return ui; }
    MidiStateLine *midiStateLine() const { return stateLine; }
    ActivityLights *activityLights() const { return lights; }

    // Writes every choice now, changed or not, so that the file holds the
    // whole state; false when it could not be written.
    bool saveAllSettings();
    // Under a session manager it alone decides when to save: quitting then
    // writes nothing.
    void setSavesOnQuit(bool on) { savesOnQuit = on; }
    // Called each time the user changes a control. A plain callback: the
    // window's meta-object keeps to its slots.
    void setEditListener(std::function<void()> listener) { editListener = std::move(listener); }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

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
    bool saveSettings(bool everything);
    void markChanged();

    MidiIO *midiIO = nullptr;
    // Set by the seven control slots only; without it an exit leaves the
    // MIDI and plug-in values in the file exactly as they were.
    bool settingsChanged = false;
    Ui_BrantolexMainWindow *ui = nullptr;
    // The ports the user chose, present or not; what the settings keep.
    QString chosenIn, chosenOut;
    MidiStateLine *stateLine = nullptr;
    ActivityLights *lights = nullptr;
    bool labelLoading = false;
    bool savesOnQuit = true;
    std::function<void()> editListener;
};
