#include "midi/jackclient.h"

#include "midi/midisystem.h"

#include <jack/jack.h>
#include <jack/midiport.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

namespace {

constexpr const char *ownClient = MidiSystem::jackClient;
using MidiSystem::inPortName;
using MidiSystem::outPortName;
using MidiSystem::virtualInPortName;
constexpr int drainTimeoutMs = 250;
constexpr std::size_t backlogPerCycle = 1024;

jack_client_t *jc(void *c)
{
    return static_cast<jack_client_t *>(c);
}

jack_port_t *jp(void *p)
{
    return static_cast<jack_port_t *>(p);
}

// A second of what the port can carry at full density, at least 256 KiB,
// at most 16 MiB: beyond that a backlog is no longer music.
std::size_t queueBytes(jack_client_t *client)
{
    const double cycles = double(jack_get_sample_rate(client)) /
                          double(std::max<jack_nframes_t>(1, jack_get_buffer_size(client)));
    const double perCycle = double(jack_port_type_get_buffer_size(client, JACK_DEFAULT_MIDI_TYPE));
    const double wanted = cycles * perCycle;
    const double least = 256.0 * 1024, most = 16.0 * 1024 * 1024;
    return std::size_t(wanted < least ? least : wanted > most ? most : wanted);
}

std::vector<std::string> names(const char **ports)
{
    std::vector<std::string> list;
    if (!ports)
        return list;
    for (const char **p = ports; *p; ++p)
        if (std::strncmp(*p, ownClient, std::strlen(ownClient)) != 0)
            list.emplace_back(*p);
    jack_free(ports);
    return list;
}

// Looking for a server that is not there (yet) is no error worth a line.
std::atomic<bool> probing{false};

void jackMessage(const char *text)
{
    if (!probing.load(std::memory_order_relaxed))
        std::fprintf(stderr, "%s\n", text);
}

} // namespace

JackClient::JackClient(std::size_t queueBytes)
    : NoteOutput(queueBytes), carried(queueBytes), piece(new unsigned char[1u << 20]),
      pieceCapacity(1u << 20)
{
}

