#include "midi/routerworker.h"

#include <cerrno>
#include <chrono>
#include <ctime>

RouterWorker::RouterWorker(Handler handle, std::function<void()> tick)
    : handle(std::move(handle)), tick(std::move(tick))
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

bool RouterWorker::post(int event, int value)
{
    const unsigned char message[2] = {static_cast<unsigned char>(event),
                                      static_cast<unsigned char>(value)};
    if (!events.push(message, sizeof message))
        return false;
    posted.fetch_add(1, std::memory_order_release);
    sem_post(&wakeUp); // async-signal-safe: no lock
    return true;
}

bool RouterWorker::settle(int timeoutMs)
{
    const unsigned target = posted.load(std::memory_order_acquire);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (int(handled.load(std::memory_order_acquire) - target) < 0) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return true;
}

void RouterWorker::run()
{
    auto next = std::chrono::steady_clock::now();
    for (;;) {
        unsigned char message[2];
        while (events.frontSize() == sizeof message) {
            events.pop(message);
            handle(message[0], message[1]);
            handled.fetch_add(1, std::memory_order_release);
        }
        if (stopping.load(std::memory_order_acquire))
            return;
        const auto now = std::chrono::steady_clock::now();
        if (now >= next) {
            tick();
            next = now + std::chrono::milliseconds(250);
        }
        timespec until;
        clock_gettime(CLOCK_REALTIME, &until);
        until.tv_nsec += 250 * 1000 * 1000;
        if (until.tv_nsec >= 1000 * 1000 * 1000) {
            until.tv_sec += 1;
            until.tv_nsec -= 1000 * 1000 * 1000;
        }
        sem_timedwait(&wakeUp, &until);
    }
}
