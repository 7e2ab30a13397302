// Sends one burst into a router's input in one go, as fast as JACK carries
// it, and checks what comes out of the router's output: how many messages,
// and how many arrived intact and in order.
// Usage: bench_burstpeer TO_PORT FROM_PORT cc|sysex COUNT [SIZE]
#include "midi/jackmidisink.h"
#include "midi/messagequeue.h"

#include <jack/jack.h>
#include <jack/midiport.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

using Message = std::vector<unsigned char>;
using Clock = std::chrono::steady_clock;

const Message ping{0xB0, 0x7F, 0x7F}; // no burst uses controller 127

struct Receiver
{
    jack_port_t *port = nullptr;
    MessageQueue queue{64u << 20};
};

int receive(jack_nframes_t frames, void *arg)
{
    auto *r = static_cast<Receiver *>(arg);
    void *buffer = jack_port_get_buffer(r->port, frames);
    const jack_nframes_t count = jack_midi_get_event_count(buffer);
    for (jack_nframes_t i = 0; i < count; ++i) {
        jack_midi_event_t event;
        if (jack_midi_event_get(&event, buffer, i) == 0)
            r->queue.push(event.buffer, event.size);
    }
    return 0;
}

// Takes what arrived until nothing has come for the quiet time.
std::vector<Message> collect(Receiver &r, std::size_t wanted, std::chrono::milliseconds quiet)
{
    std::vector<Message> got;
    auto last = Clock::now();
    while (got.size() < wanted && Clock::now() - last < quiet) {
        while (const std::size_t size = r.queue.frontSize()) {
            Message m(size);
            r.queue.pop(m.data());
            got.push_back(std::move(m));
            last = Clock::now();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return got;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 5) {
        std::fprintf(stderr, "usage: %s TO_PORT FROM_PORT cc|sysex COUNT [SIZE]\n", argv[0]);
        return 2;
    }
    const std::string to = argv[1], from = argv[2], kind = argv[3];
    const int count = std::atoi(argv[4]);
    const int size = argc > 5 ? std::atoi(argv[5]) : 1000;

    Receiver receiver;
    jack_client_t *client = jack_client_open("Bench Burst Sink", JackNoStartServer, nullptr);
    if (!client) {
        std::fprintf(stderr, "burstpeer: no JACK server\n");
        return 1;
    }
    receiver.port =
        jack_port_register(client, "in", JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
    jack_set_process_callback(client, &receive, &receiver);
    if (!receiver.port || jack_activate(client) != 0 ||
        jack_connect(client, from.c_str(), jack_port_name(receiver.port)) != 0) {
        std::fprintf(stderr, "burstpeer: cannot listen to %s\n", from.c_str());
        return 1;
    }
    auto source = JackMidiSink::open("Bench Burst Source", "out", to);
    if (!source)
        return 1;

    // A slowly opened client may never cycle: the ping proves the path.
    bool flowing = false;
    for (int attempt = 0; attempt < 50 && !flowing; ++attempt) {
        source->sendMessage(ping.data(), ping.size());
        flowing = !collect(receiver, 1, std::chrono::milliseconds(200)).empty();
    }
    if (!flowing) {
        std::fprintf(stderr, "burstpeer: nothing comes back through %s\n", to.c_str());
        return 1;
    }
    collect(receiver, 1000, std::chrono::milliseconds(100));

    std::vector<Message> sent;
    for (int i = 0; i < count; ++i) {
        if (kind == "sysex") {
            Message m(std::size_t(size), static_cast<unsigned char>(i % 100 + 1));
            m.front() = 0xF0;
            m.back() = 0xF7;
            sent.push_back(std::move(m));
        } else {
            sent.push_back({0xB0, static_cast<unsigned char>(i % 120 + 1),
                            static_cast<unsigned char>(i % 128)});
        }
    }
    int queued = 0;
    for (const Message &m : sent)
        queued += source->sendMessage(m.data(), m.size()) ? 1 : 0;
    const std::vector<Message> got = collect(receiver, sent.size(), std::chrono::seconds(2));

    // In order: each arrival must match the next sent message not yet seen.
    std::size_t next = 0, intact = 0;
    for (const Message &m : got) {
        std::size_t k = next;
        while (k < sent.size() && sent[k] != m)
            ++k;
        if (k < sent.size()) {
            ++intact;
            next = k + 1;
        }
    }
    std::printf("sent %d queued %d received %zu intact %zu\n", count, queued, got.size(), intact);
    source.reset();
    jack_client_close(client);
    return 0;
}
