#pragma once

#include "midi/midibackend.h"
#include "midi/midisink.h"
#include "midi/noteoutput.h"
#include "midi/portfollower.h"

#include <QHash>
#include <QObject>
#include <QStringList>

#include <RtMidi.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

// The router's ports: the MIDI system chosen and looked for again when it
// is missing or stopped, the input and the output opened by name and
// followed as ports come and go, whichever system it is (see MidiBackend).
// The GUI thread's, but for forward() (the input's, lock-free) and the
// sends (any thread but the input's).
class MidiPorts : public QObject
{
    Q_OBJECT

public:
    using InputHandler = MidiBackend::InputHandler;
    // The lists are the router's, kept up to date here.
    // wake: lets the worker know at once that the system went (any thread,
    // as in a signal handler).
    MidiPorts(QStringList &inputs, QStringList &outputs, InputHandler input, void *user,
              RtMidiIn::RtMidiCallback callback, void *callbackUser, std::function<void()> wake);
    // Closes both ports; no input arrives once this returns.
    ~MidiPorts() override;

    bool openMidiIn(int index, bool createVirtual);
    bool openMidiInNamed(const QString &name);
    bool closeMidiIn();
    bool openMidiOut(int index);
    bool openMidiOutNamed(const QString &name);
    bool closeMidiOut();
    void replaceOutput(MidiSink *sink);
    void refreshPorts();

    QString chosenIn() const { return in.chosen; }
    QString chosenOut() const { return out.chosen; }
    bool inputOpen() const { return inIsOpen; }
    bool outputOpen() const { return outIsOpen; }
    // The output is open and its port connected to a receiver. A
    // connection removed from outside (a patchbay) is not made again here:
    // it is said on stderr and systemChanged() is emitted when this changes.
    bool outputConnected() const { return outIsOpen && outLinked; }
    // Any thread's: whether what is sent now reaches a receiver.
    bool reachesUnit() const
    {
        std::lock_guard<std::mutex> lock(outMutex);
        NoteOutput *current = output.load();
        return current && current->linked();
    }
    bool inputIsVirtual() const { return midiInVirtual; }
    RtMidi::Api api() const { return backend ? wantedApi : RtMidi::UNSPECIFIED; }
    QString systemName() const;
    QString systemProblem() const;

    // The input's: lock-free. No output is no refusal.
    bool forward(const unsigned char *bytes, std::size_t size, std::uint32_t frame)
    {
        outputUsers.fetch_add(1);
        NoteOutput *current = output.load();
        const bool taken = !current || current->forward(bytes, size, frame);
        outputUsers.fetch_sub(1);
        return taken;
    }
    // Any other thread's.
    bool send(const MidiSink::Message *messages, std::size_t count);
    void releaseHeldNotes();
    bool panic();
    // Tests: runs as an input is cut off, where its source may still bring
    // one more message.
    static std::function<void()> cuttingOffInput;
    void setChannel(int channel);
    int heldNoteCount() const;
    void drain();
    // The worker's, a few times a second: looks for the system again when
    // needed, reports drops once an episode.
    void tick();
    // The worker's, when woken: a system that went is closed now, not at
    // the next tick.
    void lookAtSystem();
    // Whether the system is looked for at every tick now (it went lately).
    bool lookingQuickly() const { return searching.load() && quickLooks.load() > 0; }

signals:
    void portsChanged();
    void portLost(const QString &name);
    void portReconnected(const QString &name);
    void systemChanged();

private:
    bool startSystem();
    void checkSystem();
    // Opens the client again when it never ran.
    void restartSystem();
    void systemBack();
    void closeSystem();
    void notifyPorts();
    void applyPortLists(const QStringList &inputs, const QStringList &outputs,
                        const QStringList &appeared);
    void followPorts(const QStringList &appeared);
    void followLink();
    void queueCheck();
    bool isOpenOn(const FollowedPort &port, const QStringList &list, const QString &name) const;
    bool openInput(const QString &name);
    void dropInput();
    void cutOffInput();
    bool openOutput(const QString &name);
    void attachOutput(NoteOutput *next);
    void detachOutput();
    void dropOutput(bool lost);
    void reportDrops();

    QStringList &midiInPorts;
    QStringList &midiOutPorts;
    MidiBackend::Hooks hooks;

    const RtMidi::Api wantedApi; // picked once: a system that goes is waited for
    std::unique_ptr<MidiBackend> backend;
    bool midiInVirtual = false;
    bool wantVirtual = false; // the user's choice, kept while the system is away
    bool inIsOpen = false, outIsOpen = false;
    bool outLinked = false; // as last said
    unsigned linksSeen = 0; // the output's count of connections made, at the last look
    FollowedPort in, out;
    int channel = -1;
    // The input reads the output without a lock: it counts itself in, and
    // an output is deleted only once it is out of the input's reach.
    std::atomic<NoteOutput *> output{nullptr};
    std::atomic<int> outputUsers{0};
    std::unique_ptr<NoteOutput> handedIn; // a sink handed in, no port of the system's
    // Serialises composed sends against replacing the output.
    mutable std::mutex outMutex;
    // Notes left sounding at a unit whose port went away, by the chosen
    // port: released there when it is back, never on another.
    QHash<QString, NoteOutput::HeldTable> owed;
    bool systemGone = false;
    bool stallSaid = false;
    std::atomic<bool> systemLost{false}, searching{false};
    std::atomic<bool> refreshPending{false};
    std::atomic<bool> checkPending{false};
    std::atomic<int> quickLooks{0};
    unsigned ticksSearching = 0;      // the worker's
    unsigned ticksWatching = 0;       // the worker's
    std::uint32_t dropsInEpisode = 0; // the worker's
    std::atomic<std::uint32_t> inputOverruns{0};
    bool overrunning = false; // the worker's
    unsigned doubtsSeen = 0;  // the worker's
};
