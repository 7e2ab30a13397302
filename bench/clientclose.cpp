// What a JACK library keeps of each client that is opened with a MIDI port,
// run for a while and closed, as the router does at every server restart:
// heap in use and RSS per closed client.
// Usage: bench_clientclose CLIENTS
#include "procstatus.h"

#include <jack/jack.h>
#include <jack/midiport.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <malloc.h>
#include <thread>

namespace {

jack_port_t *outPort;

int process(jack_nframes_t frames, void *)
{
    // As the router's output: a buffer written every cycle.
    jack_midi_clear_buffer(jack_port_get_buffer(outPort, frames));
    return 0;
}

long heapInUseKiB()
{
    const struct mallinfo2 info = mallinfo2();
    return long((info.uordblks + info.hblkhd) / 1024);
}

} // namespace

int main(int argc, char **argv)
{
    const int clients = argc > 1 ? std::atoi(argv[1]) : 50;
    if (clients < 3)
        return 2;
    long heapAfterFirst = 0, rssAfterFirst = 0;
    for (int i = 0; i < clients; ++i) {
        jack_client_t *client = jack_client_open("clientclose", JackNoStartServer, nullptr);
        if (!client) {
            std::fprintf(stderr, "no JACK server\n");
            return 1;
        }
        jack_port_register(client, "in", JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
        outPort = jack_port_register(client, "out", JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
        jack_set_process_callback(client, process, nullptr);
        jack_activate(client);
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        jack_deactivate(client);
        jack_client_close(client);
        if (i == 1) {
            heapAfterFirst = heapInUseKiB();
            rssAfterFirst = procStatusKiB("VmRSS:");
        }
    }
    const double closed = clients - 2;
    std::printf("heap in use %+.1f KiB, RSS %+.1f KiB per closed client\n",
                (heapInUseKiB() - heapAfterFirst) / closed,
                (procStatusKiB("VmRSS:") - rssAfterFirst) / closed);
    return 0;
}
