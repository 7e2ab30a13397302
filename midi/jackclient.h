#pragma once

#include "midi/noteoutput.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <pthread.h>

// The router on JACK: one client with the input and the output port. Its
// process cycle writes what other threads sent, then hands each input event
// to the router, which forwards what it routes into the same cycle at the
// event's own frame. What does not fit waits, in order, for the next cycles;
// a sysex larger than one event goes out in pieces.
class JackClient : public NoteOutput
{
public:
    // Runs on JACK's real-time thread, once per input event.
    using InputHandler = void (*)(void *user, const unsigned char *bytes, std::size_t size,
                                  std::uint32_t frame);

    // Null when there is no server (or no slot on it). portsChanged runs on
    // JACK's notification thread when a port comes, goes or is renamed.
    // lost is set when the server goes away.
    static std::unique_ptr<JackClient> open(InputHandler input, void *user,
                                            std::function<void()> portsChanged,
                                            std::atomic<bool> *lost);
    // libjack's threads of a client whose server went away may still run,
    // and closing it would reach into the dead server's memory: such a
    // client is kept, untouched, for the rest of the process.
    static void dispose(std::unique_ptr<JackClient> client);
    ~JackClient() override;

    bool serverGone() const { return gone.load(std::memory_order_acquire); }
    // No portsChanged call starts after this returns.
    void silence();

    // The MIDI ports that send (sources) or receive, in the server's order,
    // without the client's own.
    std::vector<std::string> midiPorts(bool sources) const;
    // Ports registered since the last call, by name: a chosen port that went
    // and came back between two looks is among them.
    std::vector<std::string> takeAppeared();

    // The input from the named port, or, for an empty name, as the virtual
    // input that others connect to. False when the connection failed.
    bool connectInput(const std::string &source);
    void disconnectInput();
    bool connectOutput(const std::string &destination);
    void disconnectOutput();
    // Connects again what a reappeared port lost.
    bool relinkInput();
    bool relink() override;

    bool forward(const unsigned char *bytes, std::size_t size, std::uint32_t frame) override;
    void drain() override;

private:
    JackClient(std::size_t queueBytes);
    static int process(std::uint32_t frames, void *self);
    bool writeNow(const unsigned char *bytes, std::size_t size);
    bool takeBacklogRoom(std::size_t size);
    void drainBacklog();
    std::uint32_t inputStamp() const override { return carriedIn.load(std::memory_order_acquire); }
    bool connect(void *from, void *to, const std::string &other, bool otherIsSource);
    void waitCycles(std::uint64_t count);

    void *client = nullptr;
    // Swapped under the cycle when the input changes its name.
    std::atomic<void *> inPort{nullptr};
    void *outPort = nullptr;
    InputHandler input = nullptr;
    void *user = nullptr;
    std::atomic<bool> gone{false};
    std::atomic<bool> *lost = nullptr;
    std::atomic<std::uint64_t> cycles{0};

    // The GUI thread's: what the ports are connected to.
    std::string source, destination;
    bool virtualInput = false;

    std::mutex notifyMutex;
    std::function<void()> portsChanged;
    std::vector<std::string> appeared;

    // The cycle's own.
    void *buffer = nullptr;
    std::uint32_t lastFrame = 0;
    pthread_t cycleThread{};
    std::atomic<bool> inCycle{false};
    std::size_t largest = 0;
    std::size_t backlogRoom = 0, backlogStart = 0; // of this cycle, for what waited
    MessageQueue carried;
    std::atomic<std::uint32_t> carriedIn{0}; // messages that went into carried
    std::uint32_t carriedOut = 0;            // and those that left it
    std::unique_ptr<unsigned char[]> piece;
    std::size_t pieceSize = 0, pieceDone = 0;
    const std::size_t pieceCapacity;
};
