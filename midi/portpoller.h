#pragma once

#include <QStringList>

#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

// Reads the port lists on its own thread at a fixed interval, for MIDI
// systems that do not announce ports that come and go, and reports lists
// that differ from the last ones it saw.
class PortPoller
{
public:
    // list fills the input and output port names; both functions run on
    // the poller's thread.
    using List = std::function<void(QStringList &inputs, QStringList &outputs)>;
    using Changed = std::function<void(const QStringList &inputs, const QStringList &outputs)>;

    PortPoller(List list, Changed changed, int intervalMs = 500);
    // Stops the thread; no call of changed starts after this.
    ~PortPoller();
    PortPoller(const PortPoller &) = delete;
    PortPoller &operator=(const PortPoller &) = delete;

private:
    void run();

    List list;
    Changed changed;
    const int intervalMs;
    std::mutex mutex;
    std::condition_variable wakeUp;
    bool stopping = false;
    std::thread thread;
};
