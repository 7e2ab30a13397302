#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

// One small client without ports of its own: it tells whether the JACK
// server is still there, reports ports that come and go, and lists the
// ports without opening a client each time.
class JackWatch
{
public:
    // portsChanged runs on JACK's notification thread whenever a port is
    // registered, unregistered or renamed.
    explicit JackWatch(std::function<void()> portsChanged = {});
    ~JackWatch();
    JackWatch(const JackWatch &) = delete;
    JackWatch &operator=(const JackWatch &) = delete;

    // False when its client could not be made: it then knows nothing.
    bool watching() const { return client != nullptr; }
    bool serverGone() const { return gone.load(std::memory_order_acquire); }
    // No portsChanged call starts after this returns.
    void silence();

    // The MIDI ports that send (sources) or receive, in the server's order,
    // as the MIDI library lists them.
    std::vector<std::string> midiPorts(bool sources) const;

    // A handle of a server that went away must not be closed: libjack would
    // reach into the dead server's shared memory. It is kept, untouched and
    // still reachable, for the rest of the process.
    template <typename T> static void keepUnclosed(std::unique_ptr<T> handle)
    {
        keep(handle.release());
    }
    static void keep(void *handle);

private:
    void notify();

    void *client = nullptr;
    std::atomic<bool> gone{false};
    std::mutex notifyMutex;
    std::function<void()> portsChanged;
};
