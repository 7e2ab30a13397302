#pragma once

#include "recordingsink.h"

#include <QString>
#include <QStringList>

#include <RtMidi.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

class AlsaBurstPeer;
class MidiIO;
class AlsaNumberHold;
class AlsaSink;
class AlsaSource;
class JackBurstPeer;
class JackSink;
class JackSource;

// The MIDI system a test runs on, as its CTest entry sets it in
// BRANTOLEX_TEST_BACKEND: "jack" (the default), "alsa" (in the guest), or
// "pipewire" (JACK clients on PipeWire's JACK).
namespace testbackend {
enum class Kind
{
    Jack,
    Alsa,
    PipeWire
};
Kind kind();
bool isAlsa();
bool isPipeWire();
// For the test's output: "JACK", "ALSA", "PipeWire's JACK".
QString name();
// The router's own name for it (MidiIO::systemName()).
QString systemName();
RtMidi::Api api();
// Says which it is, makes the routers made from now on use it, and checks
// that it answers; empty then, else why not.
QString select();
// The router's virtual input as peerPorts() names it: on JACK one client
// holds both of the router's ports, on ALSA each has a client of its own.
QString routerVirtualInput();
// What the router sent, as far as the wire tells: PipeWire's JACK turns a
// Note On of velocity 0 into a Note Off of velocity 64 (which no test sends).
Bytes asSent(Bytes message);
} // namespace testbackend

// A test case's first step: the back-end chosen and answering, or the case
// fails here with the reason.
#define QVERIFY_BACKEND_SELECTED()                                                                 \
    do {                                                                                           \
        const QString problem = testbackend::select();                                             \
        QVERIFY2(problem.isEmpty(), qPrintable(problem));                                          \
    } while (false)

// The same peers on either system. Port names are given as the router
// lists them.

// Sends from its port "out".
class PeerSource
{
public:
    explicit PeerSource(const std::string &client = "Test Source");
    ~PeerSource();
    QString portName() const;
    bool send(const Bytes &message);
    // The unit switched off: the client goes away. Plugged in again it comes
    // back under the same name (on ALSA under another client number).
    void unplug();
    void plugIn();

private:
    const std::string client;
    std::unique_ptr<JackSource> jack;
    std::unique_ptr<AlsaSource> alsa;
    std::unique_ptr<AlsaNumberHold> hold;
};

// Records what reaches its port "in"; the log outlives an unplug.
class PeerSink
{
public:
    explicit PeerSink(const std::string &client = "Test Sink");
    ~PeerSink();
    QString portName() const;
    void unplug();
    // slowCycles: on JACK, its first cycles with a link run long and hear
    // nothing.
    void plugIn(int slowCycles = 0);

    const std::shared_ptr<MessageLog> log = std::make_shared<MessageLog>();

private:
    const std::string client;
    std::unique_ptr<JackSink> jack;
    std::unique_ptr<JackBurstPeer> slow;
    std::unique_ptr<AlsaSink> alsa;
    std::unique_ptr<AlsaNumberHold> hold;
};

// Another program's output connected to the first input port whose name
// contains the text (the router's virtual input), through RtMidi.
class PeerSourceTo
{
public:
    PeerSourceTo(const QString &inputPortContains, const std::string &client);
    void send(const Bytes &message) { out.sendMessage(&message); }
    bool connected = false;

private:
    RtMidiOut out;
};

// Both ends of a burst: "out" sends whole lists in order, without waiting
// for the receiver (JACK: up to perCycle a cycle; ALSA: as fast as the
// sequencer takes them), "in" records without loss.
class BurstPeer
{
public:
    // perCycle: on JACK, messages sent a cycle; window: on ALSA, messages in
    // flight at most (0: as fast as the sequencer takes them).
    explicit BurstPeer(const std::string &client, int perCycle = 1000, int window = 0);
    explicit BurstPeer(std::unique_ptr<AlsaBurstPeer> ends);
    ~BurstPeer();
    bool isOpen() const;
    QString inName() const;
    bool connectTo(const QString &port);
    // Queues a list behind the ones before; false while it cannot yet.
    bool send(std::vector<Bytes> messages);
    // What arrived since the last call.
    std::vector<Bytes> takeReceived();

private:
    std::unique_ptr<JackBurstPeer> jack;
    std::unique_ptr<AlsaBurstPeer> alsa;
};

// Puts the router between the burst peer's ends: the peer's "out" into the
// router's virtual input, the router's output into the peer's "in".
bool routeThrough(MidiIO &router, BurstPeer &peer);

// "Client:port" of every port whose name starts with the prefix.
QStringList peerPorts(const QString &prefix);
// "Client:port" of the ports connected to the named one.
QStringList peerConnections(const QString &port);
// A patchbay connecting the router's output to the port, or cutting them apart.
bool patchRouterOutput(const QString &port, bool connect);

// Pings until one arrives: a new connection may take a cycle, and a JACK
// client that opened slowly may never run its cycle at all. Sets up again
// (when given how) a few times, then gives up with a warning that says so:
// a path that never warms up fails in seconds.
bool warmUp(const std::function<void()> &ping, const std::function<bool()> &arrived,
            const std::function<bool()> &setUpAgain = {});
