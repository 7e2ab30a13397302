#include "alsapeers.h"

#include "midi/alsaroom.h"
#include "midi/alsasequencer.h"

#include <alsa/asoundlib.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <iostream>

#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace {

// The most the sequencer gives one client; a burst through a slow reader
// needs all of it.
constexpr int largestPool = 2000;
// A variable-length event is read whole: room for the largest sysex.
constexpr std::size_t inputBuffer = 256 * 1024;

QString listedName(const char *client, const char *port, int clientNumber, int portNumber)
{
    return QStringLiteral("%1:%2 %3:%4")
        .arg(QString::fromUtf8(client), QString::fromUtf8(port))
        .arg(clientNumber)
        .arg(portNumber);
}

// Every port the router would list, walked as the router walks them: its
// address, "Client:port" and the router's name.
void forEachPort(snd_seq_t *seq,
                 const std::function<void(const snd_seq_addr_t &, const QString &plain,
                                          const QString &listed)> &visit)
{
    AlsaSequencer::eachPort(seq, [&](const AlsaSequencer::Port &port) {
        snd_seq_addr_t addr;
        addr.client = static_cast<unsigned char>(port.client);
        addr.port = static_cast<unsigned char>(port.port);
        visit(addr, QString::fromStdString(port.plain), QString::fromStdString(port.listed));
    });
}

QString shortName(snd_seq_t *seq, const snd_seq_addr_t &addr)
{
    QString name;
    forEachPort(seq, [&](const snd_seq_addr_t &a, const QString &plain, const QString &) {
        if (a.client == addr.client && a.port == addr.port)
            name = plain;
    });
    return name;
}

} // namespace

// A port by either of its names.
bool findAlsaPort(snd_seq_t *seq, const QString &name, snd_seq_addr_t &found)
{
    bool there = false;
    forEachPort(seq, [&](const snd_seq_addr_t &addr, const QString &plain, const QString &listed) {
        if (!there && (name == plain || name == listed)) {
            found = addr;
            there = true;
        }
    });
    return there;
}

// One sequencer client: its ports, a sender's encoder and, once asked, a
// thread that reads everything that reaches it.
class AlsaClient
{
public:
    using Deliver = std::function<void(const Bytes &)>;

    explicit AlsaClient(const std::string &name)
    {
        if (snd_seq_open(&seq, "default", SND_SEQ_OPEN_DUPLEX, SND_SEQ_NONBLOCK) < 0) {
            std::cerr << "test peer '" << name << "': no ALSA sequencer\n";
            seq = nullptr;
            return;
        }
        snd_seq_set_client_name(seq, name.c_str());
        snd_seq_set_client_pool_input(seq, largestPool);
        snd_seq_set_client_pool_output(seq, largestPool);
        snd_seq_set_input_buffer_size(seq, inputBuffer);
        snd_midi_event_new(16, &encoder);
        snd_midi_event_new(16, &decoder);
        snd_midi_event_no_status(decoder, 1);
        stop = eventfd(0, EFD_CLOEXEC);
        resume = eventfd(0, EFD_CLOEXEC);
    }
    ~AlsaClient()
    {
        if (reader.joinable()) {
            const std::uint64_t one = 1;
            if (write(stop, &one, sizeof one) == sizeof one)
                reader.join();
            else
                reader.detach();
        }
        if (stop >= 0)
            close(stop);
        if (resume >= 0)
            close(resume);
        if (encoder)
            snd_midi_event_free(encoder);
        if (decoder)
            snd_midi_event_free(decoder);
        if (seq)
            snd_seq_close(seq);
    }
    AlsaClient(const AlsaClient &) = delete;
    AlsaClient &operator=(const AlsaClient &) = delete;

    bool isOpen() const { return seq != nullptr; }
    int number() const { return seq ? snd_seq_client_id(seq) : -1; }
    snd_seq_t *handle() const { return seq; }

    int addPort(const char *name, unsigned int caps)
    {
        if (!seq)
            return -1;
        return snd_seq_create_simple_port(
            seq, name, caps, SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_APPLICATION);
    }
    QString portName(int port) const
    {
        if (!seq || port < 0)
            return QString();
        snd_seq_client_info_t *client;
        snd_seq_port_info_t *info;
        snd_seq_client_info_alloca(&client);
        snd_seq_port_info_alloca(&info);
        if (snd_seq_get_client_info(seq, client) < 0 || snd_seq_get_port_info(seq, port, info) < 0)
            return QString();
        return listedName(snd_seq_client_info_get_name(client), snd_seq_port_info_get_name(info),
                          number(), port);
    }
    bool connect(int port, const QString &dest)
    {
        snd_seq_addr_t addr;
        return seq && findAlsaPort(seq, dest, addr) &&
               snd_seq_connect_to(seq, port, addr.client, addr.port) == 0;
    }

