#include "midi/alsasequencer.h"

#include "app/say.h"
#include "midi/alsaevents.h"
#include "midi/alsaroom.h"
#include "midi/midisystem.h"
#include "midi/realtime.h"

#include <alsa/asoundlib.h>

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <limits>
#include <vector>

namespace AlsaSequencer {

namespace {

using MidiSystem::inClient;
using MidiSystem::inPortName;
using MidiSystem::outClient;
using MidiSystem::outPortName;
using MidiSystem::virtualInPortName;
constexpr const char *watchClient = "Brantolex helper watch";
// The largest message read in one piece; larger sysex arrive in pieces.
constexpr std::size_t largestRead = 1u << 20;
constexpr std::size_t encodeBuffer = 64;
constexpr std::size_t sysexPiece = 256;

snd_seq_t *sq(void *s)
{
    return static_cast<snd_seq_t *>(s);
}

snd_seq_t *openSeq(const char *name, int mode)
{
    snd_seq_t *seq = nullptr;
    if (snd_seq_open(&seq, "default", mode, SND_SEQ_NONBLOCK) < 0)
        return nullptr;
    snd_seq_set_client_name(seq, name);
    return seq;
}

// A burst from a sender that does not wait must fit the pools.
void sizePools(snd_seq_t *seq, bool input)
{
    if (input) {
        snd_seq_set_client_pool_input(seq, 2000);
        snd_seq_set_input_buffer_size(seq, 4u << 20);
    } else {
        snd_seq_set_client_pool_output(seq, 2000);
        snd_seq_set_output_buffer_size(seq, 1u << 20);
    }
}

bool listed(unsigned int type)
{
    return type & (SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_SYNTH |
                   SND_SEQ_PORT_TYPE_APPLICATION);
}

std::string portName(snd_seq_client_info_t *client, snd_seq_port_info_t *port)
{
    return std::string(snd_seq_client_info_get_name(client)) + ":" +
           snd_seq_port_info_get_name(port) + " " +
           std::to_string(snd_seq_port_info_get_client(port)) + ":" +
           std::to_string(snd_seq_port_info_get_port(port));
}

// The address of the port that carries the name.
bool findAddress(snd_seq_t *seq, const std::string &name, bool source, snd_seq_addr_t &addr)
{
    bool found = false;
    const unsigned int caps = source ? SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ
                                     : SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE;
    eachPort(seq, [&](const Port &port) {
        if (!found && (port.capability & caps) == caps && port.listed == name) {
            addr.client = static_cast<unsigned char>(port.client);
            addr.port = static_cast<unsigned char>(port.port);
            found = true;
        }
    });
    return found;
}

void wake(int fd)
{
    const std::uint64_t one = 1;
    if (fd >= 0 && write(fd, &one, sizeof one) < 0)
        return;
}

// A raw MIDI buffer in one int, for the sink's writer to read while the
// port is looked up again.
int pack(const RawBuffer &b)
{
    return b.card << 16 | b.device << 8 | (b.subdevice & 0xFF);
}

RawBuffer unpack(int packed)
{
    const int sub = packed & 0xFF;
    return {packed >> 16, packed >> 8 & 0xFF, sub == 0xFF ? -1 : sub};
}

// Where a kernel client's port on a card puts what it is sent, -1 for a
// user client (it has a pool to ask) and for ports that are no raw MIDI.
// The sequencer numbers a card's kernel clients from 16, 8 to a card: the
// card's raw MIDI ports (USB, DIN) are its first, 32 ports to a device,
// each writing to its device's output; a VirMIDI device has a client of its
// own, by device, writing to the inputs of those reading it.
int rawBufferOf(snd_seq_t *seq, const snd_seq_addr_t &addr)
{
    snd_seq_client_info_t *client;
    snd_seq_port_info_t *port;
    snd_seq_client_info_alloca(&client);
    snd_seq_port_info_alloca(&port);
    if (snd_seq_get_any_client_info(seq, addr.client, client) < 0 ||
        snd_seq_client_info_get_type(client) != SND_SEQ_KERNEL_CLIENT ||
        snd_seq_get_any_port_info(seq, addr.client, addr.port, port) < 0)
        return -1;
    const int card = snd_seq_client_info_get_card(client);
    const unsigned int type = snd_seq_port_info_get_type(port);
    const int index = addr.client - 16 - 8 * card;
    if (card < 0)
        return -1;
    if ((type & SND_SEQ_PORT_TYPE_HARDWARE) && index == 0)
        return pack({card, addr.port / 32, addr.port % 32});
    if ((type & SND_SEQ_PORT_TYPE_SOFTWARE) && index >= 0 && index < 8)
        return pack({card, index, -1});
    return -1;
}

} // namespace

// The descriptors to wait on, made once: the input thread allocates nothing
// once it runs.
struct Poll
{
    // events: POLLIN or POLLOUT on the sequencer; wakeFd: an eventfd that
    // says stop (or -1).
    Poll(snd_seq_t *seq, short events, int wakeFd)
    {
        const int count = snd_seq_poll_descriptors_count(seq, events);
        fds.resize(std::size_t(std::max(count, 0)) + 1);
        used = std::size_t(std::max(
            0, snd_seq_poll_descriptors(seq, fds.data(), unsigned(fds.size() - 1), events)));
        if (wakeFd >= 0)
            fds[used++] = {wakeFd, POLLIN, 0};
        wakeAt = wakeFd >= 0 ? int(used) - 1 : -1;
    }
    // Waits for the sequencer or the wake-up; false once woken to stop.
    bool wait(int timeoutMs)
    {
        poll(fds.data(), nfds_t(used), timeoutMs);
        return !(wakeAt >= 0 && (fds[std::size_t(wakeAt)].revents & POLLIN));
    }

