#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

// Keeps RtMidi's JACK output from spinning. Its sendMessage waits, burning
// the CPU, until its ring buffer has room, and the buffer is only drained by
// the server's process cycles: when the server goes away or stops cycling,
// a send would never return. This small client without ports counts the
// cycles and notices the server's shutdown; a send goes ahead only while the
// bytes sent since the last cycle fit well inside the buffer.
class JackWatch
{
public:
    JackWatch();
    ~JackWatch();
    JackWatch(const JackWatch &) = delete;
    JackWatch &operator=(const JackWatch &) = delete;

    // False when its client could not be made: it then knows nothing.
    bool watching() const { return client != nullptr; }
    bool serverGone() const { return gone.load(std::memory_order_acquire); }

    enum class Verdict
    {
        Send,
        Gone,
        Busy,
        TooLarge
    };
    // Whether a message of this size may be written now; books it if so.
    // Calls must not overlap (the router's output lock serialises them).
    Verdict admit(std::size_t size);

    // RtMidi's buffer holds 16 KiB and is drained once a cycle. Small
    // messages may take 6000 bytes a cycle, so two cycles' worth never fill
    // it; one larger message (a long sysex) may go alone in a cycle. Above
    // about 4 KiB a message no longer fits the JACK port's buffer in one
    // cycle and takes the messages after it down with it, so it is dropped.
    static constexpr std::size_t budgetPerCycle = 6000;
    static constexpr std::size_t largestMessage = 4096 + sizeof(int);

    // A handle of a server that went away must not be closed: libjack would
    // reach into the dead server's shared memory. It is kept, untouched and
    // still reachable, for the rest of the process.
    template <typename T> static void keepUnclosed(std::unique_ptr<T> handle)
    {
        keep(handle.release());
    }

private:
    static void keep(void *handle);

    void *client = nullptr;
    std::atomic<bool> gone{false};
    std::atomic<std::uint64_t> cycles{0};
    std::uint64_t lastCycle = 0;
    std::size_t booked = 0;
};