std::unique_ptr<JackClient> JackClient::open(InputHandler input, void *user,
                                             std::function<void()> portsChanged,
                                             std::atomic<bool> *lost)
{
    jack_set_error_function(jackMessage);
    jack_set_info_function(jackMessage);
    jack_status_t status;
    probing = true;
    jack_client_t *c = jack_client_open(ownClient, JackNoStartServer, &status);
    probing = false;
    if (!c)
        return nullptr;
    std::unique_ptr<JackClient> self(new JackClient(queueBytes(c)));
    self->client = c;
    self->input = input;
    self->user = user;
    self->portsChanged = std::move(portsChanged);
    self->lost = lost;
    jack_on_info_shutdown(
        c,
        [](jack_status_t, const char *, void *me) {
            auto *client = static_cast<JackClient *>(me);
            client->gone.store(true, std::memory_order_release);
            client->lost->store(true, std::memory_order_release);
        },
        self.get());
    jack_set_port_registration_callback(
        c,
        [](jack_port_id_t id, int registered, void *me) {
            auto *client = static_cast<JackClient *>(me);
            std::lock_guard<std::mutex> lock(client->notifyMutex);
            if (registered)
                if (jack_port_t *port = jack_port_by_id(jc(client->client), id))
                    client->appeared.emplace_back(jack_port_name(port));
            if (client->portsChanged)
                client->portsChanged();
        },
        self.get());
    jack_set_port_rename_callback(
        c,
        [](jack_port_id_t, const char *, const char *newName, void *me) {
            auto *client = static_cast<JackClient *>(me);
            std::lock_guard<std::mutex> lock(client->notifyMutex);
            client->appeared.emplace_back(newName);
            if (client->portsChanged)
                client->portsChanged();
        },
        self.get());
    self->inPort = jack_port_register(c, inPortName, JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
    self->outPort = jack_port_register(c, outPortName, JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
    if (!self->inPort.load() || !self->outPort ||
        jack_set_process_callback(c, &JackClient::process, self.get()) != 0 ||
        jack_activate(c) != 0) {
        std::fputs("Brantolex Fixer: could not set up the JACK MIDI ports\n", stderr);
        self->silence();
        jack_client_close(c);
        self->client = nullptr;
        return nullptr;
    }
    return self;
}

void JackClient::dispose(std::unique_ptr<JackClient> client)
{
    if (!client)
        return;
    client->silence();
    if (!client->serverGone())
        return; // the destructor closes it
    static std::mutex mutex;
    static auto *kept = new std::vector<JackClient *>;
    std::lock_guard<std::mutex> lock(mutex);
    kept->push_back(client.release());
}

JackClient::~JackClient()
{
    silence();
    if (!client)
        return;
    drain();
    jack_deactivate(jc(client));
    jack_client_close(jc(client));
}

void JackClient::silence()
{
    std::lock_guard<std::mutex> lock(notifyMutex);
    portsChanged = nullptr;
}

std::vector<std::string> JackClient::midiPorts(bool sources) const
{
    if (serverGone())
        return {};
    return names(jack_get_ports(jc(client), nullptr, JACK_DEFAULT_MIDI_TYPE,
                                sources ? JackPortIsOutput : JackPortIsInput));
}

std::vector<std::string> JackClient::takeAppeared()
{
    std::lock_guard<std::mutex> lock(notifyMutex);
    std::vector<std::string> list;
    list.swap(appeared);
    return list;
}

bool JackClient::connect(void *from, void *to, const std::string &other, bool otherIsSource)
{
    (void)to;
    if (serverGone())
        return false;
    const std::string own = jack_port_name(jp(from));
    const int linked = otherIsSource ? jack_connect(jc(client), other.c_str(), own.c_str())
                                     : jack_connect(jc(client), own.c_str(), other.c_str());
    if (linked != 0 && linked != EEXIST) {
        std::fprintf(stderr, "Brantolex Fixer: could not connect to the MIDI port \"%s\"\n",
                     other.c_str());
        return false;
    }
    return true;
}

bool JackClient::connectInput(const std::string &from)
{
    if (serverGone())
        return false;
    const bool toVirtual = from.empty();
    if (toVirtual != virtualInput) {
        // Others connect to the virtual input by its name: a port of that
        // name takes the old one's place (not every JACK renames ports).
        jack_port_t *next =
            jack_port_register(jc(client), toVirtual ? virtualInPortName : inPortName,
                               JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
        if (!next) {
            std::fputs("Brantolex Fixer: could not make the JACK input port\n", stderr);
            return false;
        }
        void *old = inPort.exchange(next);
        waitCycles(2); // the cycle no longer reads the old port
        jack_port_unregister(jc(client), jp(old));
        virtualInput = toVirtual;
    } else if (!toVirtual) {
        // The virtual input keeps what others connected to it.
        jack_port_disconnect(jc(client), jp(inPort.load()));
    }
    source = from;
    return toVirtual || connect(inPort.load(), nullptr, source, true);
}

void JackClient::disconnectInput()
{
    source.clear();
    if (!serverGone() && !virtualInput)
        jack_port_disconnect(jc(client), jp(inPort.load()));
}

bool JackClient::relinkInput()
{
    return !source.empty() && connect(inPort.load(), nullptr, source, true);
}

bool JackClient::connectOutput(const std::string &to)
{
    if (serverGone())
        return false;
    disconnectOutput();
    destination = to;
    return connect(outPort, nullptr, destination, false);
}

void JackClient::disconnectOutput()
{
    // What was queued for the old destination (Note Offs above all) reaches it first.
    drain();
    destination.clear();
    if (!serverGone())
        jack_port_disconnect(jc(client), jp(outPort));
}

bool JackClient::relink()
{
    return !destination.empty() && connect(outPort, nullptr, destination, false);
}

void JackClient::waitCycles(std::uint64_t count)
{
    const std::uint64_t until = cycles.load(std::memory_order_acquire) + count;
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(drainTimeoutMs);
    while (!serverGone() && cycles.load(std::memory_order_acquire) < until &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

void JackClient::drain()
{
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(drainTimeoutMs);
    std::uint64_t emptiedAt = 0;
    bool emptied = false;
    while (!serverGone() && std::chrono::steady_clock::now() < deadline) {
        const std::uint64_t now = cycles.load(std::memory_order_acquire);
        if (!emptied && sent.empty() && carried.empty()) {
            emptied = true;
            emptiedAt = now;
        }
        // One cycle more, so that the peer has read it.
        if (emptied && now >= emptiedAt + 2)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

bool JackClient::writeNow(const unsigned char *bytes, std::size_t size)
{
    if (jack_midi_max_event_size(buffer) < size)
        return false;
    jack_midi_event_write(buffer, lastFrame, bytes, size);
    return true;
}

// What waited goes out a few KB a cycle (at least one message), far above
// the wire's rate: some JACK servers (PipeWire's) lose a whole cycle's
// output when the buffer is full.
bool JackClient::takeBacklogRoom(std::size_t size)
{
    if (backlogRoom < size && backlogRoom != backlogStart)
        return false;
    backlogRoom -= std::min(backlogRoom, size);
    return true;
}

// What earlier cycles could not take, at the cycle's start: the input that
// waited and what other threads sent, in the order they came. A message
// larger than an event goes out in pieces.
void JackClient::drainBacklog()
{
    auto write = [this](const unsigned char *bytes, std::size_t size) {
        return takeBacklogRoom(size) && writeNow(bytes, size);
    };
    // A message sent by another thread goes once the input carried before it has.
    auto due = [this](std::uint32_t stamp) { return std::int32_t(stamp - carriedOut) <= 0; };
    for (;;) {
        if (!drainSent(write, due))
            return;
        if (pieceDone < pieceSize) {
            const std::size_t n = std::min(jack_midi_max_event_size(buffer), pieceSize - pieceDone);
            if (n == 0 || !takeBacklogRoom(n))
                return;
            jack_midi_event_write(buffer, lastFrame, piece.get() + pieceDone, n);
            pieceDone += n;
            if (pieceDone == pieceSize)
                ++carriedOut;
            continue;
        }
        const std::size_t size = carried.frontSize();
        if (size == 0)
            return;
        if (size <= largest) {
            if (jack_midi_max_event_size(buffer) < size || !takeBacklogRoom(size))
                return;
            jack_midi_data_t *event = jack_midi_event_reserve(buffer, lastFrame, size);
            if (!event)
                return;
            carried.pop(event);
            ++carriedOut;
            continue;
        }
        carried.pop(piece.get()); // forward() took nothing larger than the piece buffer
        pieceSize = size;
        pieceDone = 0;
    }
}

bool JackClient::forward(const unsigned char *bytes, std::size_t size, std::uint32_t frame)
{
    if (size == 0)
        return true;
    if (!inCycle.load(std::memory_order_relaxed) || !pthread_equal(pthread_self(), cycleThread))
        return send(bytes, size); // not from the port's own cycle
    if (!admit(bytes, size))
        return true;
    lastFrame = std::max(lastFrame, frame);
    // Behind anything that waits, so nothing overtakes.
    if (carried.empty() && sent.empty() && pieceDone >= pieceSize && size <= largest &&
        writeNow(bytes, size))
        return true;
    if (size > pieceCapacity || !carried.push(bytes, size)) {
        countDrop();
        return false;
    }
    carriedIn.fetch_add(1, std::memory_order_release);
    return true;
}

int JackClient::process(std::uint32_t frames, void *me)
{
    auto *self = static_cast<JackClient *>(me);
    self->buffer = jack_port_get_buffer(jp(self->outPort), frames);
    jack_midi_clear_buffer(self->buffer);
    if (self->largest == 0)
        self->largest = jack_midi_max_event_size(self->buffer);
    self->lastFrame = 0;
    self->backlogRoom = self->backlogStart =
        std::min<std::size_t>(backlogPerCycle, self->largest / 2);
    self->cycleThread = pthread_self();
    self->inCycle.store(true, std::memory_order_relaxed);

    // What waited goes ahead of this cycle's input.
    self->drainBacklog();

    void *in = jack_port_get_buffer(jp(self->inPort.load(std::memory_order_acquire)), frames);
    const std::uint32_t count = jack_midi_get_event_count(in);
    for (std::uint32_t i = 0; i < count; ++i) {
        jack_midi_event_t event;
        if (jack_midi_event_get(&event, in, i) == 0)
            self->input(self->user, event.buffer, event.size, event.time);
    }
    self->inCycle.store(false, std::memory_order_relaxed);
    self->buffer = nullptr;
    self->cycles.fetch_add(1, std::memory_order_release);
    return 0;
}
