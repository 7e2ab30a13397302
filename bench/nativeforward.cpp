// The least any router on JACK can do: a native client that copies each
// input event to its output in the same cycle, at the same frame. The
// latency benchmark measures the router against it.
#include <jack/jack.h>
#include <jack/midiport.h>

#include <csignal>
#include <cstdio>
#include <unistd.h>

namespace {

jack_port_t *in = nullptr;
jack_port_t *out = nullptr;
volatile std::sig_atomic_t stop = 0;

int process(jack_nframes_t frames, void *)
{
    void *inBuffer = jack_port_get_buffer(in, frames);
    void *outBuffer = jack_port_get_buffer(out, frames);
    jack_midi_clear_buffer(outBuffer);
    const jack_nframes_t count = jack_midi_get_event_count(inBuffer);
    for (jack_nframes_t i = 0; i < count; ++i) {
        jack_midi_event_t event;
        if (jack_midi_event_get(&event, inBuffer, i) == 0)
            jack_midi_event_write(outBuffer, event.time, event.buffer, event.size);
    }
    return 0;
}

} // namespace

int main()
{
    jack_client_t *client = jack_client_open("Bench Native", JackNoStartServer, nullptr);
    if (!client) {
        std::fprintf(stderr, "nativeforward: no JACK server\n");
        return 1;
    }
    in = jack_port_register(client, "in", JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
    out = jack_port_register(client, "out", JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
    if (!in || !out || jack_set_process_callback(client, process, nullptr) ||
        jack_activate(client)) {
        jack_client_close(client);
        return 1;
    }
    std::signal(SIGTERM, [](int) { stop = 1; });
    std::signal(SIGINT, [](int) { stop = 1; });
    while (!stop)
        pause();
    jack_client_close(client);
    return 0;
}
