#pragma once

#include "midi/jackoutput.h"
#include "midi/midibackend.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

// The router on JACK: one client with the input and the output port. Its
// process cycle runs the output (see JackOutput), then hands each input
// event to the router, which forwards what it routes into the same cycle at
// the event's own frame.
class JackClient : public MidiBackend
{
public:
    // Null when there is no server (or no slot on it). The input hook runs
    // on JACK's real-time thread, once per input event; portsChanged on
    // JACK's notification thread when a port comes, goes or is renamed;
    // lost is set when the server goes away.
    static std::unique_ptr<JackClient> open(const Hooks &hooks);
    // Also closes a client whose server went away: libjack ends its threads
    // then, and frees what it holds of the dead server.
    ~JackClient() override;
    // Whether such a close, or an open, hung in the library and was left:
    // the library's own teardown at exit would hang on it too.
    static bool closeLeftHanging();

    bool serverGone() const { return ended.load(std::memory_order_acquire); }
    void silence() override;
    // True once, when the server runs but this client's cycle has not run
    // for a while after it was activated: such a client never will.
    bool neverCycled(std::chrono::milliseconds after);
    bool hasCycled() const { return out->cycles() != 0; }

    void listPorts(QStringList &inputs, QStringList &outputs, QStringList &appeared) override;
    bool openInput(const QString &name) override;
    void closeInput() override { disconnectInput(); }
    bool relinkInput() override;
    NoteOutput *openOutput(const QString &name) override;
    void closeOutput() override { disconnectOutput(); }
    bool gone() const override { return serverGone(); }
    bool stalled() override { return neverCycled(std::chrono::seconds(2)); }
    bool hasRun() const override { return hasCycled(); }

    NoteOutput *output() { return out.get(); }

    // The MIDI ports that send (sources) or receive, in the server's order,
    // without the client's own.
    std::vector<std::string> midiPorts(bool sources) const;
    // Ports registered since the last call, by name: a chosen port that went
    // and came back between two looks is among them.
    std::vector<std::string> takeAppeared();

    // The input from the named port, or, for an empty name, as the virtual
    // input that others connect to. False when the connection failed.
    bool connectInput(const std::string &source);
    // Stops the input. When this returns, the cycle brings nothing more from
    // the source it had.
    void disconnectInput();
    bool connectOutput(const std::string &destination);
    void disconnectOutput();
    // Connects again what a reappeared output port lost.
    bool relinkOutput();

private:
    // JACK's notification thread's, when the server went.
    void serverEnded();
    std::string refusedPort; // the last port a connection was refused to, said once
    JackClient() = default;
    static int process(std::uint32_t frames, void *self);
    bool connect(void *own, const std::string &other, bool otherIsSource);
    void nameForPatchbays(void *port);
    void waitCycles(std::uint64_t count);
    void receiverLinked(void *port, bool connected);
    bool linkOutput();

    void *client = nullptr;
    // Swapped under the cycle when the input changes its name.
    std::atomic<void *> inPort{nullptr};
    void *outPort = nullptr;
    std::unique_ptr<JackOutput> out;
    InputHandler input = nullptr;
    void *user = nullptr;
    std::atomic<bool> listening{false};
    std::atomic<bool> ended{false};
    std::atomic<bool> *lost = nullptr;
    std::function<void()> wakeWorker;
    std::chrono::steady_clock::time_point activated;
    std::uint32_t activatedAtFrame = 0; // the server's clock then
    bool stallReported = false;

    // The GUI thread's: what the ports are connected to.
    std::string source, destination;
    bool virtualInput = false;

    std::mutex notifyMutex;
    std::function<void()> portsChanged;
    std::vector<std::string> appeared;
    std::vector<std::string> departed; // gone, and maybe still listed
    std::vector<void *> receivers;     // what the output is connected to
};
