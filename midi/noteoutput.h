#pragma once

#include "midi/messagequeue.h"
#include "midi/midisink.h"

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

#include <semaphore.h>

// What goes to the unit. Two sides feed it: other threads send() composed
// messages and release commands (whole batches or nothing, serialised by a
// lock), and the input stage forward()s what it routes, without locks. One
// thread of the output alone writes the port. It keeps the table of notes
// sounding at the unit: a note is held once its Note On was written while
// the port reached a receiver, and let go once its Note Off was. A release
// writes a Note Off for each, in order with what came before it.
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
    // A Note Off for each held note, after everything sent and forwarded
    // before; nothing sent or forwarded later goes ahead of them.
    bool releaseHeldNotes();
    // The same release, then on every channel Sustain off, All Sound Off
    // and All Notes Off: for notes something else left sounding.
    bool panic();
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
    // The notes sounding at a unit whose port went away leave with it, and
    // are released when that port is back.
    // With them go the notes whose Note Off may not have reached it: those
    // released in the port's last moments (see releasedLately).
    using HeldTable = std::array<std::uint64_t, 16 * 128 / 64>;
    HeldTable takeHeld();
    void adoptHeld(const HeldTable &notes);
    // The port is back before anyone looked: the notes released lately
    // count as held again, before it is connected again and released.
    void foldReleasedLately();

    // Messages dropped because a queue was full, since the last call.
    std::uint32_t takeDropped() { return dropped.exchange(0, std::memory_order_relaxed); }

    // New links that the MIDI system's failing cycles kept from proving
    // they carry, so far.
    virtual unsigned doubtedLinks() const { return 0; }
    // Whether the port is connected to a receiver now; asked off the
    // real-time threads.
    virtual bool linked() const { return true; }
    // How many connections were made to the port so far: one made and cut
    // again between two looks still counts.
    unsigned linksMade() const { return links.load(std::memory_order_acquire); }
    void linkMade() { links.fetch_add(1, std::memory_order_acq_rel); }

protected:
    // What a write did with a message.
    enum class Put
    {
        Done,  // written to the port
        Lost,  // refused for good: the next one goes
        Later, // no room now: it waits, and so does everything behind it
    };
    // The writing thread's part: the sent queue, in order, each message once
    // due(stamp) says the input forwarded before it has gone out.
    template <typename Write, typename Due> bool drainSent(Write write, Due due);
    // Writes one message, keeping the table of sounding notes; false when it
    // must wait.
    template <typename Write> bool put(Write write, const unsigned char *bytes, std::size_t size);
    // How many messages the input has forwarded: sent records carry it.
    virtual std::uint32_t inputStamp() const { return 0; }
    // Whether what is written now reaches a receiver (the unit's port is
    // connected). The writing thread's.
    virtual bool reaching() const { return true; }
    void countDrop() { dropped.fetch_add(1, std::memory_order_relaxed); }
    // A port can go within moments of a write that still counted as heard
    // (a JACK port unregistered some cycles after, a receiver that closed
    // before reading): the notes released in the last 100 to 200 ms while the
    // port was there count as owed when it goes. Called while it is there:
    // by the cycle at its start, by the writer after a note reached it.
    void rollReleased();
    bool releasing() const { return releaseFrom >= 0 || panicFrom >= 0; }
    // The writing thread's: a release of the notes still held, ahead of
    // what waits.
    void releaseAgain()
    {
        if (releaseFrom < 0)
            releaseFrom = 0;
    }
    virtual void wake() {}
    virtual bool accepting() const { return true; }
    // Whether a release may be written now: a port connected a moment ago
    // may not reach its unit yet, and a release into no one is lost.
    virtual bool mayRelease() { return true; }

    MessageQueue sent;

private:
    enum Kind : unsigned char
    {
        Composed = 1,
        Release = 2,
        Panic = 3
    };
    bool push(Kind kind, const Message *messages, std::size_t count);
    template <typename Write> bool releaseSome(Write write);
    template <typename Write> bool silenceSome(Write write);
    void noteWritten(const unsigned char *bytes, std::size_t size);

    std::mutex sendMutex;
    std::array<std::atomic<std::uint64_t>, 16 * 128 / 64> held{};
    using AtomicTable = std::array<std::atomic<std::uint64_t>, 16 * 128 / 64>;
    AtomicTable releasedLately[2]{};
    std::atomic<int> lately{0};                   // which of the two is the current one
    std::chrono::steady_clock::time_point rolled; // the writing thread's
    std::atomic<int> routed{-1};
    std::atomic<std::uint32_t> dropped{0};
    std::atomic<unsigned> links{0};
    // Writing thread only: a release in progress, from this note on, and a
    // panic's controllers, from this one on.
    int releaseFrom = -1;
    int panicFrom = -1;
};

// The output on MIDI systems whose sends may block: a writer thread of its
// own drains both sides into a sink, so neither the input nor the window
// ever waits for a stalled receiver. Where the sink can write without
// waiting, the input writes its message itself when nothing waits ahead of
// it: one hop, no hand-off; the writer takes over while a backlog exists.
class ThreadedOutput : public NoteOutput
{
public:
    explicit ThreadedOutput(std::unique_ptr<MidiSink> sink, std::size_t queueBytes = 1u << 20);
    ~ThreadedOutput() override;

