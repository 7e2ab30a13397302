#include "midi/jackmidisink.h"

#include "midi/jackwatch.h"

#include <jack/jack.h>
#include <jack/midiport.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <thread>

namespace {

// At least a second of what the port can carry at full density, and never
// less than 256 KiB; beyond 16 MiB a second of backlog is no longer music.
std::size_t queueBytes(jack_client_t *client)
{
    const double cycles = double(jack_get_sample_rate(client)) /
                          double(std::max<jack_nframes_t>(1, jack_get_buffer_size(client)));
    const double perCycle = double(jack_port_type_get_buffer_size(client, JACK_DEFAULT_MIDI_TYPE));
    const double wanted = cycles * perCycle;
    const double least = 256.0 * 1024, most = 16.0 * 1024 * 1024;
    return std::size_t(wanted < least ? least : wanted > most ? most : wanted);
}

} // namespace

std::unique_ptr<JackMidiSink> JackMidiSink::open(const std::string &clientName,
                                                 const std::string &portName,
                                                 const std::string &destination)
{
    jack_status_t status;
    auto *c = jack_client_open(clientName.c_str(), JackNoStartServer, &status);
    if (!c) {
        std::fprintf(stderr, "Brantolex Fixer: no JACK client for the MIDI output (status 0x%x)\n",
                     unsigned(status));
        return nullptr;
    }
    std::unique_ptr<JackMidiSink> sink(new JackMidiSink);
    sink->client = c;
    sink->destination = destination;
    sink->queue = std::make_unique<MessageQueue>(queueBytes(c));
    jack_on_info_shutdown(
        c,
        [](jack_status_t, const char *, void *self) {
            static_cast<JackMidiSink *>(self)->gone.store(true, std::memory_order_release);
        },
        sink.get());
    auto *p = jack_port_register(c, portName.c_str(), JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
    sink->port = p;
    if (!p || jack_set_process_callback(c, &JackMidiSink::process, sink.get()) != 0 ||
        jack_activate(c) != 0) {
        std::fprintf(stderr, "Brantolex Fixer: could not set up the JACK MIDI output port\n");
        return nullptr;
    }
    if (!jack_port_by_name(c, destination.c_str())) {
        std::fprintf(stderr, "Brantolex Fixer: the MIDI port \"%s\" is no longer there\n",
                     destination.c_str());
        return nullptr;
    }
    const int linked = jack_connect(c, jack_port_name(p), destination.c_str());
    if (linked != 0 && linked != EEXIST) {
        std::fprintf(stderr, "Brantolex Fixer: could not connect the MIDI output to \"%s\"\n",
                     destination.c_str());
        return nullptr;
    }
    sink->connected = true;
    return sink;
}

JackMidiSink::~JackMidiSink()
{
    if (!client)
        return;
    auto *c = static_cast<jack_client_t *>(client);
    if (serverGone()) {
        // Closing would reach into the dead server's shared memory.
        JackWatch::keep(client);
        return;
    }
    if (!connected) {
        jack_client_close(c);
        return;
    }
    // What was queued last (Note Offs when the output is left) still goes
    // out: wait until the cycle took it all, and one cycle more so that the
    // peer has read it, unless the server stopped cycling.
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(drainTimeoutMs);
    std::uint64_t emptiedAt = 0;
    bool emptied = false;
    while (!serverGone() && std::chrono::steady_clock::now() < deadline) {
        const std::uint64_t now = cycles.load(std::memory_order_acquire);
        if (!emptied && queue->empty()) {
            emptied = true;
            emptiedAt = now;
        }
        if (emptied && now >= emptiedAt + 2)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (serverGone()) {
        JackWatch::keep(client);
        return;
    }
    jack_deactivate(c);
    jack_client_close(c);
}

bool JackMidiSink::relink()
{
    if (!connected || serverGone())
        return false;
    const int linked =
        jack_connect(static_cast<jack_client_t *>(client),
                     jack_port_name(static_cast<jack_port_t *>(port)), destination.c_str());
    return linked == 0 || linked == EEXIST;
}

bool JackMidiSink::admit(std::size_t size)
{
    // A plain load first: no read-modify-write on every message.
    if (oversized.load(std::memory_order_relaxed) != 0) {
        const std::uint32_t passed = oversized.exchange(0, std::memory_order_relaxed);
        std::fprintf(stderr,
                     "Brantolex Fixer: %u MIDI message(s) too large for the JACK port were "
                     "dropped\n",
                     unsigned(passed));
    }
    const std::size_t largest = largestEvent.load(std::memory_order_relaxed);
    if (largest != 0 && size > largest) {
        std::fprintf(stderr,
                     "Brantolex Fixer: a MIDI message of %zu bytes is larger than the JACK port "
                     "carries (%zu); dropped\n",
                     size, largest);
        return false;
    }
    if (serverGone()) {
        reportDrop("the JACK server has gone away");
        return false;
    }
    return true;
}

void JackMidiSink::reportDrop(const char *why)
{
    if (!dropping)
        std::fprintf(stderr, "Brantolex Fixer: %s; MIDI output is dropped\n", why);
    dropping = true;
}

bool JackMidiSink::sendMessage(const unsigned char *bytes, std::size_t size)
{
    const Message message{bytes, size};
    return sendMessages(&message, 1);
}

bool JackMidiSink::sendMessages(const Message *messages, std::size_t count)
{
    for (std::size_t i = 0; i < count; ++i)
        if (!admit(messages[i].size))
            return false;
    if (!queue->push(messages, count)) {
        reportDrop("the JACK server is not taking MIDI output (queue full)");
        return false;
    }
    if (dropping) {
        std::fputs("Brantolex Fixer: MIDI output flows again\n", stderr);
        dropping = false;
    }
    return true;
}

int JackMidiSink::process(std::uint32_t frames, void *self)
{
    auto *sink = static_cast<JackMidiSink *>(self);
    void *buffer = jack_port_get_buffer(static_cast<jack_port_t *>(sink->port), frames);
    jack_midi_clear_buffer(buffer);
    std::size_t largest = sink->largestEvent.load(std::memory_order_relaxed);
    if (largest == 0) {
        largest = jack_midi_max_event_size(buffer);
        sink->largestEvent.store(largest, std::memory_order_relaxed);
    }
    MessageQueue &queue = *sink->queue;
    while (const std::size_t size = queue.frontSize()) {
        if (size > largest) {
            // Queued before the port's limit was known: it can never go.
            queue.skip();
            sink->oversized.fetch_add(1, std::memory_order_relaxed);
            continue;
        }
        if (jack_midi_max_event_size(buffer) < size)
            break; // the rest waits, in order, for the next cycle
        jack_midi_data_t *event = jack_midi_event_reserve(buffer, 0, size);
        if (!event)
            break;
        queue.pop(event);
    }
    sink->cycles.fetch_add(1, std::memory_order_release);
    return 0;
}