    std::vector<pollfd> fds;
    std::size_t used = 0;
    int wakeAt = -1;
};

namespace {

} // namespace

void eachPort(void *handle, const std::function<void(const Port &)> &visit)
{
    auto *seq = sq(handle);
    snd_seq_client_info_t *client;
    snd_seq_port_info_t *info;
    snd_seq_client_info_alloca(&client);
    snd_seq_port_info_alloca(&info);
    snd_seq_client_info_set_client(client, -1);
    while (snd_seq_query_next_client(seq, client) >= 0) {
        const int id = snd_seq_client_info_get_client(client);
        if (id == SND_SEQ_CLIENT_SYSTEM)
            continue;
        snd_seq_port_info_set_client(info, id);
        snd_seq_port_info_set_port(info, -1);
        while (snd_seq_query_next_port(seq, info) >= 0) {
            if (!listed(snd_seq_port_info_get_type(info)))
                continue;
            Port port;
            port.client = id;
            port.port = snd_seq_port_info_get_port(info);
            port.capability = snd_seq_port_info_get_capability(info);
            port.plain = std::string(snd_seq_client_info_get_name(client)) + ":" +
                         snd_seq_port_info_get_name(info);
            port.listed = portName(client, info);
            visit(port);
        }
    }
}

bool available()
{
    return access("/dev/snd/seq", R_OK | W_OK) == 0;
}

std::unique_ptr<Input> Input::open(const std::string &from, Handler handler, void *user,
                                   std::atomic<std::uint32_t> *overruns, std::atomic<bool> *behind)
{
    // Duplex: a note with a duration sends its own Note Off back to it.
    snd_seq_t *seq = openSeq(inClient, SND_SEQ_OPEN_DUPLEX);
    if (!seq)
        return nullptr;
    std::unique_ptr<Input> in(new Input);
    in->seq = seq;
    in->source = from;
    in->handler = handler;
    in->user = user;
    in->overruns = overruns;
    in->behind = behind;
    sizePools(seq, true);
    in->port =
        snd_seq_create_simple_port(seq, from.empty() ? virtualInPortName : inPortName,
                                   SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE,
                                   SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_APPLICATION);
    snd_midi_event_t *parser = nullptr;
    if (in->port < 0 || snd_midi_event_new(64, &parser) < 0 || (!from.empty() && !in->relink())) {
        say(QStringLiteral("Brantolex Fixer: could not open the ALSA MIDI input"));
        if (parser)
            snd_midi_event_free(parser);
        snd_seq_close(seq);
        in->seq = nullptr;
        return nullptr;
    }
    snd_midi_event_no_status(parser, 1);
    in->parser = parser;
    in->client = snd_seq_client_id(seq);
    in->buffer.reset(new unsigned char[largestRead]);
    // The reader blocks in its read, as a one-hop forwarder does: no extra
    // read that finds nothing and no poll per message.
    snd_seq_nonblock(seq, 0);
    in->thread = std::thread([raw = in.get()] { raw->run(); });
    return in;
}

Input::~Input()
{
    if (!seq)
        return;
    if (thread.joinable()) {
        // The reader wakes for an event of its own: one to its own port.
        stopping.store(true, std::memory_order_release);
        snd_seq_event_t ev;
        snd_seq_ev_clear(&ev);
        ev.type = SND_SEQ_EVENT_USR0;
        snd_seq_ev_set_source(&ev, port);
        snd_seq_ev_set_dest(&ev, client, port);
        snd_seq_ev_set_direct(&ev);
        for (int attempt = 0; attempt < 1000 && snd_seq_event_output_direct(sq(seq), &ev) < 0;
             ++attempt)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        thread.join();
    }
    snd_midi_event_free(static_cast<snd_midi_event_t *>(parser));
    snd_seq_close(sq(seq));
}

bool Input::relink()
{
    snd_seq_addr_t addr;
    if (source.empty() || !findAddress(sq(seq), source, true, addr))
        return false;
    const int r = snd_seq_connect_from(sq(seq), port, addr.client, addr.port);
    return r >= 0 || r == -EBUSY;
}

void Input::run()
{
    // Where the system allows it, the input keeps up with a burst as a
    // real-time reader does; elsewhere it reads as fast as it is scheduled.
    raiseToMidiPriority();
    auto *s = sq(seq);
    auto *p = static_cast<snd_midi_event_t *>(parser);
    for (;;) {
        snd_seq_event_t *ev = nullptr;
        const int r = snd_seq_event_input(s, &ev);
        // ENOSPC: the kernel dropped what overflowed; reading goes on.
        if (r == -ENOSPC)
            overruns->fetch_add(1, std::memory_order_relaxed);
        if (r < 0 || !ev)
            continue;
        // More came in the same read: a burst faster than one write per
        // message. The writer takes the writes meanwhile, or the pool
        // would overflow while this thread writes.
        behind->store(snd_seq_event_input_pending(s, 0) > 0, std::memory_order_relaxed);
        if (ev->type == SND_SEQ_EVENT_USR0 && ev->source.client == client &&
            stopping.load(std::memory_order_acquire))
            return;
        if (ev->type == SND_SEQ_EVENT_SYSEX) {
            // Passed on as it came, piece by piece.
            const auto *data = static_cast<const unsigned char *>(ev->data.ext.ptr);
            handler(user, data, ev->data.ext.len, 0);
            continue;
        }
        unsigned char message[3];
        if (const std::size_t size = alsaevents::toBytes(*ev, message)) {
            handler(user, message, size, 0);
            continue;
        }
        const long n = snd_midi_event_decode(p, buffer.get(), long(largestRead), ev);
        if (n > 0)
            handler(user, buffer.get(), std::size_t(n), 0);
    }
}

std::unique_ptr<Sink> Sink::open(const std::string &destination, News news,
                                 const std::atomic<bool> *inputBehind)
{
    // Duplex: the sequencer tells the port's own client of the connections
    // others make and remove, by an event to the port (so it takes events
    // sent to it directly, though no one can subscribe to send it any).
    snd_seq_t *seq = openSeq(outClient, SND_SEQ_OPEN_DUPLEX);
    if (!seq)
        return nullptr;
    std::unique_ptr<Sink> sink(new Sink);
    sink->seq = seq;
    sink->destination = destination;
    sink->news = std::move(news);
    sink->inputBehind = inputBehind;
    sizePools(seq, false);
    sink->port = snd_seq_create_simple_port(
        seq, outPortName,
        SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ | SND_SEQ_PORT_CAP_WRITE,
        SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_APPLICATION);
    snd_midi_event_t *encoder = nullptr;
    if (sink->port < 0 || snd_midi_event_new(encodeBuffer, &encoder) < 0 || !sink->relink()) {
        say(QStringLiteral("Brantolex Fixer: could not open the ALSA MIDI output to \"%1\"")
                .arg(QString::fromStdString(destination)));
        if (encoder)
            snd_midi_event_free(encoder);
        snd_seq_close(seq);
        sink->seq = nullptr;
        return nullptr;
    }
    sink->encoder = encoder;
    sink->stopFd = eventfd(0, EFD_CLOEXEC);
    pollfd fd{};
    if (snd_seq_poll_descriptors(seq, &fd, 1, POLLOUT) == 1)
        sink->seqFd = fd.fd;
    sink->watcher = std::thread([raw = sink.get()] { raw->watch(); });
    return sink;
}

void Sink::watch()
{
    Poll poll(sq(seq), POLLIN, stopFd);
    while (poll.wait(-1)) {
        snd_seq_event_t *ev = nullptr;
        while (snd_seq_event_input(sq(seq), &ev) >= 0 && ev)
            if (ev->type == SND_SEQ_EVENT_PORT_SUBSCRIBED ||
                ev->type == SND_SEQ_EVENT_PORT_UNSUBSCRIBED)
                news(ev->type == SND_SEQ_EVENT_PORT_SUBSCRIBED);
    }
}

// The sender's address and no queue: delivered at once to the subscribers.
void Sink::address(void *event) const
{
    auto *ev = static_cast<snd_seq_event_t *>(event);
    snd_seq_ev_set_source(ev, port);
    snd_seq_ev_set_subs(ev);
    snd_seq_ev_set_direct(ev);
}

Sink::~Sink()
{
    if (!seq)
        return;
    stop();
    if (watcher.joinable())
        watcher.join();
    snd_midi_event_free(static_cast<snd_midi_event_t *>(encoder));
    snd_seq_close(sq(seq));
    if (stopFd >= 0)
        close(stopFd);
}

void Sink::stop()
{
    stopping.store(true, std::memory_order_release);
    wake(stopFd);
}

// Asked before a note is counted as sounding: a unit whose port went away
// took its connection with it.
bool Sink::reaches() const
{
    snd_seq_port_info_t *info;
    snd_seq_port_info_alloca(&info);
    if (snd_seq_get_port_info(sq(seq), port, info) < 0)
        return true;
    return snd_seq_port_info_get_read_use(info) > 0;
}

bool Sink::relink()
{
    snd_seq_addr_t addr;
    if (!findAddress(sq(seq), destination, false, addr))
        return false;
    rawBuffer.store(rawBufferOf(sq(seq), addr), std::memory_order_release);
    destinationClient.store(addr.client, std::memory_order_release);
    const int r = snd_seq_connect_to(sq(seq), port, addr.client, addr.port);
    return r >= 0 || r == -EBUSY;
}

// A receiver whose pool cannot take the event is waited for, not written
// to: the sequencer empties a receiver's whole queue once a write to it
// failed. It tells no sender when a receiver has room again (the sender's
// own descriptor is always writable): the sink looks again, a little later
// each time, until it is stopped.
bool Sink::output(void *event, std::size_t cells, std::size_t bytes)
{
    auto *s = sq(seq);
    auto *ev = static_cast<snd_seq_event_t *>(event);
    address(ev);
    int r = 0;
    int pauseMs = 1;
    while (!roomFor(cells, bytes, true) || (r = snd_seq_event_output_direct(s, ev)) == -EAGAIN) {
        if (stopping.load(std::memory_order_acquire))
            return false;
        pollfd stop{stopFd, POLLIN, 0};
        ::poll(&stop, 1, pauseMs);
        pauseMs = std::min(pauseMs * 2, 16);
    }
    lookIfDue();
    return r >= 0;
}

// What the receiver had free at the last look, less what was written
// since, is room it still has for a moment: the pool is asked again once
// that falls to a quarter of its size and after 16 events, before the
// write (the quarter left is the margin for others who write to it too,
// and it may have been made smaller). A look only older than 10 ms comes
// after the write instead, off its path: what others wrote meanwhile is
// what the margin is for, and a player's messages, each more than 10 ms
// after the last, would otherwise each wait for a look that costs as much
// as the write. A kernel client's buffer is looked at in a file, by the
// writer alone, only once that quarter is reached: the input's writes to
// it stop there and wait for the writer. One whose room nothing shows is
// looked at again each 3 KB, in case a reader has come.
bool Sink::roomFor(std::size_t cells, std::size_t bytes, bool mayLook)
{
    const int client = destinationClient.load(std::memory_order_acquire);
    if (seqFd < 0 || client < 0)
        return true;
    const int buffer = rawBuffer.load(std::memory_order_acquire);
    const long need = long(buffer < 0 ? cells : bytes);
    const bool stale = client != lookedAt || buffer != lookedBuffer || spare - need < reserve ||
                       (buffer < 0 && sinceLook >= 16);
    if (stale) {
        if (buffer >= 0 && !mayLook)
            return false;
        look(client, buffer);
    } else if (buffer < 0) {
        lookDue = true;
    }
    if (spare < need)
        return false;
    spare -= need;
    ++sinceLook;
    return true;
}

void Sink::look(int client, int buffer)
{
    lookTime = std::chrono::steady_clock::now();
    lookDue = false;
    sinceLook = 0;
    lookedAt = client;
    lookedBuffer = buffer;
    if (buffer < 0) {
        int pool = 0;
        const int room = inputRoom(seqFd, client, &pool);
        spare = room < 0 ? std::numeric_limits<long>::max() / 2 : room;
        reserve = room < 0 ? 0 : pool / 4;
    } else {
        long size = 0;
        const long room = rawRoom(unpack(buffer), &size);
        spare = room < 0 ? 4096 : room;
        reserve = room < 0 ? 1024 : size / 4;
    }
}

// After a write: the look that only its age makes due. The clock is read
// here too, off the message's way: it costs a few calls into the C library.
void Sink::lookIfDue()
{
    if (lookDue && std::chrono::steady_clock::now() - lookTime > std::chrono::milliseconds(10))
        look(lookedAt, lookedBuffer);
}

// One event of fixed length, written without waiting. A sysex goes through
// the writer: alsa-lib copies a variable-length event into a buffer it may
// have to grow, and the input's thread allocates nothing.
bool Sink::sendNow(const unsigned char *bytes, std::size_t size)
{
    if (size == 0 || bytes[0] == 0xF0 || bytes[0] < 0x80 ||
        stopping.load(std::memory_order_relaxed) ||
        (inputBehind && inputBehind->load(std::memory_order_relaxed)))
        return false;
    snd_seq_event_t ev;
    snd_seq_ev_clear(&ev);
    if (!alsaevents::fromBytes(bytes, size, ev)) {
        auto *e = static_cast<snd_midi_event_t *>(encoder);
        snd_midi_event_reset_encode(e);
        if (snd_midi_event_encode(e, bytes, long(size), &ev) != long(size) ||
            ev.type == SND_SEQ_EVENT_NONE)
            return false;
    }
    if (!roomFor(1, size, false))
        return false;
    address(&ev);
    const bool written = snd_seq_event_output_direct(sq(seq), &ev) >= 0;
    lookIfDue();
    return written;
}

bool Sink::sendMessage(const unsigned char *bytes, std::size_t size)
{
    if (size == 0)
        return true;
    if (bytes[0] == 0xF0 || bytes[0] < 0x80) {
        // A sysex, or the rest of one, in pieces a receiver's pool can hold.
        for (std::size_t at = 0; at < size; at += sysexPiece) {
            snd_seq_event_t ev;
            snd_seq_ev_clear(&ev);
            const std::size_t length = std::min(sysexPiece, size - at);
            snd_seq_ev_set_sysex(&ev, unsigned(length), const_cast<unsigned char *>(bytes + at));
            // The event's cell and those its bytes take.
            if (!output(&ev, 1 + (length + sizeof ev - 1) / sizeof ev, length))
                return false;
        }
        return true;
    }
    auto *e = static_cast<snd_midi_event_t *>(encoder);
    snd_midi_event_reset_encode(e);
    while (size > 0) {
        snd_seq_event_t ev;
        snd_seq_ev_clear(&ev);
        const long used = snd_midi_event_encode(e, bytes, long(size), &ev);
        if (used <= 0)
            return false;
        bytes += used;
        size -= std::size_t(used);
        if (ev.type != SND_SEQ_EVENT_NONE && !output(&ev, 1, 3))
            return false;
    }
    return true;
}

std::unique_ptr<Watch> Watch::open(std::function<void()> changed)
{
    snd_seq_t *seq = openSeq(watchClient, SND_SEQ_OPEN_DUPLEX);
    if (!seq)
        return nullptr;
    std::unique_ptr<Watch> watch(new Watch);
    watch->seq = seq;
    watch->changed = std::move(changed);
    // A port of its own that nobody else sees, for the announcements.
    const int port = snd_seq_create_simple_port(seq, "announce", SND_SEQ_PORT_CAP_WRITE,
                                                SND_SEQ_PORT_TYPE_APPLICATION);
    if (port < 0 ||
        snd_seq_connect_from(seq, port, SND_SEQ_CLIENT_SYSTEM, SND_SEQ_PORT_SYSTEM_ANNOUNCE) < 0) {
        snd_seq_close(seq);
        watch->seq = nullptr;
        return nullptr;
    }
    watch->wakeFd = eventfd(0, EFD_CLOEXEC);
    watch->poll = std::make_unique<Poll>(seq, POLLIN, watch->wakeFd);
    watch->thread = std::thread([raw = watch.get()] { raw->run(); });
    return watch;
}

Watch::~Watch()
{
    if (!seq)
        return;
    wake(wakeFd);
    thread.join();
    snd_seq_close(sq(seq));
    close(wakeFd);
}

void Watch::silence()
{
    std::lock_guard<std::mutex> lock(mutex);
    changed = nullptr;
}

void Watch::list(QStringList &inputs, QStringList &outputs) const
{
    const unsigned int read = SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ;
    const unsigned int write = SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE;
    eachPort(seq, [&](const Port &port) {
        const QString name = QString::fromStdString(port.listed);
        if ((port.capability & read) == read)
            inputs << name;
        if ((port.capability & write) == write)
            outputs << name;
    });
}

QStringList Watch::takeAppeared()
{
    std::lock_guard<std::mutex> lock(mutex);
    QStringList list;
    list.swap(appeared);
    return list;
}

void Watch::announce()
{
    std::lock_guard<std::mutex> lock(mutex);
    if (changed)
        changed();
}

void Watch::run()
{
    auto *s = sq(seq);
    for (;;) {
        snd_seq_event_t *ev = nullptr;
        const int r = snd_seq_event_input(s, &ev);
        if (r == -EAGAIN) {
            if (!poll->wait(-1))
                return;
            continue;
        }
        if (r < 0 || !ev)
            continue;
        switch (ev->type) {
        case SND_SEQ_EVENT_PORT_START:
        case SND_SEQ_EVENT_PORT_CHANGE: {
            snd_seq_client_info_t *client;
            snd_seq_port_info_t *port;
            snd_seq_client_info_alloca(&client);
            snd_seq_port_info_alloca(&port);
            if (snd_seq_get_any_client_info(s, ev->data.addr.client, client) >= 0 &&
                snd_seq_get_any_port_info(s, ev->data.addr.client, ev->data.addr.port, port) >= 0) {
                std::lock_guard<std::mutex> lock(mutex);
                appeared << QString::fromStdString(portName(client, port));
            }
            announce();
            break;
        }
        case SND_SEQ_EVENT_PORT_EXIT:
        case SND_SEQ_EVENT_CLIENT_START:
        case SND_SEQ_EVENT_CLIENT_EXIT:
        case SND_SEQ_EVENT_CLIENT_CHANGE:
            announce();
            break;
        default:
            break;
        }
    }
}

std::unique_ptr<Client> Client::open(const Hooks &hooks)
{
    std::unique_ptr<Client> self(new Client);
    self->hooks = hooks;
    self->watch = Watch::open(hooks.portsChanged);
    return self->watch ? std::move(self) : nullptr;
}

Client::~Client()
{
    silence();
    input.reset();
    closeOutput();
}

void Client::listPorts(QStringList &inputs, QStringList &outputs, QStringList &appeared)
{
    watch->list(inputs, outputs);
    inputs.erase(std::remove_if(inputs.begin(), inputs.end(), MidiSystem::isOwnPort), inputs.end());
    outputs.erase(std::remove_if(outputs.begin(), outputs.end(), MidiSystem::isOwnPort),
                  outputs.end());
    appeared = watch->takeAppeared();
}

bool Client::openInput(const QString &name)
{
    input = Input::open(MidiSystem::toPortName(name), hooks.input, hooks.user, hooks.overruns,
                        &inputBehind);
    return input != nullptr;
}

NoteOutput *Client::openOutput(const QString &name)
{
    auto opened = Sink::open(
        MidiSystem::toPortName(name), [this](bool made) { linkNews(made); }, &inputBehind);
    if (!opened)
        return nullptr;
    auto next = std::make_unique<ThreadedOutput>(std::move(opened));
    std::lock_guard<std::mutex> lock(outputMutex);
    output = std::move(next);
    return output.get();
}

// Out of the lock: the sink's thread may be bringing news.
void Client::closeOutput()
{
    std::unique_ptr<NoteOutput> closing;
    std::lock_guard<std::mutex> lock(outputMutex);
    closing.swap(output);
}

void Client::silence()
{
    watch->silence();
    std::lock_guard<std::mutex> lock(outputMutex);
    silenced = true;
}

void Client::linkNews(bool made)
{
    std::lock_guard<std::mutex> lock(outputMutex);
    if (made && output)
        output->linkMade();
    if (!silenced && hooks.portsChanged)
        hooks.portsChanged();
}

} // namespace AlsaSequencer
