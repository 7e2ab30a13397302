#include "midi/jackwatch.h"

#include <jack/jack.h>

#include <mutex>
#include <vector>

namespace {

void onShutdown(jack_status_t, const char *, void *arg)
{
    static_cast<std::atomic<bool> *>(arg)->store(true, std::memory_order_release);
}

int onProcess(jack_nframes_t, void *arg)
{
    static_cast<std::atomic<std::uint64_t> *>(arg)->fetch_add(1, std::memory_order_release);
    return 0;
}

} // namespace

JackWatch::JackWatch()
{
    jack_status_t status;
    jack_client_t *c = jack_client_open("Brantolex helper watch", JackNoStartServer, &status);
    if (!c) {
        gone = true;
        return;
    }
    jack_on_info_shutdown(c, &onShutdown, &gone);
    if (jack_set_process_callback(c, &onProcess, &cycles) != 0 || jack_activate(c) != 0) {
        jack_client_close(c);
        gone = true;
        return;
    }
    client = c;
}

JackWatch::~JackWatch()
{
    if (client)
        jack_client_close(static_cast<jack_client_t *>(client));
}

JackWatch::Verdict JackWatch::admit(std::size_t size)
{
    if (serverGone())
        return Verdict::Gone;
    // RtMidi stores a length word in front of every message.
    const std::size_t cost = size + sizeof(int);
    if (cost > largestMessage)
        return Verdict::TooLarge;
    const std::uint64_t now = cycles.load(std::memory_order_acquire);
    if (now != lastCycle) {
        lastCycle = now;
        booked = 0;
    }
    if (booked + cost > budgetPerCycle && booked != 0)
        return Verdict::Busy;
    booked += cost;
    return Verdict::Send;
}

void JackWatch::keep(void *handle)
{
    static std::mutex mutex;
    static auto *kept = new std::vector<void *>;
    std::lock_guard<std::mutex> lock(mutex);
    kept->push_back(handle);
}
