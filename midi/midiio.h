#pragma once

#include <QObject>
#include <QStringList>

#include <array>
#include <atomic>
#include <bitset>
#include <mutex>
#include <vector>

#include <RtMidi.h>

#include "midi/midisink.h"

class JackWatch;
class PortPoller;
class Timer;

// The MIDI router: one input, one output, the input filter and the plug-in
// switch sequence. Setters and port operations belong to the GUI thread; the
// input callback runs on the MIDI library's thread.
class MidiIO : public QObject
{
    Q_OBJECT

public:
    static constexpr int pluginCount = 8;

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
    QString chosenMidiIn() const { return chosenIn; }
    QString chosenMidiOut() const { return chosenOut; }

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
    QString getPGAndPluginName() const;

    static void midiInCallback(double timeStamp, std::vector<unsigned char> *message,
                               void *userData);

    // Replaces the output with the given sink (taken over; null closes it).
    // The program reaches it through openMidiOut/closeMidiOut; tests hand in
    // a recorder.
    void replaceOutput(MidiSink *sink);
    // The user data handed to setCallback, for driving the callback directly.
    void *callbackUserData() const { return callbackCell; }

    // Read-only views of the router state.
    int channel() const { return midiChannel.load(); }
    bool ignoresSysex() const { return ignoreSysex.load(); }
    bool ignoresClockMessages() const { return ignoreClockMessages.load(); }
    bool translatesCC0() const { return translateCC0.load(); }
    bool loadingPlugin() const { return isLoadingPlugin.load(); }
    int currentPlugin() const { return curPlugin.load(); }
    int requestedPlugin() const { return reqPlugin.load(); }
    int currentProgram() const { return curProg.load(); }
    int requestedProgram() const { return reqProg.load(); }
    int loadingTime(int index) const;
    bool inputOpen() const { return midiIn != nullptr; }
    bool outputOpen() const;
    bool inputIsVirtual() const { return midiInVirtual; }
    // Notes forwarded and not yet released.
    int heldNoteCount() const;
    RtMidi::Api api() const { return midiApi; }

    // The display name of plug-in index 0..7, empty for any other index.
    static QString pluginName(int index);

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
    enum class Emit
    {
        None,
        Program,
        Switch,
        Loaded // a load ended without a switch or a program sent
    };
    struct Switched
    {
        Emit what = Emit::None;
        int wait = 0; // ms, for a switch
    };

    void readMidiInPorts();
    void readMidiOutPorts();
    void deleteInput();
    void dropInput();
    bool openInput(const QString &name);
    bool openOutput(const QString &name);
    void watchPorts();
    void applyPortLists(const QStringList &inputs, const QStringList &outputs);
    void followChosenPorts();
    void filter(const std::vector<unsigned char> &message);
    void forwardInput(const unsigned char *bytes, std::size_t size);
    bool forward(const unsigned char *bytes, std::size_t size);
    // The output lock is held for these.
    bool sendLocked(const MidiSink::Message *messages, std::size_t count);
    void noteSent(const unsigned char *bytes, std::size_t size);
    void releaseHeldNotesLocked();
    bool sendSelection(int plugin);
    // The switch sequence without its signals and timer start; the caller
    // holds switchMutex and finishes with finishSwitch() after releasing it.
    Switched switchPluginLocked();
    void finishSwitch(Switched done);

    RtMidiIn *midiIn = nullptr;
    MidiSink *midiOut = nullptr;
    Timer *timer = nullptr;
    std::atomic<int> midiChannel{-1};
    std::atomic<bool> ignoreClockMessages{true};
    std::atomic<bool> ignoreSysex{true};
    std::atomic<bool> isLoadingPlugin{false};
    std::atomic<bool> translateCC0{true};
    std::atomic<int> curPlugin{0};
    std::atomic<int> reqPlugin{0};
    std::atomic<int> curProg{0};
    std::atomic<int> reqProg{0};
    std::array<std::atomic<int>, pluginCount> loadingTimes{};
    MidiIO **callbackCell = nullptr;

public:
    QStringList midiInPorts;
    QStringList midiOutPorts;

private:
    RtMidi::Api midiApi = RtMidi::UNSPECIFIED;
    bool midiInVirtual = false;
    JackWatch *serverWatch = nullptr; // on JACK
    PortPoller *portPoller = nullptr; // elsewhere
    std::atomic<bool> refreshPending{false};
    QString chosenIn, chosenOut;
    // The ports the handles are connected to (none for the virtual input).
    QString inSource, outTarget;
    // Held for a send or for swapping the output handle, nothing longer;
    // guards the held notes too.
    mutable std::mutex outMutex;
    // Channel x key of the notes sent to midiOut that are still sounding.
    std::bitset<16 * 128> heldNotes;
    // Bank Select / Program Change handling against the end of a load.
    std::mutex switchMutex;
};
