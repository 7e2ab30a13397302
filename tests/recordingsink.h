#pragma once

#include "midi/midiio.h"
#include "midi/midisink.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QList>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

using Bytes = std::vector<unsigned char>;

// What a recording output saw, shared so the test keeps it after the router
// has dropped the sink.
class MessageLog
{
public:
    using Clock = std::chrono::steady_clock;

    void append(const unsigned char *bytes, std::size_t size)
    {
        // A unit about to go: what reaches it now is never heard.
        if (deaf) {
            ++unheard;
            return;
        }
        std::function<void(const Bytes &)> hook;
        Bytes message(bytes, bytes + size);
        {
            std::lock_guard<std::mutex> lock(mutex);
            messages.push_back(message);
            times.push_back(Clock::now());
            ++appended;
            hook = onMessage;
        }
        if (hook)
            hook(message);
    }
    std::vector<Bytes> all() const
    {
        std::lock_guard<std::mutex> lock(mutex);
        return messages;
    }
    std::size_t size() const
    {
        std::lock_guard<std::mutex> lock(mutex);
        return messages.size();
    }
    // Every message appended so far, taken or not.
    std::size_t total() const
    {
        std::lock_guard<std::mutex> lock(mutex);
        return appended;
    }
    // What arrived since the last take, which forgets it.
    std::vector<Bytes> take()
    {
        std::lock_guard<std::mutex> lock(mutex);
        std::vector<Bytes> taken;
        taken.swap(messages);
        times.clear();
        return taken;
    }
    Clock::time_point timeOf(std::size_t i) const
    {
        // A missing message makes the test fail, not throw out of it.
        std::lock_guard<std::mutex> lock(mutex);
        return i < times.size() ? times[i] : Clock::time_point{};
    }
    void clear()
    {
        std::lock_guard<std::mutex> lock(mutex);
        messages.clear();
        times.clear();
    }
    std::atomic<bool> deaf{false};
    std::atomic<int> unheard{0};
    // While set, the recording output refuses every message (a full queue).
    std::atomic<bool> refuse{false};
    // The next message equal to this one is refused (once).
    void refuseNext(const Bytes &message)
    {
        std::lock_guard<std::mutex> lock(mutex);
        refused = message;
    }
    bool refuses(const unsigned char *bytes, std::size_t size, bool consume)
    {
        std::lock_guard<std::mutex> lock(mutex);
        const bool match = !refused.empty() && Bytes(bytes, bytes + size) == refused;
        if (match && consume)
            refused.clear();
        return match;
    }
    // While set to a thread, that thread's look at whether the output takes
    // messages waits until it is cleared; holding tells that it waits.
    std::atomic<std::thread::id> holdOn{};
    std::atomic<bool> holding{false};
    // While set, the input may write to the output itself (see sendNow).
    std::atomic<bool> direct{false};
    // While set, the writer's sends wait (a receiver it waits on); blocked
    // tells that one is waiting.
    std::atomic<bool> stall{false};
    std::atomic<bool> blocked{false};
    // While clear, the output's port is connected to nothing: what it sends
    // is taken but heard by no one.
    std::atomic<bool> reached{true};

    // Runs on the sending thread after each message is recorded.
    void setHook(std::function<void(const Bytes &)> hook)
    {
        std::lock_guard<std::mutex> lock(mutex);
        onMessage = std::move(hook);
    }

private:
    mutable std::mutex mutex;
    std::vector<Bytes> messages;
    std::vector<Clock::time_point> times;
    std::size_t appended = 0;
    std::function<void(const Bytes &)> onMessage;
    Bytes refused;
};

class RecordingSink : public MidiSink
{
public:
    explicit RecordingSink(std::shared_ptr<MessageLog> log) : log(std::move(log)) {}
    bool accepting() const override
    {
        while (log->holdOn.load() == std::this_thread::get_id())
            log->holding = true;
        log->holding = false;
        return !log->refuse;
    }
    bool reaches() const override { return log->reached; }
    bool sendMessage(const unsigned char *bytes, std::size_t size) override
    {
        while (log->stall && !stopped) {
            log->blocked = true;
            std::this_thread::yield();
        }
        log->blocked = false;
        return record(bytes, size);
    }
    // Room at the receiver even while the writer waits: its backlog must
    // still go first.
    bool sendNow(const unsigned char *bytes, std::size_t size) override
    {
        return log->direct && !log->refuses(bytes, size, false) && record(bytes, size);
    }
    bool record(const unsigned char *bytes, std::size_t size)
    {
        if (log->refuse || log->refuses(bytes, size, true))
            return false;
        if (log->reached)
            log->append(bytes, size);
        return true;
    }
    void stop() override { stopped = true; }

private:
    std::shared_ptr<MessageLog> log;
    std::atomic<bool> stopped{false};
};

inline QByteArray hex(const char *h)
{
    return QByteArray::fromHex(h);
}

inline Bytes bytes(const QByteArray &a)
{
    return Bytes(a.begin(), a.end());
}

inline QByteArray qbytes(const Bytes &b)
{
    return QByteArray(reinterpret_cast<const char *>(b.data()), static_cast<int>(b.size()));
}

inline QList<QByteArray> qmessages(const std::vector<Bytes> &messages)
{
    QList<QByteArray> out;
    for (const Bytes &m : messages)
        out << qbytes(m);
    return out;
}

// Hands a message to the router exactly as the input callback gets it.
inline void feed(MidiIO &router, Bytes message)
{
    MidiIO::midiInCallback(0.0, &message, router.callbackUserData());
    router.settle();
    // What the worker emitted arrives queued, as in the window.
    QCoreApplication::processEvents();
}
