#include "midi/jackoutput.h"

#include <jack/midiport.h>

#include <algorithm>
#include <chrono>
#include <thread>

namespace {

constexpr int drainTimeoutMs = 250;
constexpr std::size_t backlogPerCycle = 1024;
constexpr std::size_t largestPiece = 1u << 20;

} // namespace

JackOutput::JackOutput(std::size_t queueBytes, std::uint32_t settleFrames,
                       const std::atomic<bool> &gone, std::function<bool()> relinkPort)
    : NoteOutput(queueBytes), gone(gone), relinkPort(std::move(relinkPort)),
      settleFrames(settleFrames), carried(queueBytes), piece(new unsigned char[largestPiece]),
      pieceCapacity(largestPiece)
{
}

void JackOutput::beginCycle(void *portBuffer, std::uint32_t frames)
{
    const bool isConnected = receivers.load(std::memory_order_acquire) > 0;
    buffer = portBuffer;
    jack_midi_clear_buffer(buffer);
    if (largest == 0)
        largest = jack_midi_max_event_size(buffer);
    const std::uint32_t xrunsNow = xruns.load(std::memory_order_acquire);
    const bool xrun = xrunsNow != xrunsSeen;
    xrunsSeen = xrunsNow;
    if (!isConnected || xrun)
        cleanFrames = 0;
    if (!isConnected) {
        linkedCycles = linkedFrames = 0;
        proven = false;
    }
    connected = isConnected;
    // A link just made may carry nothing yet: the server's news of it can
    // come before its graph has it, some servers (PipeWire's JACK) take a
    // while more, and under xruns the unit's cycles may not run at all
    // while ours do. What goes out waits until a cycle has passed with the
    // link and the server has run a while with it without an xrun; at most
    // ten times that, then it goes, and the notes it was owed are ended
    // again once the cycles run clean. A link once proven stays so: an xrun
    // later on holds nothing back and ends no note.
    const bool unproven = !proven && (linkedCycles < 1 || cleanFrames < settleFrames);
    settling = connected && unproven && linkedFrames < 10 * settleFrames;
    if (connected && unproven && !settling && !releaseOwed) {
        releaseOwed = true;
        doubted.fetch_add(1, std::memory_order_release);
    }
    if (connected) { // the counts stay put over a long evening
        linkedCycles = std::min(linkedCycles + 1, 2u);
        linkedFrames = std::min(linkedFrames + frames, 10 * settleFrames);
        cleanFrames = std::min(cleanFrames + frames, settleFrames);
        rollReleased();
    }
    // A release that found no link, or no clean one, may have reached no
    // one: the notes still held go out again once a link carries.
    if (connected && !unproven && releaseOwed) {
        releaseOwed = false;
        releaseAgain();
    }
    proven = connected && !unproven;
    lastFrame = 0;
    backlogRoom = backlogStart = std::min<std::size_t>(backlogPerCycle, largest / 2);
    cycleThread = pthread_self();
    inCycle.store(true, std::memory_order_relaxed);
    // What waited goes ahead of this cycle's input.
    if (!settling)
        drainBacklog();
}

void JackOutput::endCycle()
{
    inCycle.store(false, std::memory_order_relaxed);
    buffer = nullptr;
    cycleCount.fetch_add(1, std::memory_order_release);
}

JackOutput::Put JackOutput::writeNow(const unsigned char *bytes, std::size_t size)
{
    if (jack_midi_max_event_size(buffer) < size ||
        jack_midi_event_write(buffer, lastFrame, bytes, size) != 0)
        return Put::Later;
    return Put::Done;
}

// What waited goes out a few KB a cycle (at least one message), far above
// the wire's rate: some JACK servers (PipeWire's) lose a whole cycle's
// output when the buffer is full.
bool JackOutput::takeBacklogRoom(std::size_t size)
{
    if (backlogRoom < size && backlogRoom != backlogStart)
        return false;
    backlogRoom -= std::min(backlogRoom, size);
    return true;
}

