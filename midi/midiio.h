#pragma once

#include <QObject>
#include <QStringList>

#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

#include <RtMidi.h>

#include "midi/midisink.h"
#include "midi/noteoutput.h"
#include "midi/pluginswitch.h"
#include "midi/portfollower.h"

namespace AlsaSequencer {
class Input;
class Watch;
} // namespace AlsaSequencer
class JackClient;
class PortPoller;
class RouterWorker;
class Timer;

// The MIDI router: one input, one output, the input filter and the plug-in
// switch. Setters and port operations belong to the GUI thread. The input
// runs on the MIDI system's thread (JACK's process cycle on JACK) and only
// routes: the switch, its waits and the diagnostics run on a worker.
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
    QString chosenMidiIn() const { return in.chosen; }
    QString chosenMidiOut() const { return out.chosen; }

    void setMidiChannel(int channel);
    void setTranslateCC0(bool on);
    void setIgnoreSysex(bool ignore);
    void setIgnoreClockMessages(bool ignore);
    void setLoadingTimes(int t0, int t1, int t2, int t3, int t4, int t5, int t6, int t7);

    // False when the output refused the message (no output is no refusal).
    bool sendMidiMessage(unsigned char type, unsigned char channel, unsigned char data1,
                         unsigned char data2);
    bool sendProgramChange(unsigned char program);
    void switchPlugin();
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
    int currentPlugin() const { return plugins.currentPlugin(); }
    int requestedPlugin() const { return plugins.requestedPlugin(); }
    int currentProgram() const { return plugins.currentProgram(); }
    int requestedProgram() const { return plugins.requestedProgram(); }
    int loadingTime(int index) const;
    bool inputOpen() const { return inIsOpen; }
    bool outputOpen() const { return outIsOpen; }
    bool inputIsVirtual() const { return midiInVirtual; }
    // Notes forwarded and not yet released.
    int heldNoteCount() const;
    RtMidi::Api api() const { return midiApi; }

    // The display name of plug-in index 0..7, empty for any other index.
    static QString pluginName(int index) { return PluginSwitch::pluginName(index); }

    // The MIDI system routers made from now on use: "alsa", "jack", or empty
    // for the platform's order (the ALSA sequencer where there is one).
    // False for a name that is not one of these.
    static bool setPreferredSystem(const QString &system);
    static QString preferredSystem();
    // The system in use ("ALSA", "JACK", ...), empty for none.
    QString systemName() const;
    // Empty while the MIDI system is there; otherwise one line for the user,
    // such as "JACK server stopped" or "No MIDI system found".
    QString systemProblem() const;

signals:
    void pluginChanged();
    void programmChanged();
    void setIsLoadingPlugin(bool is_loading);
    // The port lists changed (midiInPorts, midiOutPorts).
    void portsChanged();
    // A chosen port went away and was closed, or came back and was opened.
    void portLost(const QString &name);
    void portReconnected(const QString &name);
    // systemProblem() changed.
    void systemChanged();

public slots:
    void sendCurProgChange();
    // Reads the port lists again now; the port watch calls it on news.
    void refreshPorts();

private:
    static void onInput(void *self, const unsigned char *bytes, std::size_t size,
                        std::uint32_t frame);
    void route(const unsigned char *bytes, std::size_t size, std::uint32_t frame);
    bool forwardOut(const unsigned char *bytes, std::size_t size, std::uint32_t frame);
    void onWorkerEvent(int event, int value);
    void onTick();
    void reportDrops();
    bool send(const MidiSink::Message *messages, std::size_t count);
    void releaseHeldNotes();
    void finish(PluginSwitch::Step step);

    bool startSystem();
    void checkSystem();
    void watchPorts();
    void applyPortLists(const QStringList &inputs, const QStringList &outputs,
                        const QStringList &appeared);
    void followPorts(const QStringList &appeared);
    bool openInput(const QString &name);
    void dropInput();
    bool openOutput(const QString &name);
    void setOutput(std::unique_ptr<NoteOutput> owned, NoteOutput *output);
    void dropOutput(bool lost);

    PluginSwitch plugins;
    std::unique_ptr<RouterWorker> worker;
    Timer *timer = nullptr;
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
    RtMidi::Api midiApi = RtMidi::UNSPECIFIED;
    std::unique_ptr<JackClient> jack;
    std::unique_ptr<RtMidiIn> midiIn;
    std::unique_ptr<AlsaSequencer::Watch> alsaWatch;
    std::unique_ptr<AlsaSequencer::Input> alsaIn;
    bool midiInVirtual = false;
    bool wantVirtual = false; // the user's choice, kept while the system is away
    bool inIsOpen = false, outIsOpen = false;
    FollowedPort in, out;
    // The input reads the output without a lock: it counts itself in, and
    // an output is deleted only once it is out of the input's reach.
    std::atomic<NoteOutput *> output{nullptr};
    std::atomic<int> outputUsers{0};
    std::unique_ptr<NoteOutput> ownedOutput;
    // Serialises composed sends against replacing the output.
    mutable std::mutex outMutex;
    NoteOutput::HeldTable lostHeld{};
    PortPoller *portPoller = nullptr;
    std::atomic<bool> systemLost{false}, searching{false};
    unsigned ticksSearching = 0; // the worker's
    bool systemGone = false;
    std::atomic<bool> refreshPending{false};
    std::uint32_t dropsInEpisode = 0;
};
