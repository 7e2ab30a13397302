#pragma once

#include "midi/noteoutput.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>

#include <pthread.h>

// The JACK client's output port as the router's output. Each process cycle
// writes, top to bottom: what waited from earlier cycles (input carried
// over, what other threads sent and release commands, each in the place it
// came), then this cycle's input at its own frame. What does not fit waits,
// in order, for the next cycles; a sysex larger than an event goes out in
// pieces.
class JackOutput : public NoteOutput
{
public:
    // gone: set when the server went away; relinkPort connects the port to
    // its destination again.
    // settleFrames: how much of the server's time a new link gets before
    // anything goes out on it.
    JackOutput(std::size_t queueBytes, std::uint32_t settleFrames, const std::atomic<bool> &gone,
               std::function<bool()> relinkPort);

    // The process cycle's: the port's buffer for this cycle of frames.
    void beginCycle(void *buffer, std::uint32_t frames);
    void endCycle();
    std::uint64_t cycles() const { return cycleCount.load(std::memory_order_acquire); }

    bool forward(const unsigned char *bytes, std::size_t size, std::uint32_t frame) override;
    void drain() override;
    bool relink() override { return relinkPort(); }
    bool linked() const override { return receivers.load(std::memory_order_acquire) > 0; }
    // How many ports the port is connected to, from the server's news: the
    // cycle reads it without asking the library (which may lock).
    void setReceivers(int count) { receivers.store(count, std::memory_order_release); }
    // The server's news of an xrun.
    void xrunHappened() { xruns.fetch_add(1, std::memory_order_release); }
    unsigned doubtedLinks() const override { return doubted.load(std::memory_order_acquire); }

private:
    std::uint32_t inputStamp() const override { return carriedIn.load(std::memory_order_acquire); }
    bool reaching() const override { return connected; }
    bool mayRelease() override;
    Put writeNow(const unsigned char *bytes, std::size_t size);
    bool takeBacklogRoom(std::size_t size);
    void drainBacklog();
    bool nothingWaits() const;

    const std::atomic<bool> &gone;
    const std::function<bool()> relinkPort;
    std::atomic<std::uint64_t> cycleCount{0};
    std::atomic<int> receivers{0};
    std::atomic<std::uint32_t> xruns{0};
    std::atomic<unsigned> doubted{0};

    // The cycle's own.
    void *buffer = nullptr;
    bool connected = false;
    bool settling = false; // connected a moment ago
    bool proven = false;   // the link has carried, with clean cycles
    // Cycles and frames that ran with the link before this cycle, and the
    // frames since the last xrun; each counted only as far as it matters.
    std::uint32_t linkedCycles = 0, linkedFrames = 0, cleanFrames = 0;
    std::uint32_t xrunsSeen = 0;
    const std::uint32_t settleFrames;
    std::uint32_t lastFrame = 0;        // frames never go back within a cycle
    std::uint64_t unconnectedSince = 0; // the cycle a release began to wait in, plus one
    bool releaseOwed = false;           // a release may have gone to no one
    pthread_t cycleThread{};
    std::atomic<bool> inCycle{false};
    std::size_t largest = 0;
    std::size_t backlogRoom = 0, backlogStart = 0; // of this cycle, for what waited
    MessageQueue carried;
    std::atomic<std::uint32_t> carriedIn{0}; // messages that went into carried
    std::uint32_t carriedOut = 0;            // and those that left it
    std::unique_ptr<unsigned char[]> piece;
    std::size_t pieceSize = 0, pieceDone = 0;
    std::atomic<bool> piecing{false}; // for drain()
    const std::size_t pieceCapacity;
};
