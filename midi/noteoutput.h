#pragma once

#include "midi/messagequeue.h"
#include "midi/midisink.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <cstring>
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
    // A message goes only once due(stamp) says the input forwarded before
    // it was sent has gone out.
    template <typename Write, typename Due> bool drainSent(Write write, Due due);
    template <typename Write> bool drainSent(Write write)
    {
        return drainSent(write, [](std::uint32_t) { return true; });
    }
    // How many messages the input has forwarded: sent messages carry it.
    virtual std::uint32_t inputStamp() const { return 0; }
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
    std::uint32_t inputStamp() const override { return forwarded.load(std::memory_order_acquire); }
    void run();
    bool write(const unsigned char *bytes, std::size_t size);

    std::unique_ptr<MidiSink> sink;
    MessageQueue input;
    std::unique_ptr<unsigned char[]> scratch;
    std::size_t scratchSize;
    sem_t wakeUp;
    std::atomic<bool> stopping{false};
    std::atomic<bool> busy{false};
    std::atomic<bool> sleeping{false};
    std::atomic<std::uint32_t> forwarded{0};
    std::uint32_t written = 0; // the writer's count of forwarded messages handled
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

template <typename Write, typename Due> bool NoteOutput::drainSent(Write write, Due due)
{
    constexpr unsigned char releaseMarker = 0xFD;
    constexpr std::size_t stampSize = sizeof(std::uint32_t);
    unsigned char record[stampSize + 4];
    for (;;) {
        if (releaseFrom >= 0 && !releaseSome(write))
            return false;
        const std::size_t recordSize = sent.frontSize();
        if (recordSize == 0)
            return true;
        if (recordSize > sizeof record || recordSize <= stampSize) {
            sent.skip(); // send() makes nothing else
            continue;
        }
        sent.peek(record);
        std::uint32_t stamp;
        std::memcpy(&stamp, record, stampSize);
        if (!due(stamp))
            return true;
        const unsigned char *message = record + stampSize;
        const std::size_t size = recordSize - stampSize;
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
