#include "midi/timer.h"

#include "midi/midiio.h"

#include <chrono>

// A child of its router, which still deletes it first, before the router's
// state goes.
Timer::Timer(MidiIO *midiIO, int msec) : QThread(midiIO), msec(msec), midiIO(midiIO) {}

Timer::~Timer()
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        cancelled = true;
    }
    wakeUp.notify_all();
    wait();
}

void Timer::startWait(int ms)
{
    // The previous wait may have emitted already and be on its way out;
    // start() on a running thread would do nothing.
    if (isRunning())
        wait();
    msec = ms < 0 ? 0 : ms;
    start();
}

void Timer::run()
{
    std::unique_lock<std::mutex> lock(mutex);
    if (wakeUp.wait_for(lock, std::chrono::milliseconds(msec.load()), [this] { return cancelled; }))
        return;
    lock.unlock();
    emit timerDone();
}
