#include "jackpeers.h"

#include <QProcessEnvironment>

#include <cerrno>
#include <chrono>
#include <thread>

#include <jack/jack.h>
#include <jack/midiport.h>

QStringList jackPorts(const QString &prefix)
{
    QStringList names;
    jack_client_t *client = jack_client_open("Test Lister", JackNoStartServer, nullptr);
    if (!client)
        return names;
    if (const char **ports = jack_get_ports(client, nullptr, nullptr, 0)) {
        for (const char **p = ports; *p; ++p) {
            const QString name = QString::fromUtf8(*p);
            if (name.startsWith(prefix))
                names << name;
        }
        jack_free(ports);
    }
    jack_client_close(client);
    return names;
}

QStringList jackConnections(const QString &port)
{
    QStringList names;
    jack_client_t *client = jack_client_open("Test Lister", JackNoStartServer, nullptr);
    if (!client)
        return names;
    if (jack_port_t *p = jack_port_by_name(client, port.toUtf8().constData())) {
        if (const char **ports = jack_port_get_all_connections(client, p)) {
            for (const char **c = ports; *c; ++c)
                names << QString::fromUtf8(*c);
            jack_free(ports);
        }
    }
    jack_client_close(client);
    return names;
}

bool jackConnect(const QString &from, const QString &to, bool connect)
{
    jack_client_t *client = jack_client_open("Test Patchbay", JackNoStartServer, nullptr);
    if (!client)
        return false;
    const int r = (connect ? jack_connect : jack_disconnect)(client, from.toUtf8().constData(),
                                                             to.toUtf8().constData());
    jack_client_close(client);
    return r == 0 || r == EEXIST;
}

JackBurstPeer::JackBurstPeer(const std::string &name, int perCycle,
                             std::shared_ptr<MessageLog> log, int slowCycles)
    : perCycle(std::size_t(perCycle)), log(std::move(log)), slowCycles(slowCycles)
{
    jack_client_t *c = jack_client_open(name.c_str(), JackNoStartServer, nullptr);
    if (!c)
        return;
    out = jack_port_register(c, "out", JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
    in = jack_port_register(c, "in", JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
    if (!out || !in || jack_set_process_callback(c, &JackBurstPeer::process, this) != 0 ||
        jack_activate(c) != 0) {
        jack_client_close(c);
        return;
    }
    client = c;
}

JackBurstPeer::~JackBurstPeer()
{
    if (client)
        jack_client_close(static_cast<jack_client_t *>(client));
}

std::string JackBurstPeer::inName() const
{
    return in ? jack_port_name(static_cast<jack_port_t *>(in)) : std::string();
}

bool JackBurstPeer::connectTo(const std::string &port)
{
    auto *c = static_cast<jack_client_t *>(client);
    return c && jack_connect(c, jack_port_name(static_cast<jack_port_t *>(out)), port.c_str()) == 0;
}

bool JackBurstPeer::send(std::vector<Bytes> messages)
{
    if (pending.load(std::memory_order_acquire))
        return false;
    // The cycle took the last list and is done with the ones before it.
    while (lists.size() > 1)
        lists.pop_front();
    lists.push_back(std::move(messages));
    pending.store(&lists.back(), std::memory_order_release);
    return true;
}

std::vector<Bytes> JackBurstPeer::takeReceived()
{
    std::vector<Bytes> got;
    while (const std::size_t size = arrived.frontSize()) {
        Bytes message(size);
        arrived.pop(message.data());
        got.push_back(std::move(message));
    }
    return got;
}

int JackBurstPeer::process(std::uint32_t frames, void *arg)
{
    auto *self = static_cast<JackBurstPeer *>(arg);
    void *outBuffer = jack_port_get_buffer(static_cast<jack_port_t *>(self->out), frames);
    jack_midi_clear_buffer(outBuffer);
    if (!self->sending || self->next == self->sending->size()) {
        if (const auto *list = self->pending.exchange(nullptr, std::memory_order_acq_rel)) {
            self->sending = list;
            self->next = 0;
        }
    }
    for (std::size_t written = 0;
         self->sending && self->next < self->sending->size() && written < self->perCycle;
         ++written) {
        const Bytes &m = (*self->sending)[self->next];
        if (jack_midi_max_event_size(outBuffer) < m.size() ||
            jack_midi_event_write(outBuffer, 0, m.data(), m.size()) != 0)
            break;
        ++self->next;
    }

    auto *in = static_cast<jack_port_t *>(self->in);
    void *inBuffer = jack_port_get_buffer(in, frames);
    const jack_nframes_t events = jack_midi_get_event_count(inBuffer);
    if (self->slowCycles > 0 && jack_port_connected(in) > 0) {
        --self->slowCycles;
        std::this_thread::sleep_for(std::chrono::milliseconds(40));
        return 0;
    }
    for (jack_nframes_t e = 0; e < events; ++e) {
        jack_midi_event_t event;
        if (jack_midi_event_get(&event, inBuffer, e) != 0)
            continue;
        if (self->log)
            self->log->append(event.buffer, event.size);
        else
            self->arrived.push(event.buffer, event.size);
    }
    return 0;
}

PrivateJackServer::PrivateJackServer(const QString &suffix)
    : name((qEnvironmentVariableIsEmpty("JACK_DEFAULT_SERVER")
                ? QStringLiteral("brantolex-test")
                : qEnvironmentVariable("JACK_DEFAULT_SERVER")) +
           QLatin1Char('-') + suffix),
      previous(qgetenv("JACK_DEFAULT_SERVER"))
{
    server.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    server.setStandardOutputFile(QProcess::nullDevice());
}

PrivateJackServer::~PrivateJackServer()
{
    stop();
    if (!named)
        return;
    if (previous.isEmpty())
        qunsetenv("JACK_DEFAULT_SERVER");
    else
        qputenv("JACK_DEFAULT_SERVER", previous);
}

bool PrivateJackServer::start()
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("JACK_NO_AUDIO_RESERVATION"), QStringLiteral("1"));
    server.setProcessEnvironment(env);
    server.start(QStringLiteral("jackd"),
                 {"-n", name, "--no-realtime", "-d", "dummy", "-r", "48000", "-p", "256"});
    if (!server.waitForStarted(10000))
        return false;
    qputenv("JACK_DEFAULT_SERVER", name.toLocal8Bit());
    named = true;
    QProcess wait;
    wait.start(QStringLiteral("jack_wait"), {"-s", name, "-w", "-t", "20"});
    return wait.waitForFinished(30000) && wait.exitCode() == 0;
}

void PrivateJackServer::stop()
{
    if (server.state() == QProcess::NotRunning)
        return;
    server.terminate();
    server.waitForFinished(10000);
}
