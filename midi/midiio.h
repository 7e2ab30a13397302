#pragma once

#include <QObject>
#include <QStringList>

#include <atomic>
#include <memory>
#include <vector>

#include <RtMidi.h>

#include "midi/activity.h"
#include "midi/midiports.h"
#include "midi/midisink.h"
#include "midi/pluginswitch.h"
#include "midi/routerworker.h"

// The MIDI router: one input, one output, the input filter and the plug-in
// switch. Setters and port operations belong to the GUI thread. The input
// runs on the MIDI system's thread (JACK's process cycle on JACK) and only
// routes: the switch, its loading deadline and the diagnostics belong to a
// worker thread, which never waits for the GUI thread.
class MidiIO : public QObject
{
    Q_OBJECT

public:
    static constexpr int pluginCount = PluginSwitch::pluginCount;

    MidiIO();
    ~MidiIO() override;

    bool openMidiIn(int index, bool createVirtual);
    bool openMidiOut(int index);
    bool closeMidiIn();
    bool closeMidiOut();

    // The port the user chose, present or not. It is opened now if it is
    // there, and again whenever it comes back after going away; false when
    // it is not open now.
    bool openMidiInNamed(const QString &name);
    bool openMidiOutNamed(const QString &name);
    // The chosen ports; empty for none (and for the virtual input).
    QString chosenMidiIn() const { return ports->chosenIn(); }
    QString chosenMidiOut() const { return ports->chosenOut(); }

    void setMidiChannel(int channel);
    void setTranslateCC0(bool on);
    void setIgnoreSysex(bool ignore);
    void setIgnoreClockMessages(bool ignore);
    void setLoadingTimes(int t0, int t1, int t2, int t3, int t4, int t5, int t6, int t7);

    // False when the output refused the message (no output is no refusal).
    bool sendMidiMessage(unsigned char type, unsigned char channel, unsigned char data1,
                         unsigned char data2);
    bool sendProgramChange(unsigned char program);
    // Note Offs for the notes held at the unit, then Sustain off, All Sound
    // Off and All Notes Off on every channel, after what went before. False
    // when no output took it.
    bool panic();
    QString getPGAndPluginName() const { return plugins.label(); }

    static void midiInCallback(double timeStamp, std::vector<unsigned char> *message,
                               void *userData);

    // Replaces the output with the given sink (taken over; null closes it).
    // The program reaches it through openMidiOut/closeMidiOut; tests hand in
    // a recorder.
    void replaceOutput(MidiSink *sink);
    // The user data handed to setCallback, for driving the callback directly.
    void *callbackUserData() const { return callbackCell; }
    // Waits (bounded) until what the input brought so far has been handled
    // and sent.
    void settle();

    // Read-only views of the router state.
    int channel() const { return midiChannel.load(); }
    bool ignoresSysex() const { return ignoreSysex.load(); }
    bool ignoresClockMessages() const { return ignoreClockMessages.load(); }
    bool translatesCC0() const { return translateCC0.load(); }
    bool loadingPlugin() const { return plugins.loading(); }
    // False until a selection of currentPlugin() has reached the unit, and
    // again once the unit's port went: the label shows it unconfirmed.
    bool pluginKnown() const { return plugins.known(); }
    int currentPlugin() const { return plugins.currentPlugin(); }
    int requestedPlugin() const { return plugins.requestedPlugin(); }
    int currentProgram() const { return plugins.currentProgram(); }
    int requestedProgram() const { return plugins.requestedProgram(); }
    int loadingTime(int index) const;
    bool inputOpen() const { return ports->inputOpen(); }
    bool outputOpen() const { return ports->outputOpen(); }
    // The output is open and connected to a receiver; systemChanged() tells
    // when this changes.
    bool outputConnected() const { return ports->outputConnected(); }
    bool inputIsVirtual() const { return ports->inputIsVirtual(); }
    // Notes forwarded and not yet released.
    int heldNoteCount() const { return ports->heldNoteCount(); }
    RtMidi::Api api() const { return ports->api(); }
    // Counts of what passed, for the window's lights.
    const Activity &activity() const { return counters; }

    // The display name of plug-in index 0..7, empty for any other index.
    static QString pluginName(int index) { return PluginSwitch::pluginName(index); }

    // The MIDI system routers made from now on use: "alsa", "jack", or empty
    // for the platform's order (the ALSA sequencer where there is one).
    // False for a name that is not one of these.
    static bool setPreferredSystem(const QString &system);
    static QString preferredSystem();
    // The system in use ("ALSA", "JACK", ...), empty for none.
    QString systemName() const { return ports->systemName(); }
    // Empty while the MIDI system is there; otherwise one line for the user,
    // such as "JACK server stopped" or "No MIDI system found".
    QString systemProblem() const { return ports->systemProblem(); }

    // Empty while the MIDI threads got real-time scheduling (or none has
    // started yet); otherwise one line for the user with what fixes it.
    static QString schedulingProblem();

signals:
    // These three come from the router's worker thread.
    void pluginChanged();
    void programmChanged();
    void setIsLoadingPlugin(bool is_loading);
    // The port lists changed (midiInPorts, midiOutPorts).
    void portsChanged();
    // A chosen port went away and was closed, or came back and was opened.
    void portLost(const QString &name);
    void portReconnected(const QString &name);
    // systemProblem() or schedulingProblem() changed; any thread.
    void systemChanged();

public slots:
    // Reads the port lists again now; the port watch calls it on news.
    void refreshPorts();

private:
    static void onInput(void *self, const unsigned char *bytes, std::size_t size,
                        std::uint32_t frame);
    void route(const unsigned char *bytes, std::size_t size, std::uint32_t frame);
    void ask(unsigned what);
    void forgetUnit();
    // The worker's.
    void onNews(unsigned what);
    void onWorkerEvent(const RouterWorker::Event &event);
    void switchPlugin();
    void sendCurProgChange();
    bool send(const MidiSink::Message *messages, std::size_t count);
    // The input's: counts what it forwards.
    bool forward(const unsigned char *bytes, std::size_t size, std::uint32_t frame);
    void finish(PluginSwitch::Step step);
    void tellScheduling();

    PluginSwitch plugins;
    PluginSwitch::Unit unit;
    std::atomic<unsigned> news{0};
    std::atomic<int> refusedProgram{0};
    std::atomic<int> midiChannel{-1};
    std::atomic<bool> ignoreClockMessages{true};
    std::atomic<bool> ignoreSysex{true};
    std::atomic<bool> translateCC0{true};
    bool inSysex = false; // the input thread's
    MidiIO **callbackCell = nullptr;

public:
    QStringList midiInPorts;
    QStringList midiOutPorts;

private:
    std::unique_ptr<RouterWorker> worker;
    // Made last and gone first: it reaches the worker and the lists.
    std::unique_ptr<MidiPorts> ports;
    std::atomic<MidiPorts *> ticked{nullptr}; // the worker's view, once the ports are there
    std::atomic<bool> closing{false};
    bool schedulingSaid = false; // the worker's
    std::atomic<int> routing{0}; // input messages being routed now
    Activity counters;
};