    // 0, or what the sequencer said (a full pool at the receiver).
    int send(int port, const Bytes &message, std::size_t piece = alsaSysexPiece)
    {
        if (!seq || message.empty())
            return -EINVAL;
        snd_seq_event_t ev;
        if (message.front() == 0xF0) {
            for (std::size_t at = 0; at < message.size(); at += piece) {
                waitForRoom(1 + (std::min(piece, message.size() - at) + sizeof ev - 1) / sizeof ev);
                snd_seq_ev_clear(&ev);
                snd_seq_ev_set_sysex(&ev, unsigned(std::min(piece, message.size() - at)),
                                     const_cast<unsigned char *>(message.data() + at));
                if (const int error = output(port, ev))
                    return error;
            }
            return 0;
        }
        snd_seq_ev_clear(&ev);
        snd_midi_event_reset_encode(encoder);
        const long used = snd_midi_event_encode(encoder, message.data(), long(message.size()), &ev);
        if (used != long(message.size()) || ev.type == SND_SEQ_EVENT_NONE)
            return -EINVAL;
        return output(port, ev);
    }

    // A sender that waits: a message in many pieces goes out only as fast as
    // this client's pool empties (the sequencer drops what overflows it).
    // The client whose pool a message in pieces waits for (-1: none).
    int paceFor = -1;
    void waitForRoom(std::size_t cells)
    {
        pollfd fd{};
        if (paceFor < 0 || snd_seq_poll_descriptors(seq, &fd, 1, POLLOUT) != 1)
            return;
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        for (int room = AlsaSequencer::inputRoom(fd.fd, paceFor);
             room >= 0 && std::size_t(room) < cells && std::chrono::steady_clock::now() < until;
             room = AlsaSequencer::inputRoom(fd.fd, paceFor))
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }

    // A receiver that stops reading with a small pool, as a slow unit's
    // driver does: the sequencer refuses what does not fit.
    void setInputPool(int events) { snd_seq_set_client_pool_input(seq, events); }
    void pauseReading(bool paused)
    {
        this->paused = paused;
        const std::uint64_t one = 1;
        if (!paused && write(resume, &one, sizeof one) != sizeof one)
            std::cerr << "test peer " << number() << ": could not resume reading\n";
    }
    // A note with a duration, as a sequencer client sends it: through a
    // queue (the sequencer takes no such note directly), due at once; the
    // sequencer hands its receivers a Note On, and the Note Off when due.
    int sendNote(int port, int channel, int note, int velocity, unsigned int durationMs)
    {
        if (queue < 0) {
            queue = snd_seq_alloc_queue(seq);
            if (queue < 0)
                return queue;
            snd_seq_start_queue(seq, queue, nullptr);
            snd_seq_drain_output(seq);
        }
        snd_seq_event_t ev;
        snd_seq_ev_clear(&ev);
        snd_seq_ev_set_note(&ev, channel, note, velocity, durationMs);
        snd_seq_ev_set_source(&ev, port);
        snd_seq_ev_set_subs(&ev);
        const snd_seq_real_time_t now{0, 0};
        snd_seq_ev_schedule_real(&ev, queue, 1, &now);
        const int result = snd_seq_event_output_direct(seq, &ev);
        return result < 0 ? result : 0;
    }

    void startReading(Deliver deliver)
    {
        if (!seq || stop < 0)
            return;
        reader = std::thread([this, deliver = std::move(deliver)] { readLoop(deliver); });
        // A receiver that reads at once, as a unit's driver does: where we
        // may (as root in the guest), ahead of every sender.
        sched_param realtime{};
        realtime.sched_priority = 50;
        pthread_setschedparam(reader.native_handle(), SCHED_FIFO, &realtime);
    }

private:
    int output(int port, snd_seq_event_t &ev)
    {
        snd_seq_ev_set_source(&ev, port);
        snd_seq_ev_set_subs(&ev);
        snd_seq_ev_set_direct(&ev);
        const int result = snd_seq_event_output_direct(seq, &ev);
        return result < 0 ? result : 0;
    }

