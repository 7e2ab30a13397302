#pragma once

#include "midi/messagequeue.h"
#include "midi/midisink.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

#include <semaphore.h>

// What goes to the unit. Two sides feed it: other threads send() composed
// messages (whole batches or nothing, serialised by a lock), and the input
// stage forward()s what it routes, without locks. One thread of the output
// alone writes the port: it keeps the table of held notes and releases
// them when asked, in order with what was sent before the request.
class NoteOutput
{
public:
    using Message = MidiSink::Message;

    explicit NoteOutput(std::size_t queueBytes);
    virtual ~NoteOutput();
    NoteOutput(const NoteOutput &) = delete;
    NoteOutput &operator=(const NoteOutput &) = delete;

    // Not for real-time threads. False when not taken (queue full, output gone).
    bool send(const Message *messages, std::size_t count);
    bool send(const unsigned char *bytes, std::size_t size)
    {
        const Message message{bytes, size};
        return send(&message, 1);
    }
    // A Note Off for each held note, after everything sent before.
    bool releaseHeldNotes();
    // Waits (bounded) until what was sent has gone out.
    virtual void drain() = 0;
    // Connects again to a destination that went and came back.
    virtual bool relink() { return true; }

    // The input stage's side: real-time safe. frame is the message's place
    // in the current cycle where the input has cycles.
    virtual bool forward(const unsigned char *bytes, std::size_t size, std::uint32_t frame) = 0;

    // The routed channel: a Note On from another one passed the check just
    // before a change, and its Note Off would never be routed.
    void setChannel(int channel) { routed.store(channel, std::memory_order_relaxed); }
    int heldNoteCount() const;
    // The held notes leave with an output that went away, and are released
    // on the next one (the same unit back again, most often).
    using HeldTable = std::array<std::uint64_t, 16 * 128 / 64>;
    HeldTable takeHeld();
    void adoptHeld(const HeldTable &notes);

    // Messages dropped because a queue was full, since the last call.
    std::uint32_t takeDropped() { return dropped.exchange(0, std::memory_order_relaxed); }

protected:
    // The writing thread's part. write(bytes, size) returns false when the
    // port takes no more now; what was not written waits for the next call.
    template <typename Write> bool drainSent(Write write);
    // Whether a message may go (and notes it as held or released).
    bool admit(const unsigned char *bytes, std::size_t size);
    void countDrop() { dropped.fetch_add(1, std::memory_order_relaxed); }
    virtual void wake() {}
    virtual bool accepting() const { return true; }

    MessageQueue sent;

private:
    template <typename Write> bool releaseSome(Write write);

    std::mutex sendMutex;
    std::array<std::atomic<std::uint64_t>, 16 * 128 / 64> held{};
    std::atomic<int> routed{-1};
    std::atomic<std::uint32_t> dropped{0};
    // Writing thread only: a release in progress, from this note on.
    int releaseFrom = -1;
};

// The output on MIDI systems whose sends may block: a writer thread of its
// own drains both sides into a sink, so neither the input nor the window
// ever waits for a stalled receiver.
class ThreadedOutput : public NoteOutput
{
public:
    explicit ThreadedOutput(std::unique_ptr<MidiSink> sink, std::size_t queueBytes = 1u << 20);
    ~ThreadedOutput() override;

    bool forward(const unsigned char *bytes, std::size_t size, std::uint32_t frame) override;
    void drain() override;
    bool relink() override { return sink->relink(); }

private:
    void wake() override;
    bool accepting() const override;
    void run();
    bool write(const unsigned char *bytes, std::size_t size);

    std::unique_ptr<MidiSink> sink;
    MessageQueue input;
    std::unique_ptr<unsigned char[]> scratch;
    std::size_t scratchSize;
    sem_t wakeUp;
    std::atomic<bool> stopping{false};
    std::atomic<bool> busy{false};
    bool failing = false;
    std::thread writer;
};

template <typename Write> bool NoteOutput::releaseSome(Write write)
{
    for (; releaseFrom < 16 * 128; ++releaseFrom) {
        const int word = releaseFrom / 64;
        const std::uint64_t bit = std::uint64_t(1) << (releaseFrom % 64);
        if (!(held[word].load(std::memory_order_relaxed) & bit))
            continue;
        const unsigned char off[3] = {static_cast<unsigned char>(0x80 | releaseFrom / 128),
                                      static_cast<unsigned char>(releaseFrom % 128), 0};
        if (!write(off, sizeof off))
            return false;
        held[word].fetch_and(~bit, std::memory_order_relaxed);
    }
    releaseFrom = -1;
    return true;
}

template <typename Write> bool NoteOutput::drainSent(Write write)
{
    constexpr unsigned char releaseMarker = 0xFD;
    unsigned char message[4];
    for (;;) {
        if (releaseFrom >= 0 && !releaseSome(write))
            return false;
        const std::size_t size = sent.frontSize();
        if (size == 0)
            return true;
        if (size > sizeof message) {
            sent.skip(); // send() takes nothing larger
            continue;
        }
        sent.peek(message);
        if (size == 1 && message[0] == releaseMarker) {
            sent.skip();
            releaseFrom = 0;
            continue;
        }
        // A port that is full now takes the rest, in order, later.
        if (admit(message, size) && !write(message, size))
            return false;
        sent.skip();
    }
}
