#include "midi/jackwatch.h"

#include <jack/jack.h>

#include <mutex>
#include <vector>

JackWatch::JackWatch()
{
    jack_status_t status;
    jack_client_t *c = jack_client_open("Brantolex helper watch", JackNoStartServer, &status);
    if (!c) {
        gone = true;
        return;
    }
    jack_on_info_shutdown(
        c,
        [](jack_status_t, const char *, void *self) {
            static_cast<JackWatch *>(self)->gone.store(true, std::memory_order_release);
        },
        this);
    if (jack_activate(c) != 0) {
        jack_client_close(c);
        gone = true;
        return;
    }
    client = c;
}

JackWatch::~JackWatch()
{
    if (!client)
        return;
    if (serverGone())
        keep(client);
    else
        jack_client_close(static_cast<jack_client_t *>(client));
}

void JackWatch::keep(void *handle)
{
    static std::mutex mutex;
    static auto *kept = new std::vector<void *>;
    std::lock_guard<std::mutex> lock(mutex);
    kept->push_back(handle);
}