    void readLoop(const Deliver &deliver)
    {
        const int count = snd_seq_poll_descriptors_count(seq, POLLIN);
        std::vector<pollfd> fds(std::size_t(count) + 1);
        snd_seq_poll_descriptors(seq, fds.data(), unsigned(count), POLLIN);
        fds.back() = {stop, POLLIN, 0};
        Bytes sysex;
        bool overrunSaid = false;
        for (;;) {
            while (paused) {
                pollfd wait[2] = {{stop, POLLIN, 0}, {resume, POLLIN, 0}};
                if (poll(wait, 2, -1) < 0 && errno != EINTR)
                    return;
                if (wait[0].revents)
                    return;
                std::uint64_t count;
                if (wait[1].revents && read(resume, &count, sizeof count) < 0)
                    return;
            }
            if (poll(fds.data(), fds.size(), -1) < 0 && errno != EINTR)
                return;
            if (fds.back().revents)
                return;
            for (;;) {
                snd_seq_event_t *ev = nullptr;
                const int result = snd_seq_event_input(seq, &ev);
                if (result == -ENOSPC) {
                    // Our pool overflowed: a loss the test must not blame on the router.
                    if (!overrunSaid)
                        std::cerr << "test peer " << number()
                                  << ": its input pool overflowed, events lost\n";
                    overrunSaid = true;
                    continue;
                }
                if (result < 0 || !ev)
                    break;
                take(*ev, sysex, deliver);
            }
        }
    }

    // Sysex comes in pieces; it is whole at its F7. A real-time byte may sit
    // between two pieces; anything else cuts the sysex short, and what came
    // of it is recorded as it is.
    void take(const snd_seq_event_t &ev, Bytes &sysex, const Deliver &deliver)
    {
        if (ev.type == SND_SEQ_EVENT_SYSEX) {
            const auto *p = static_cast<const unsigned char *>(ev.data.ext.ptr);
            const std::size_t n = ev.data.ext.len;
            if (n > 0 && p[0] == 0xF0 && !sysex.empty()) {
                deliver(sysex);
                sysex.clear();
            }
            sysex.insert(sysex.end(), p, p + n);
            if (!sysex.empty() && sysex.back() == 0xF7) {
                deliver(sysex);
                sysex.clear();
            }
            return;
        }
        unsigned char buffer[16];
        snd_midi_event_reset_decode(decoder);
        const long size = snd_midi_event_decode(decoder, buffer, sizeof buffer, &ev);
        if (size <= 0)
            return; // not a MIDI message
        if (!sysex.empty() && buffer[0] < 0xF8) {
            deliver(sysex);
            sysex.clear();
        }
        deliver(Bytes(buffer, buffer + size));
    }

    snd_seq_t *seq = nullptr;
    snd_midi_event_t *encoder = nullptr;
    snd_midi_event_t *decoder = nullptr;
    int stop = -1, resume = -1;
    int queue = -1;
    std::atomic<bool> paused{false};
    std::thread reader;
};

AlsaSource::AlsaSource(const std::string &client) : seq(std::make_unique<AlsaClient>(client))
{
    port = seq->addPort("out", SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ);
}

AlsaSource::~AlsaSource() = default;

bool AlsaSource::isOpen() const
{
    return port >= 0;
}

int AlsaSource::clientNumber() const
{
    return seq->number();
}

QString AlsaSource::portName() const
{
    return seq->portName(port);
}

bool AlsaSource::send(const Bytes &message, std::size_t sysexPiece)
{
    return seq->send(port, message, sysexPiece) == 0;
}

bool AlsaSource::sendNote(int channel, int note, int velocity, unsigned int durationMs)
{
    const int error = seq->sendNote(port, channel, note, velocity, durationMs);
    if (error != 0)
        std::cerr << "test peer " << seq->number()
                  << ": the note was refused: " << snd_strerror(error) << "\n";
    return error == 0;
}

AlsaSink::AlsaSink(const std::string &client, std::shared_ptr<MessageLog> log)
    : log(std::move(log)), seq(std::make_unique<AlsaClient>(client))
{
    port = seq->addPort("in", SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE);
    std::shared_ptr<MessageLog> to = this->log;
    seq->startReading([to](const Bytes &m) { to->append(m.data(), m.size()); });
}

AlsaSink::~AlsaSink() = default;

void AlsaSink::slowDown(int pool)
{
    seq->setInputPool(pool);
}

void AlsaSink::pauseReading(bool paused)
{
    seq->pauseReading(paused);
}

