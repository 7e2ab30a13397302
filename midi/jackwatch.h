#pragma once

#include <atomic>

// Tells whether the JACK server behind an output is still there. RtMidi's
// JACK output spins in sendMessage once its buffer is full and nothing
// drains it, which is what happens when the server goes away; a send checks
// this first. One small client without ports per watch.
class JackWatch
{
public:
    JackWatch();
    ~JackWatch();
    JackWatch(const JackWatch &) = delete;
    JackWatch &operator=(const JackWatch &) = delete;

    bool serverGone() const { return gone.load(std::memory_order_acquire); }

private:
    void *client = nullptr;
    std::atomic<bool> gone{false};
};
