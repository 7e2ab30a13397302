#pragma once

#include <atomic>
#include <memory>

// One small client without ports that tells whether the JACK server is
// still there. Handles of a server that went away must not be closed.
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

    // A handle of a server that went away must not be closed: libjack would
    // reach into the dead server's shared memory. It is kept, untouched and
    // still reachable, for the rest of the process.
    template <typename T> static void keepUnclosed(std::unique_ptr<T> handle)
    {
        keep(handle.release());
    }
    static void keep(void *handle);

private:
    void *client = nullptr;
    std::atomic<bool> gone{false};
};