bool AlsaSink::isOpen() const
{
    return port >= 0;
}

int AlsaSink::clientNumber() const
{
    return seq->number();
}

QString AlsaSink::portName() const
{
    return seq->portName(port);
}

// The raw sides of two VirMIDI devices. The reader (of channel messages
// only) runs at an ordinary priority, as a program reading a unit would.
struct RawEnds
{
    ~RawEnds()
    {
        const std::uint64_t one = 1;
        if (reader.joinable() && write(stop, &one, sizeof one) == sizeof one)
            reader.join();
        for (snd_rawmidi_t *end : {in, out})
            if (end)
                snd_rawmidi_close(end);
        close(stop);
    }
    void read(const std::shared_ptr<MessageLog> &to)
    {
        pollfd fds[2] = {{stop, POLLIN, 0}, {}};
        snd_rawmidi_poll_descriptors(in, fds + 1, 1);
        unsigned char bytes[4096];
        Bytes m{0x80};
        while (poll(fds, 2, -1) >= 0 && !fds[0].revents) {
            const std::lock_guard<std::mutex> held(writing);
            for (ssize_t n; (n = snd_rawmidi_read(in, bytes, sizeof bytes)) > 0;)
                for (ssize_t i = 0; i < n; ++i) {
                    if (bytes[i] & 0x80)
                        m = {bytes[i]};
                    else
                        m.push_back(bytes[i]);
                    if (m.size() == ((m[0] & 0xE0) == 0xC0 ? 2u : 3u)) {
                        to->append(m.data(), m.size());
                        m.resize(1); // running status
                    }
                }
        }
    }
    snd_rawmidi_t *out = nullptr, *in = nullptr;
    bool holds = false;
    std::mutex writing;      // held by a sender while the unit holds
    QString outPort, inPort; // their names on the sequencer
    int stop = eventfd(0, EFD_CLOEXEC);
    std::thread reader;
};

AlsaBurstPeer::AlsaBurstPeer(const std::string &client, int window)
    : seq(std::make_unique<AlsaClient>(client)), window(std::size_t(std::max(window, 0)))
{
    out = seq->addPort("out", SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ);
    in = seq->addPort("in", SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE);
    if (out < 0 || in < 0)
        return;
    arrived->setHook([this](const Bytes &) {
        std::lock_guard<std::mutex> lock(mutex);
        wake.notify_all();
    });
    std::shared_ptr<MessageLog> to = arrived;
    seq->startReading([to](const Bytes &m) { to->append(m.data(), m.size()); });
    sender = std::thread([this] { sendLoop(); });
}

AlsaBurstPeer::AlsaBurstPeer(int from, int to, bool hold)
    : raw(std::make_unique<RawEnds>()), window(0)
{
    raw->holds = hold;
    // Card 0's kernel clients are numbered from 16, by device.
    const auto name = [](int n) {
        return QStringLiteral("Virtual Raw MIDI 0-%1:VirMIDI 0-%1 %2:0").arg(n).arg(16 + n);
    };
    raw->outPort = name(from);
    raw->inPort = name(to);
    if (snd_rawmidi_open(nullptr, &raw->out, ("hw:0," + std::to_string(from)).c_str(), 0) < 0 ||
        snd_rawmidi_open(&raw->in, nullptr, ("hw:0," + std::to_string(to)).c_str(),
                         SND_RAWMIDI_NONBLOCK) < 0)
        return;
    raw->reader = std::thread([raw = raw.get(), to = arrived] { raw->read(to); });
    sender = std::thread([this] { sendLoop(); });
}

AlsaBurstPeer::~AlsaBurstPeer()
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        stopping = true;
        wake.notify_all();
    }
    if (sender.joinable())
        sender.join();
    seq.reset(); // its reader calls the hook until then
}

bool AlsaBurstPeer::isOpen() const
{
    return sender.joinable();
}

QString AlsaBurstPeer::inName() const
{
    return raw ? raw->inPort : seq->portName(in);
}

QString AlsaBurstPeer::outName() const
{
    return raw ? raw->outPort : seq->portName(out);
}

bool AlsaBurstPeer::connectTo(const QString &port)
{
    // A sender with a window never overflows its receiver, not even with
    // one message larger than the receiver's pool.
    if (raw)
        return alsaConnect(raw->outPort, port, true);
    snd_seq_addr_t addr;
    if (window > 0 && findAlsaPort(seq->handle(), port, addr))
        seq->paceFor = addr.client;
    return seq->connect(out, port);
}

