#pragma once

#include "midi/messagequeue.h"

#include <atomic>
#include <functional>
#include <thread>

#include <semaphore.h>

// The router's thread for what the input may not do itself: it runs the
// plug-in switch, starts loading waits and writes diagnostics, on events the
// input posts without locks or allocation. It also ticks a few times a
// second for the diagnostics.
class RouterWorker
{
public:
    using Handler = std::function<void(int event, int value)>;
    RouterWorker(Handler handle, std::function<void()> tick);
    // Handles what was posted, then stops.
    ~RouterWorker();
    RouterWorker(const RouterWorker &) = delete;
    RouterWorker &operator=(const RouterWorker &) = delete;

    // Real-time safe; one posting thread at a time (the input's).
    bool post(int event, int value);
    // Waits (bounded) until everything posted so far has been handled.
    bool settle(int timeoutMs = 5000);

private:
    void run();

    Handler handle;
    std::function<void()> tick;
    MessageQueue events{64 * 1024};
    std::atomic<unsigned> posted{0}, handled{0};
    std::atomic<bool> stopping{false};
    sem_t wakeUp;
    std::thread thread;
};