    bool forward(const unsigned char *bytes, std::size_t size, std::uint32_t frame) override;
    void drain() override;
    bool relink() override { return sink->relink(); }
    bool linked() const override { return sink->reaches(); }

private:
    // Who writes to the sink now: the writer thread, or the input itself
    // while nothing waits ahead of its message.
    enum Owner : int
    {
        Free,
        Writer,
        Input
    };
    void wake() override;
    bool accepting() const override;
    bool reaching() const override { return sink->reaches(); }
    std::uint32_t inputStamp() const override { return forwarded.load(std::memory_order_acquire); }
    void run();
    Put write(const unsigned char *bytes, std::size_t size);
    bool writeNow(const unsigned char *bytes, std::size_t size);

    std::unique_ptr<MidiSink> sink;
    MessageQueue input;
    std::unique_ptr<unsigned char[]> scratch;
    std::size_t scratchSize;
    sem_t wakeUp;
    std::atomic<bool> stopping{false};
    std::atomic<bool> busy{false};
    std::atomic<bool> sleeping{false};
    std::atomic<std::uint32_t> forwarded{0};
    std::atomic<int> owner{Free};
    std::uint32_t written = 0; // forwarded messages handled, by the owner
    bool failing = false;
    std::thread writer;
};

namespace midibytes {
inline bool isNote(const unsigned char *bytes, std::size_t size)
{
    return size >= 3 && ((bytes[0] & 0xF0) == 0x80 || (bytes[0] & 0xF0) == 0x90);
}
inline bool isNoteOn(const unsigned char *bytes, std::size_t size)
{
    return size >= 3 && (bytes[0] & 0xF0) == 0x90 && bytes[2] != 0;
}
} // namespace midibytes

template <typename Write>
bool NoteOutput::put(Write write, const unsigned char *bytes, std::size_t size)
{
    if (midibytes::isNoteOn(bytes, size) &&
        (bytes[0] & 0x0F) != routed.load(std::memory_order_relaxed))
        return true;
    const bool note = midibytes::isNote(bytes, size);
    const bool before = note && reaching();
    switch (write(bytes, size)) {
    case Put::Later:
        return false;
    case Put::Lost:
        return true;
    case Put::Done:
        break;
    }
    // A note that reached no one is not sounding, and a Note Off that
    // reached no one leaves its note owed. The port may go during the
    // write: a Note On counts if it may have got there, a Note Off only if
    // it surely did.
    if (note) {
        const bool after = reaching();
        if (midibytes::isNoteOn(bytes, size) ? before || after : before && after)
            noteWritten(bytes, size);
        if (after)
            rollReleased();
    }
    return true;
}

template <typename Write> bool NoteOutput::releaseSome(Write write)
{
    for (; releaseFrom < 16 * 128; ++releaseFrom) {
        const int word = releaseFrom / 64;
        const std::uint64_t bit = std::uint64_t(1) << (releaseFrom % 64);
        if (!(held[std::size_t(word)].load(std::memory_order_relaxed) & bit))
            continue;
        const unsigned char off[3] = {static_cast<unsigned char>(0x80 | releaseFrom / 128),
                                      static_cast<unsigned char>(releaseFrom % 128), 0};
        const bool before = reaching();
        if (write(off, sizeof off) == Put::Later)
            return false;
        if (before && reaching())
            noteWritten(off, sizeof off);
    }
    releaseFrom = -1;
    return true;
}

// Channel by channel: Sustain off, All Sound Off, All Notes Off.
template <typename Write> bool NoteOutput::silenceSome(Write write)
{
    static constexpr unsigned char controllers[3] = {64, 120, 123};
    for (; panicFrom < 16 * 3; ++panicFrom) {
        const unsigned char cc[3] = {static_cast<unsigned char>(0xB0 | panicFrom / 3),
                                     controllers[panicFrom % 3], 0};
        if (write(cc, sizeof cc) == Put::Later)
            return false;
    }
    panicFrom = -1;
    return true;
}

template <typename Write, typename Due> bool NoteOutput::drainSent(Write write, Due due)
{
    constexpr std::size_t head = 1 + sizeof(std::uint32_t);
    unsigned char record[head + 4];
    for (;;) {
        if (releaseFrom >= 0 && !releaseSome(write))
            return false;
        if (panicFrom >= 0 && !silenceSome(write))
            return false;
        const std::size_t recordSize = sent.frontSize();
        if (recordSize == 0)
            return true;
        if (recordSize > sizeof record || recordSize < head) {
            sent.skip(); // push() makes nothing else
            continue;
        }
        sent.peek(record);
        std::uint32_t stamp;
        std::memcpy(&stamp, record + 1, sizeof stamp);
        if (!due(stamp))
            return true;
        if (record[0] == Release || record[0] == Panic) {
            if (!mayRelease())
                return false;
            sent.skip();
            releaseFrom = 0;
            if (record[0] == Panic)
                panicFrom = 0;
            continue;
        }
        // A port that is full now takes the rest, in order, later.
        if (!put(write, record + head, recordSize - head))
            return false;
        sent.skip();
    }
}
