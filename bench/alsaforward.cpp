// The least any router on the ALSA sequencer can do: one thread that waits
// in a blocking read and writes each event, as it came, to its port's
// subscribers at once. The ALSA benchmark measures the router against it.
// Usage: bench_alsaforward [CLIENT-NAME] [SCHED_FIFO-PRIORITY, 0: normal]
#include <alsa/asoundlib.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>

#include <pthread.h>
#include <sched.h>

namespace {

volatile std::sig_atomic_t stop = 0;

} // namespace

int main(int argc, char **argv)
{
    const char *name = argc > 1 ? argv[1] : "Bench Forward";
    const int priority = argc > 2 ? std::atoi(argv[2]) : 0;
    if (priority > 0) {
        sched_param param{};
        param.sched_priority = priority;
        if (pthread_setschedparam(pthread_self(), SCHED_FIFO, &param) != 0)
            std::fprintf(stderr, "alsaforward: SCHED_FIFO %d refused\n", priority);
    }
    snd_seq_t *seq = nullptr;
    if (snd_seq_open(&seq, "default", SND_SEQ_OPEN_DUPLEX, 0) < 0) {
        std::fprintf(stderr, "alsaforward: no ALSA sequencer\n");
        return 1;
    }
    snd_seq_set_client_name(seq, name);
    const unsigned int type = SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_APPLICATION;
    const int in = snd_seq_create_simple_port(
        seq, "in", SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE, type);
    const int out = snd_seq_create_simple_port(
        seq, "out", SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ, type);
    if (in < 0 || out < 0)
        return 1;
    // No SA_RESTART: the signal ends the blocking read.
    struct sigaction action
    {
    };
    action.sa_handler = [](int) { stop = 1; };
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    while (!stop) {
        snd_seq_event_t *ev = nullptr;
        if (snd_seq_event_input(seq, &ev) < 0 || !ev)
            continue;
        snd_seq_ev_set_source(ev, out);
        snd_seq_ev_set_subs(ev);
        snd_seq_ev_set_direct(ev);
        snd_seq_event_output_direct(seq, ev);
    }
    snd_seq_close(seq);
    return 0;
}
