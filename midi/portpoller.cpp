#include "midi/portpoller.h"

#include <chrono>

PortPoller::PortPoller(List list, Changed changed, int intervalMs)
    : list(std::move(list)), changed(std::move(changed)), intervalMs(intervalMs),
      thread(&PortPoller::run, this)
{
}

PortPoller::~PortPoller()
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        stopping = true;
    }
    wakeUp.notify_all();
    thread.join();
}

void PortPoller::run()
{
    QStringList lastInputs, lastOutputs;
    bool first = true;
    std::unique_lock<std::mutex> lock(mutex);
    while (!stopping) {
        lock.unlock();
        QStringList inputs, outputs;
        list(inputs, outputs);
        if (first || inputs != lastInputs || outputs != lastOutputs) {
            changed(inputs, outputs);
            lastInputs = inputs;
            lastOutputs = outputs;
            first = false;
        }
        lock.lock();
        wakeUp.wait_for(lock, std::chrono::milliseconds(intervalMs), [this] { return stopping; });
    }
}
