#pragma once

#include "recordingsink.h"

#include <QProcess>
#include <QStandardPaths>
#include <QString>
#include <QStringList>

#include <RtMidi.h>

#include "midi/messagequeue.h"

#include <atomic>
#include <deque>
#include <memory>

// The other side of the router's ports on a JACK server: a source that
// sends, a sink that records what arrives.

class JackSource
{
public:
    explicit JackSource(const std::string &client = "Test Source") : out(RtMidi::UNIX_JACK, client)
    {
        out.openVirtualPort("out");
    }
    static QString portName(const std::string &client = "Test Source")
    {
        return QString::fromStdString(client) + QStringLiteral(":out");
    }
    void send(const Bytes &message) { out.sendMessage(&message); }

private:
    RtMidiOut out;
};

class JackSink
{
public:
    explicit JackSink(const std::string &client = "Test Sink",
                      std::shared_ptr<MessageLog> log = std::make_shared<MessageLog>())
        : log(std::move(log)), in(RtMidi::UNIX_JACK, client)
    {
        in.ignoreTypes(false, false, false);
        in.setCallback(&JackSink::received, this);
        in.openVirtualPort("in");
    }
    ~JackSink()
    {
        in.cancelCallback();
        in.closePort();
    }
    static QString portName(const std::string &client = "Test Sink")
    {
        return QString::fromStdString(client) + QStringLiteral(":in");
    }

    const std::shared_ptr<MessageLog> log;

private:
    static void received(double, std::vector<unsigned char> *message, void *self)
    {
        static_cast<JackSink *>(self)->log->append(message->data(), message->size());
    }
    RtMidiIn in;
};

// Connects an extra source to a named input port (the router's virtual input).
class JackSourceTo
{
public:
    JackSourceTo(const QString &inputPortContains, const std::string &client)
        : out(RtMidi::UNIX_JACK, client)
    {
        for (unsigned int i = 0; i < out.getPortCount(); ++i) {
            if (QString::fromStdString(out.getPortName(i)).contains(inputPortContains)) {
                out.openPort(i);
                connected = true;
                return;
            }
        }
    }
    void send(const Bytes &message) { out.sendMessage(&message); }
    bool connected = false;

private:
    RtMidiOut out;
};

// Both ends of a burst, written against libjack: its "out" port sends a
// prepared list in order, a limited number a cycle (RtMidi's JACK output
// drops what does not fit one), and its "in" port keeps what arrives
// without allocating, so that even a slow build does not make it the
// bottleneck. As a unit that comes back slowly it writes to a log instead,
// and its first slowCycles cycles with a link run long (the server's
// cycles stall meanwhile) and drop what reaches it.
class JackBurstPeer
{
public:
    explicit JackBurstPeer(const std::string &client, int perCycle = 1000,
                           std::shared_ptr<MessageLog> log = nullptr, int slowCycles = 0);
    ~JackBurstPeer();
    JackBurstPeer(const JackBurstPeer &) = delete;
    JackBurstPeer &operator=(const JackBurstPeer &) = delete;

    bool isOpen() const { return client != nullptr; }
    std::string inName() const;
    // Connects "out" to the named port.
    bool connectTo(const std::string &port);
    // Queues a list to send after the ones before it; false while the one
    // before has not started.
    bool send(std::vector<Bytes> messages);
    // What arrived since the last call.
    std::vector<Bytes> takeReceived();

private:
    static int process(std::uint32_t frames, void *self);

    void *client = nullptr;
    void *out = nullptr;
    void *in = nullptr;
    const std::size_t perCycle;
    std::deque<std::vector<Bytes>> lists; // kept until the end: the cycle reads them
    std::atomic<const std::vector<Bytes> *> pending{nullptr};
    const std::vector<Bytes> *sending = nullptr; // the cycle's own
    std::size_t next = 0;
    MessageQueue arrived{64u << 20};
    const std::shared_ptr<MessageLog> log;
    int slowCycles;
};

// A handle of a server that went away must not be closed (libjack would
// reach into the dead server's memory): it is kept, still reachable.
template <typename T> void keepUnclosed(std::unique_ptr<T> handle)
{
    static auto *kept = new std::vector<std::shared_ptr<void>>;
    kept->emplace_back(handle.release(), [](void *) {});
}

// The names of all JACK ports whose full name starts with the given text.
QStringList jackPorts(const QString &prefix);
// The ports connected to the named one.
QStringList jackConnections(const QString &port);
// Connects two ports by name (or alias), or cuts them apart, as a patchbay does.
bool jackConnect(const QString &from, const QString &to, bool connect = true);

// A JACK server of a test's own (dummy driver) beside the suite's, named
// after it; JACK_DEFAULT_SERVER names it from start() until the object
// goes. Stopped by SIGTERM however the test ends: a killed server keeps its
// slot in JACK's registry, which has room for very few.
class PrivateJackServer
{
public:
    explicit PrivateJackServer(const QString &suffix);
    ~PrivateJackServer();
    PrivateJackServer(const PrivateJackServer &) = delete;
    PrivateJackServer &operator=(const PrivateJackServer &) = delete;

    // Starts it and waits until it answers; again after stop() too.
    bool start();
    void stop();
    QProcess &process() { return server; }

private:
    const QString name;
    const QByteArray previous;
    bool named = false;
    QProcess server;
};
