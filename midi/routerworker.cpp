#include "midi/routerworker.h"

#include <ctime>

RouterWorker::RouterWorker(Hooks hooks) : hooks(std::move(hooks))
{
    sem_init(&wakeUp, 0, 0);
    thread = std::thread([this] { run(); });
}

RouterWorker::~RouterWorker()
{
    stopping.store(true, std::memory_order_release);
    sem_post(&wakeUp);
    thread.join();
    sem_destroy(&wakeUp);
}

void RouterWorker::count()
{
    posted.fetch_add(1, std::memory_order_release);
    sem_post(&wakeUp); // async-signal-safe: no lock
}

bool RouterWorker::post(const Event &event)
{
    if (!events.push(event.data(), event.size()))
        return false;
    count();
    return true;
}

void RouterWorker::wake()
{
    count();
}

void RouterWorker::wakeAt(Clock::time_point when)
{
    armed = true;
    deadline = when;
}

bool RouterWorker::settle(int timeoutMs)
{
    const unsigned target = posted.load(std::memory_order_acquire);
    const auto until = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (int(handled.load(std::memory_order_acquire) - target) < 0) {
        if (Clock::now() > until)
            return false;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return true;
}

void RouterWorker::run()
{
    auto nextTick = Clock::now();
    for (;;) {
        // Whatever was counted before this look is handled in this round.
        const unsigned seen = posted.load(std::memory_order_acquire);
        hooks.woken();
        Event event;
        while (events.frontSize() == event.size()) {
            events.pop(event.data());
            hooks.event(event);
        }
        handled.store(seen, std::memory_order_release);
        if (stopping.load(std::memory_order_acquire))
            return;
        auto now = Clock::now();
        if (armed && now >= deadline) {
            armed = false;
            hooks.deadline();
            continue;
        }
        if (now >= nextTick) {
            hooks.tick();
            nextTick = now + std::chrono::milliseconds(tickMs.load(std::memory_order_relaxed));
        }
        // A monotonic wait: a clock stepped back must not stall a load.
        const Clock::time_point until = armed && deadline < nextTick ? deadline : nextTick;
        const auto ns =
            std::chrono::duration_cast<std::chrono::nanoseconds>(until.time_since_epoch()).count();
        const timespec at{time_t(ns / 1000000000), long(ns % 1000000000)};
        sem_clockwait(&wakeUp, CLOCK_MONOTONIC, &at);
    }
}
