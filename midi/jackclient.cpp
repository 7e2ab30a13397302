#include "midi/jackclient.h"

#include "app/say.h"
#include "midi/midisystem.h"

#include <jack/jack.h>
#include <jack/metadata.h>
#include <jack/midiport.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

namespace {

constexpr const char *ownClient = MidiSystem::jackClient;
using MidiSystem::inPortName;
using MidiSystem::outPortName;
using MidiSystem::virtualInPortName;
constexpr int waitTimeoutMs = 250;

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

// The JACK library's own lines ("Cannot read socket fd", "CheckRes error",
// five of them at each server stop) say nothing a user can act on: they are
// counted, and the program says a server's loss once in its own words.
std::atomic<unsigned> libraryLines{0};

void jackMessage(const char *)
{
    libraryLines.fetch_add(1, std::memory_order_relaxed);
}

// Each port also answers to the name it had when the input and the output
// were clients of their own, so that connections saved by patchbays and
// sessions under those names still find it.
std::string formerName(const char *port)
{
    const bool output = std::strcmp(port, outPortName) == 0;
    return std::string(output ? MidiSystem::outClient : MidiSystem::inClient) + ":" + port;
}

const char *prettyName(const char *port)
{
    if (std::strcmp(port, outPortName) == 0)
        return "Brantolex Fixer: to the unit";
    if (std::strcmp(port, virtualInPortName) == 0)
        return "Brantolex Fixer: virtual input";
    return "Brantolex Fixer: input";
}

// A call into libjack that may not return: an open on a server that took
// the connection and does not answer (one still starting, or stuck) waits
// for as long as that lasts, and a close of a dead server's client now and
// then deadlocks inside the library. It runs on a thread of its own and is
// waited for a while. Given up on, giveUp runs at once and late on that
// thread once the call returns, if it ever does; both under one lock.
enum class Bounded { InTime, GivenUp, NoThread };
Bounded callWithin(std::chrono::milliseconds within, std::function<void()> call,
                   const std::function<void()> &giveUp, std::function<void()> late = {})
{
    struct State
    {
        std::mutex mutex;
        std::condition_variable done;
        bool finished = false, givenUp = false;
    };
    auto state = std::make_shared<State>();
    try {
        std::thread([state, call = std::move(call), late = std::move(late)] {
            call();
            std::lock_guard<std::mutex> lock(state->mutex);
            state->finished = true;
            if (state->givenUp && late)
                late();
            state->done.notify_all();
        }).detach();
    } catch (const std::system_error &) {
        return Bounded::NoThread;
    }
    std::unique_lock<std::mutex> lock(state->mutex);
    if (state->done.wait_for(lock, within, [&] { return state->finished; }))
        return Bounded::InTime;
    state->givenUp = true;
    giveUp();
    return Bounded::GivenUp;
}

// An open given up on closes what it gets itself; no other starts meanwhile.
std::atomic<bool> openGivenUp{false};

jack_client_t *openClient(std::chrono::milliseconds within)
{
    if (openGivenUp.load())
        return nullptr;
    auto got = std::make_shared<jack_client_t *>(nullptr);
    const Bounded opened = callWithin(
        within, [got] { *got = jack_client_open(ownClient, JackNoStartServer, nullptr); },
        [] { openGivenUp = true; },
        [got] {
            if (*got)
                jack_client_close(*got);
            openGivenUp = false;
        });
    return opened == Bounded::InTime ? *got : nullptr;
}

std::atomic<int> closesHanging{0};

// After the server went away a close still ends libjack's threads and frees
// what it held of the dead server; one left hanging keeps the library's
// threads stuck with it, and they call nothing back.
void closeAfterServer(jack_client_t *client, std::chrono::milliseconds within)
{
    // Without a thread the handle is left as it is.
    if (callWithin(within, [client] { jack_client_close(client); },
                   [] { closesHanging.fetch_add(1); }) == Bounded::GivenUp)
        say(QStringLiteral("Brantolex Fixer: the JACK library hung closing the client of the "
                           "server that stopped; JACK can be used again once Brantolex Fixer "
                           "is started again"));
}

} // namespace

