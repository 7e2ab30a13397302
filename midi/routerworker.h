#pragma once

#include "midi/messagequeue.h"

#include <array>
#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

#include <semaphore.h>

// The router's thread for what the input may not do itself: it owns the
// plug-in switch and its loading deadline, and writes diagnostics. The input
// reaches it without locks or allocation: by events in a queue, or by
// waking it to look at flags its owner keeps. It also ticks a few times a
// second for the diagnostics.
class RouterWorker
{
public:
    using Event = std::array<unsigned char, 4>;
    using Clock = std::chrono::steady_clock;
    struct Hooks
    {
        std::function<void()> woken; // every round, before the queued events
        std::function<void(const Event &)> event;
        std::function<void()> deadline; // the time given to wakeAt() came
        std::function<void()> tick;
    };

    explicit RouterWorker(Hooks hooks);
    // Handles what was posted, then stops; a pending deadline is dropped.
    ~RouterWorker();
    RouterWorker(const RouterWorker &) = delete;
    RouterWorker &operator=(const RouterWorker &) = delete;

    // Real-time safe; one posting thread at a time (the input's). False when
    // the queue is full.
    bool post(const Event &event);
    // Real-time safe, any thread; cannot fail: the woken hook runs soon.
    void wake();
    // The worker thread's own: run the deadline hook at this moment.
    void wakeAt(Clock::time_point when);
    // Waits (bounded) until everything posted and woken for so far has been
    // handled.
    bool settle(int timeoutMs = 5000);
    // Any thread's; from the next tick on.
    void setTickInterval(int ms) { tickMs.store(ms, std::memory_order_relaxed); }

private:
    void run();
    void count();

    Hooks hooks;
    MessageQueue events{64 * 1024};
    std::atomic<unsigned> posted{0}, handled{0};
    std::atomic<bool> stopping{false};
    std::atomic<int> tickMs{250};
    bool armed = false; // the worker's, with its deadline
    Clock::time_point deadline;
    sem_t wakeUp;
    std::thread thread;
};