// A connection made takes effect at a later cycle: a release waits for it a
// while (32 cycles), then goes, to a port that may be connected to no one;
// the notes it could not end stay owed to the next link.
bool JackOutput::mayRelease()
{
    const std::uint64_t now = cycleCount.load(std::memory_order_relaxed) + 1;
    if (connected || (unconnectedSince != 0 && now - unconnectedSince >= 32)) {
        releaseOwed = releaseOwed || !connected;
        unconnectedSince = 0;
        return true;
    }
    if (unconnectedSince == 0)
        unconnectedSince = now;
    return false;
}

bool JackOutput::nothingWaits() const
{
    return carried.empty() && sent.empty() && pieceDone >= pieceSize && !releasing();
}

void JackOutput::drainBacklog()
{
    auto write = [this](const unsigned char *bytes, std::size_t size) {
        return takeBacklogRoom(size) ? writeNow(bytes, size) : Put::Later;
    };
    // What another thread sent goes once the input carried before it has.
    auto due = [this](std::uint32_t stamp) { return std::int32_t(stamp - carriedOut) <= 0; };
    for (;;) {
        if (!drainSent(write, due))
            return;
        if (pieceDone < pieceSize) {
            const std::size_t n = std::min(jack_midi_max_event_size(buffer), pieceSize - pieceDone);
            if (n == 0 || !takeBacklogRoom(n) ||
                jack_midi_event_write(buffer, lastFrame, piece.get() + pieceDone, n) != 0)
                return;
            pieceDone += n;
            if (pieceDone == pieceSize) {
                ++carriedOut;
                piecing.store(false, std::memory_order_release);
            }
            continue;
        }
        const std::size_t size = carried.frontSize();
        if (size == 0)
            return;
        if (size <= 3) {
            // Notes are looked at before they go.
            unsigned char message[3];
            carried.peek(message);
            if (!put(write, message, size))
                return;
            carried.skip();
            ++carriedOut;
            continue;
        }
        if (size <= largest) {
            if (jack_midi_max_event_size(buffer) < size || !takeBacklogRoom(size))
                return;
            jack_midi_data_t *event = jack_midi_event_reserve(buffer, lastFrame, size);
            if (!event)
                return;
            carried.pop(event);
            ++carriedOut;
            continue;
        }
        piecing.store(true, std::memory_order_release);
        carried.pop(piece.get()); // forward() takes nothing larger than the piece buffer
        pieceSize = size;
        pieceDone = 0;
    }
}

bool JackOutput::forward(const unsigned char *bytes, std::size_t size, std::uint32_t frame)
{
    if (size == 0)
        return true;
    if (!inCycle.load(std::memory_order_relaxed) || !pthread_equal(pthread_self(), cycleThread))
        return send(bytes, size); // not from the port's own cycle
    lastFrame = std::max(lastFrame, frame);
    // Behind anything that waits, so nothing overtakes.
    if (!settling && nothingWaits() && size <= largest &&
        put([this](const unsigned char *b, std::size_t n) { return writeNow(b, n); }, bytes, size))
        return true;
    if (size > pieceCapacity || !carried.push(bytes, size)) {
        countDrop();
        return false;
    }
    carriedIn.fetch_add(1, std::memory_order_release);
    return true;
}

void JackOutput::drain()
{
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(drainTimeoutMs);
    std::uint64_t emptiedAt = 0;
    bool emptied = false;
    while (!gone.load(std::memory_order_acquire) && std::chrono::steady_clock::now() < deadline) {
        const std::uint64_t now = cycles();
        if (!emptied && sent.empty() && carried.empty() &&
            !piecing.load(std::memory_order_acquire)) {
            emptied = true;
            emptiedAt = now;
        }
        // One cycle more, so that the peer has read it.
        if (emptied && now >= emptiedAt + 2)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}