bool AlsaBurstPeer::send(std::vector<Bytes> messages)
{
    for (std::size_t i = 1; raw && i < messages.size(); ++i) // in one go, as "amidi -S" does
        messages[0].insert(messages[0].end(), messages[i].begin(), messages[i].end());
    if (raw && messages.size() > 1)
        messages.resize(1);
    std::lock_guard<std::mutex> lock(mutex);
    lists.push_back(std::move(messages));
    wake.notify_all();
    return true;
}

std::vector<Bytes> AlsaBurstPeer::takeReceived()
{
    return arrived->take();
}

int AlsaBurstPeer::refused() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return refusals;
}

void AlsaBurstPeer::sendLoop()
{
    std::size_t sent = 0;
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
        wake.wait(lock, [&] { return stopping || !lists.empty(); });
        if (stopping)
            return;
        const std::vector<Bytes> list = std::move(lists.front());
        lists.pop_front();
        for (const Bytes &m : list) {
            // A message the router keeps back never returns: a second
            // without news lets the next one go.
            if (window > 0 &&
                !wake.wait_for(lock, std::chrono::seconds(1),
                               [&] {
                                   return stopping ||
                                          std::ptrdiff_t(sent) - std::ptrdiff_t(window) <
                                              std::ptrdiff_t(arrived->total());
                               }) &&
                stopping)
                return;
            lock.unlock();
            std::unique_lock<std::mutex> held;
            if (raw && raw->holds)
                held = std::unique_lock<std::mutex>(raw->writing);
            const bool ok =
                raw ? snd_rawmidi_write(raw->out, m.data(), m.size()) == ssize_t(m.size())
                    : seq->send(out, m) == 0;
            lock.lock();
            if (!ok)
                ++refusals;
            ++sent;
        }
    }
}

AlsaNumberHold::AlsaNumberHold(int number)
{
    // A new client takes the lowest free number: open until one has it.
    std::vector<std::unique_ptr<AlsaClient>> others;
    for (int attempt = 0; attempt < 64 && number >= 0; ++attempt) {
        auto client = std::make_unique<AlsaClient>("Test Number Hold");
        if (!client->isOpen())
            break;
        if (client->number() == number) {
            holder = std::move(client);
            break;
        }
        others.push_back(std::move(client));
    }
}

AlsaNumberHold::~AlsaNumberHold() = default;

QStringList alsaPorts(const QString &prefix)
{
    QStringList names;
    AlsaClient lister("Test Lister");
    if (!lister.isOpen())
        return names;
    forEachPort(lister.handle(),
                [&](const snd_seq_addr_t &, const QString &plain, const QString &) {
                    if (plain.startsWith(prefix))
                        names << plain;
                });
    return names;
}

QStringList alsaConnections(const QString &port)
{
    QStringList names;
    AlsaClient lister("Test Lister");
    snd_seq_addr_t root;
    if (!lister.isOpen() || !findAlsaPort(lister.handle(), port, root))
        return names;
    snd_seq_query_subscribe_t *query;
    snd_seq_query_subscribe_alloca(&query);
    snd_seq_query_subscribe_set_root(query, &root);
    for (const auto type : {SND_SEQ_QUERY_SUBS_READ, SND_SEQ_QUERY_SUBS_WRITE}) {
        snd_seq_query_subscribe_set_type(query, type);
        snd_seq_query_subscribe_set_index(query, 0);
        while (snd_seq_query_port_subscribers(lister.handle(), query) >= 0) {
            names << shortName(lister.handle(), *snd_seq_query_subscribe_get_addr(query));
            snd_seq_query_subscribe_set_index(query, snd_seq_query_subscribe_get_index(query) + 1);
        }
    }
    return names;
}

bool alsaConnect(const QString &from, const QString &to, bool connect)
{
    AlsaClient patchbay("Test Patchbay");
    snd_seq_addr_t sender, dest;
    if (!patchbay.isOpen() || !findAlsaPort(patchbay.handle(), from, sender) ||
        !findAlsaPort(patchbay.handle(), to, dest))
        return false;
    snd_seq_port_subscribe_t *link;
    snd_seq_port_subscribe_alloca(&link);
    snd_seq_port_subscribe_set_sender(link, &sender);
    snd_seq_port_subscribe_set_dest(link, &dest);
    return (connect ? snd_seq_subscribe_port : snd_seq_unsubscribe_port)(patchbay.handle(), link) ==
           0;
}