bool JackClient::closeLeftHanging()
{
    return closesHanging.load() > 0 || openGivenUp.load();
}

std::unique_ptr<JackClient> JackClient::open(const Hooks &hooks)
{
    jack_set_error_function(jackMessage);
    jack_set_info_function(jackMessage);
    jack_client_t *c = openClient(std::chrono::seconds(3));
    if (!c)
        return nullptr;
    std::unique_ptr<JackClient> self(new JackClient);
    self->client = c;
    self->input = hooks.input;
    self->user = hooks.user;
    self->portsChanged = hooks.portsChanged;
    self->lost = hooks.lost;
    self->wakeWorker = hooks.lostNow;
    JackClient *raw = self.get();
    // A tenth of a second of the server's time for a new link.
    self->out = std::make_unique<JackOutput>(queueBytes(c), jack_get_sample_rate(c) / 10, self->ended,
                                             [raw] { return raw->relinkOutput(); });
    // jackd calls the informative one; PipeWire's JACK only the plain one,
    // for a SIGTERM and a SIGKILL alike. Either ends the client, once: the
    // flags are only ever set.
    jack_on_info_shutdown(
        c,
        [](jack_status_t, const char *, void *me) { static_cast<JackClient *>(me)->serverEnded(); },
        raw);
    jack_on_shutdown(
        c, [](void *me) { static_cast<JackClient *>(me)->serverEnded(); }, raw);
    // A port that went is still listed for a while after its news (always
    // when its client closed): the news is trusted, not the list.
    jack_set_port_registration_callback(
        c,
        [](jack_port_id_t id, int registered, void *me) {
            auto *client = static_cast<JackClient *>(me);
            std::lock_guard<std::mutex> lock(client->notifyMutex);
            if (jack_port_t *port = jack_port_by_id(jc(client->client), id)) {
                const std::string name = jack_port_name(port);
                auto &gone = client->departed;
                gone.erase(std::remove(gone.begin(), gone.end(), name), gone.end());
                if (registered)
                    client->appeared.push_back(name);
                else
                    gone.push_back(name);
            }
            if (client->portsChanged)
                client->portsChanged();
        },
        raw);
    jack_set_port_connect_callback(
        c,
        [](jack_port_id_t a, jack_port_id_t b, int connected, void *me) {
            auto *client = static_cast<JackClient *>(me);
            jack_port_t *own = jp(client->outPort);
            jack_port_t *first = jack_port_by_id(jc(client->client), a);
            jack_port_t *second = jack_port_by_id(jc(client->client), b);
            if (first != own && second != own)
                return;
            std::lock_guard<std::mutex> lock(client->notifyMutex);
            client->receiverLinked(first == own ? second : first, connected != 0);
            if (client->portsChanged)
                client->portsChanged();
        },
        raw);
    // Only counted: may come from the server's real-time thread.
    jack_set_xrun_callback(
        c,
        [](void *me) {
            static_cast<JackClient *>(me)->out->xrunHappened();
            return 0;
        },
        raw);
    jack_set_port_rename_callback(
        c,
        [](jack_port_id_t, const char *, const char *newName, void *me) {
            auto *client = static_cast<JackClient *>(me);
            std::lock_guard<std::mutex> lock(client->notifyMutex);
            client->appeared.emplace_back(newName);
            if (client->portsChanged)
                client->portsChanged();
        },
        raw);
    self->inPort = jack_port_register(c, inPortName, JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
    self->outPort = jack_port_register(c, outPortName, JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
    if (!self->inPort.load() || !self->outPort ||
        jack_set_process_callback(c, &JackClient::process, raw) != 0 || jack_activate(c) != 0) {
        say(QStringLiteral("Brantolex Fixer: could not set up the JACK MIDI ports"));
        self->silence();
        jack_client_close(c);
        self->client = nullptr;
        return nullptr;
    }
    self->activated = std::chrono::steady_clock::now();
    self->activatedAtFrame = jack_frame_time(c);
    self->nameForPatchbays(self->inPort.load());
    self->nameForPatchbays(self->outPort);
    return self;
}

void JackClient::nameForPatchbays(void *port)
{
    const char *shortName = jack_port_short_name(jp(port));
    jack_port_set_alias(jp(port), formerName(shortName).c_str());
    jack_set_property(jc(client), jack_port_uuid(jp(port)), JACK_METADATA_PRETTY_NAME,
                      prettyName(shortName), "text/plain");
}

JackClient::~JackClient()
{
    silence();
    if (!client)
        return;
    if (serverGone()) {
        // libjack cancels its cycle thread at the close, wherever it is: one
        // still running a cycle the dead server began may hold the library's
        // lock forever. It is let come to rest first (at most 200 ms).
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(200);
        for (std::uint64_t seen = out->cycles() + 1; seen != out->cycles() &&
                                                     std::chrono::steady_clock::now() < until;) {
            seen = out->cycles();
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        closeAfterServer(jc(client), std::chrono::seconds(2));
        return;
    }
    out->drain();
    jack_deactivate(jc(client));
    jack_client_close(jc(client));
}

void JackClient::silence()
{
    std::lock_guard<std::mutex> lock(notifyMutex);
    portsChanged = nullptr;
}

bool JackClient::neverCycled(std::chrono::milliseconds after)
{
    if (stallReported || serverGone() || out->cycles() != 0 ||
        std::chrono::steady_clock::now() - activated < after)
        return false;
    // Only while the server itself runs its cycles: a server that is stopped
    // (not gone) would not answer a new client either.
    const std::uint32_t ran = jack_frame_time(jc(client)) - activatedAtFrame;
    if (ran < jack_get_sample_rate(jc(client)))
        return false;
    stallReported = true;
    return true;
}

std::vector<std::string> JackClient::midiPorts(bool sources) const
{
    if (serverGone())
        return {};
    return names(jack_get_ports(jc(client), nullptr, JACK_DEFAULT_MIDI_TYPE,
                                sources ? JackPortIsOutput : JackPortIsInput));
}

void JackClient::listPorts(QStringList &inputs, QStringList &outputs, QStringList &appeared)
{
    const std::vector<std::string> sources = midiPorts(true), sinks = midiPorts(false);
    std::vector<std::string> gone;
    {
        std::lock_guard<std::mutex> lock(notifyMutex);
        // Forgotten once the list agrees.
        const auto listed = [&](const std::string &name) {
            return std::count(sources.begin(), sources.end(), name) +
                       std::count(sinks.begin(), sinks.end(), name) >
                   0;
        };
        departed.erase(std::remove_if(departed.begin(), departed.end(),
                                      [&](const std::string &name) { return !listed(name); }),
                       departed.end());
        gone = departed;
    }
    const auto add = [&gone](QStringList &list, const std::vector<std::string> &names) {
        for (const std::string &name : names)
            if (std::find(gone.begin(), gone.end(), name) == gone.end())
                list << MidiSystem::fromPortName(name);
    };
    add(inputs, sources);
    add(outputs, sinks);
    for (const std::string &name : takeAppeared())
        appeared << MidiSystem::fromPortName(name);
}

// Under notifyMutex. The count is kept from the server's news: asking the
// library in the cycle may lock (PipeWire's does).
void JackClient::receiverLinked(void *port, bool connected)
{
    if (connected) {
        if (port && std::find(receivers.begin(), receivers.end(), port) == receivers.end())
            receivers.push_back(port);
        out->linkMade();
    } else if (port) {
        receivers.erase(std::remove(receivers.begin(), receivers.end(), port), receivers.end());
    } else {
        receivers.clear(); // which one is unknown: connected to nothing, to be safe
    }
    out->setReceivers(int(receivers.size()));
}

bool JackClient::openInput(const QString &name)
{
    return connectInput(MidiSystem::toPortName(name));
}

NoteOutput *JackClient::openOutput(const QString &name)
{
    return connectOutput(MidiSystem::toPortName(name)) ? out.get() : nullptr;
}

std::vector<std::string> JackClient::takeAppeared()
{
    std::lock_guard<std::mutex> lock(notifyMutex);
    std::vector<std::string> list;
    list.swap(appeared);
    return list;
}

void JackClient::serverEnded()
{
    ended.store(true, std::memory_order_release);
    lost->store(true, std::memory_order_release);
    if (wakeWorker)
        wakeWorker();
}

bool JackClient::connect(void *own, const std::string &other, bool otherIsSource)
{
    if (serverGone())
        return false;
    const std::string ownName = jack_port_name(jp(own));
    const int linked = otherIsSource ? jack_connect(jc(client), other.c_str(), ownName.c_str())
                                     : jack_connect(jc(client), ownName.c_str(), other.c_str());
    if (linked != 0 && linked != EEXIST) {
        // A port registered but not yet active refuses a few times: said once.
        if (refusedPort != other)
            say(QStringLiteral("Brantolex Fixer: could not connect to the MIDI port \"%1\"")
                    .arg(QString::fromStdString(other)));
        refusedPort = other;
        return false;
    }
    if (refusedPort == other)
        refusedPort.clear();
    return true;
}

bool JackClient::connectInput(const std::string &from)
{
    if (serverGone())
        return false;
    disconnectInput();
    const bool toVirtual = from.empty();
    if (toVirtual != virtualInput) {
        // Others connect to the virtual input by its name: a port of that
        // name takes the old one's place (not every JACK renames ports).
        jack_port_t *next =
            jack_port_register(jc(client), toVirtual ? virtualInPortName : inPortName,
                               JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
        if (!next) {
            say(QStringLiteral("Brantolex Fixer: could not make the JACK input port"));
            return false;
        }
        void *old = inPort.exchange(next);
        waitCycles(2); // the cycle no longer reads the old port
        jack_port_unregister(jc(client), jp(old));
        nameForPatchbays(next);
        virtualInput = toVirtual;
    }
    source = from;
    if (!toVirtual && !connect(inPort.load(), source, true))
        return false;
    listening.store(true, std::memory_order_release);
    return true;
}

void JackClient::disconnectInput()
{
    source.clear();
    if (serverGone())
        return;
    // The virtual input keeps what others connected to it; it just stops
    // listening.
    const bool wasListening = listening.exchange(false, std::memory_order_acq_rel);
    if (!virtualInput)
        jack_port_disconnect(jc(client), jp(inPort.load()));
    // A disconnection takes effect at a cycle's start: what the old source
    // had in the current cycle is still routed.
    if (wasListening)
        waitCycles(2);
}

bool JackClient::relinkInput()
{
    return !source.empty() && connect(inPort.load(), source, true);
}

bool JackClient::connectOutput(const std::string &to)
{
    if (serverGone())
        return false;
    destination = to;
    if (linkOutput())
        return true;
    destination.clear();
    return false;
}

void JackClient::disconnectOutput()
{
    // What was queued for the old destination (Note Offs above all) reaches it first.
    out->drain();
    destination.clear();
    if (!serverGone())
        jack_port_disconnect(jc(client), jp(outPort));
}

bool JackClient::relinkOutput()
{
    return !destination.empty() && linkOutput();
}

bool JackClient::linkOutput()
{
    if (!connect(outPort, destination, false))
        return false;
    // Counted now: the server's news of it comes a moment later.
    std::lock_guard<std::mutex> lock(notifyMutex);
    receiverLinked(jack_port_by_name(jc(client), destination.c_str()), true);
    return true;
}

void JackClient::waitCycles(std::uint64_t count)
{
    const std::uint64_t until = out->cycles() + count;
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(waitTimeoutMs);
    while (!serverGone() && out->cycles() < until && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

int JackClient::process(std::uint32_t frames, void *me)
{
    auto *self = static_cast<JackClient *>(me);
    jack_port_t *outPort = jp(self->outPort);
    self->out->beginCycle(jack_port_get_buffer(outPort, frames), frames);
    if (self->listening.load(std::memory_order_acquire)) {
        void *in = jack_port_get_buffer(jp(self->inPort.load(std::memory_order_acquire)), frames);
        const std::uint32_t count = jack_midi_get_event_count(in);
        for (std::uint32_t i = 0; i < count; ++i) {
            jack_midi_event_t event;
            if (jack_midi_event_get(&event, in, i) == 0)
                self->input(self->user, event.buffer, event.size, event.time);
        }
    }
    self->out->endCycle();
    return 0;
}
