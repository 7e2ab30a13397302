#include "midi/jackwatch.h"

#include <jack/jack.h>

#include <vector>

namespace {

std::vector<std::string> names(const char **ports)
{
    std::vector<std::string> list;
    if (!ports)
        return list;
    for (const char **p = ports; *p; ++p)
        list.emplace_back(*p);
    jack_free(ports);
    return list;
}

} // namespace

JackWatch::JackWatch(std::function<void()> portsChanged) : portsChanged(std::move(portsChanged))
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
    jack_set_port_registration_callback(
        c, [](jack_port_id_t, int, void *self) { static_cast<JackWatch *>(self)->notify(); }, this);
    jack_set_port_rename_callback(
        c,
        [](jack_port_id_t, const char *, const char *, void *self) {
            static_cast<JackWatch *>(self)->notify();
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
    silence();
    if (!client)
        return;
    if (serverGone())
        keep(client);
    else
        jack_client_close(static_cast<jack_client_t *>(client));
}

void JackWatch::silence()
{
    std::lock_guard<std::mutex> lock(notifyMutex);
    portsChanged = nullptr;
}

void JackWatch::notify()
{
    std::lock_guard<std::mutex> lock(notifyMutex);
    if (portsChanged)
        portsChanged();
}

std::vector<std::string> JackWatch::midiPorts(bool sources) const
{
    if (!client || serverGone())
        return {};
    return names(jack_get_ports(static_cast<jack_client_t *>(client), nullptr,
                                JACK_DEFAULT_MIDI_TYPE,
                                sources ? JackPortIsOutput : JackPortIsInput));
}

void JackWatch::keep(void *handle)
{
    static std::mutex mutex;
    static auto *kept = new std::vector<void *>;
    std::lock_guard<std::mutex> lock(mutex);
    kept->push_back(handle);
}
