#include "midi/jackwatch.h"

#include <jack/jack.h>

namespace {

void onShutdown(jack_status_t, const char *, void *arg)
{
    static_cast<std::atomic<bool> *>(arg)->store(true, std::memory_order_release);
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
    client = c;
}

JackWatch::~JackWatch()
{
    if (client)
        jack_client_close(static_cast<jack_client_t *>(client));
}

