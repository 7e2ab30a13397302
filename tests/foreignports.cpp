// Another program's MIDI client on the tests' JACK server, as any musician's
// machine has: one input and one output port, registered before the tests
// make theirs, so they come first in every port list. Prints "ready" once
// the ports are there and holds them until SIGTERM.
// Usage: foreignports [CLIENT]   (JACK_DEFAULT_SERVER names the server)

#include <jack/jack.h>
#include <jack/midiport.h>

#include <csignal>
#include <cstdio>
#include <pthread.h>

namespace {
jack_port_t *output = nullptr;

// A silent output, as a synthesizer's that has nothing to say.
int process(jack_nframes_t frames, void *)
{
    jack_midi_clear_buffer(jack_port_get_buffer(output, frames));
    return 0;
}
} // namespace

int main(int argc, char **argv)
{
    const char *clientName = argc > 1 ? argv[1] : "Foreign Synth";

    // Blocked before JACK starts its threads, so the signal waits for
    // sigwait below and the client is closed cleanly.
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);

    jack_status_t status{};
    jack_client_t *client = jack_client_open(clientName, JackNoStartServer, &status);
    if (!client) {
        std::fprintf(stderr, "foreignports: no JACK server (status 0x%x)\n", unsigned(status));
        return 1;
    }
    jack_port_t *input =
        jack_port_register(client, "midi in", JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
    output = jack_port_register(client, "midi out", JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
    if (!input || !output || jack_set_process_callback(client, process, nullptr) != 0 ||
        jack_activate(client) != 0) {
        std::fprintf(stderr, "foreignports: could not register the ports\n");
        jack_client_close(client);
        return 1;
    }
    std::printf("ready %s\n", jack_get_client_name(client));
    std::fflush(stdout);

    int signal = 0;
    sigwait(&stop, &signal);
    jack_client_close(client);
    return 0;
}
