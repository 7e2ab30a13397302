#pragma once

#include "midi/messagequeue.h"
#include "midi/midisink.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

// The router's output on JACK: its own client and port, fed through a queue
// that the port's process cycle drains in order, as far as the port buffer
// takes it. What does not fit waits for the next cycles instead of being
// dropped, and a send never waits for the server.
class JackMidiSink : public MidiSink
{
public:
    // Opens the client, registers the port and connects it to the named
    // port; null, with the reason on stderr, when any step fails.
    static std::unique_ptr<JackMidiSink> open(const std::string &clientName,
                                              const std::string &portName,
                                              const std::string &destination);
    ~JackMidiSink() override;

    bool sendMessage(const unsigned char *bytes, std::size_t size) override;
    bool sendMessages(const Message *messages, std::size_t count) override;

    bool serverGone() const { return gone.load(std::memory_order_acquire); }
    // Connects the port to its destination again if it is not (a
    // destination that went and came back has lost the connection).
    bool relink();
    // The largest message the port takes, 0 until its first cycle ran.
    std::size_t largestMessage() const { return largestEvent.load(std::memory_order_relaxed); }

    // How long closing waits for queued messages (Note Offs above all) to
    // reach the port.
    static constexpr int drainTimeoutMs = 250;

private:
    JackMidiSink() = default;
    static int process(std::uint32_t frames, void *self);
    bool admit(std::size_t size);
    void reportDrop(const char *why);

    void *client = nullptr;
    std::string destination;
    bool connected = false; // closing drains the queue first
    void *port = nullptr;
    std::unique_ptr<MessageQueue> queue;
    std::atomic<bool> gone{false};
    std::atomic<std::uint64_t> cycles{0};
    // The largest event the port takes in an empty cycle, once a cycle ran.
    std::atomic<std::size_t> largestEvent{0};
    // Messages the cycle had to pass over before largestEvent was known.
    std::atomic<std::uint32_t> oversized{0};
    // Sending side only (serialised by the router's output lock).
    bool dropping = false;
};
