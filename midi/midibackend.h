#pragma once

#include "midi/noteoutput.h"

#include <QStringList>

#include <RtMidi.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>

// One MIDI system as the router's ports use it: JACK, the ALSA sequencer,
// or RtMidi for the rest. The GUI thread's, but for the hooks, which run on
// the system's threads.
class MidiBackend
{
public:
    // Runs on the system's input thread for each message it brings.
    using InputHandler = void (*)(void *user, const unsigned char *bytes, std::size_t size,
                                  std::uint32_t frame);
    struct Hooks
    {
        InputHandler input = nullptr;
        void *user = nullptr;
        // For RtMidi's own input thread, which calls back in its own way.
        RtMidiIn::RtMidiCallback callback = nullptr;
        void *callbackUser = nullptr;
        // Runs on a thread of the system's when ports come, go or change.
        std::function<void()> portsChanged;
        // Set on the system's thread when the system went away; then
        // lostNow runs there, as in a signal handler (it only wakes).
        std::atomic<bool> *lost = nullptr;
        std::function<void()> lostNow;
        // Counted when the system dropped input the reader could not hold.
        std::atomic<std::uint32_t> *overruns = nullptr;
    };

    // Null when the system cannot be reached now.
    static std::unique_ptr<MidiBackend> open(RtMidi::Api api, const Hooks &hooks);
    virtual ~MidiBackend() = default;

    // No portsChanged hook starts after this returns.
    virtual void silence() = 0;
    // The ports of others, and those that started since the last call (a
    // chosen port that went and came back between two looks is among them).
    virtual void listPorts(QStringList &inputs, QStringList &outputs, QStringList &appeared) = 0;
    // The named source, or the virtual input for an empty name.
    virtual bool openInput(const QString &name) = 0;
    // Cuts the source off: nothing more of it arrives once this returns.
    virtual void closeInput() = 0;
    // Connects again to a source that went and came back.
    virtual bool relinkInput() = 0;
    // The output to the named port, the back-end's until closeOutput; the
    // router must have no output open.
    virtual NoteOutput *openOutput(const QString &name) = 0;
    // Lets what was queued go out, then disconnects: once each. The input
    // no longer reaches the output.
    virtual void closeOutput() = 0;
    // The system went away under the router (a JACK server's end).
    virtual bool gone() const { return false; }
    // True once when the client has not run since it started while the
    // system runs: it never will, and is opened again.
    virtual bool stalled() { return false; }
    virtual bool hasRun() const { return true; }
};
