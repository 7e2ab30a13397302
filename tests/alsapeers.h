#pragma once

#include "recordingsink.h"

#include <QStringList>

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// The other side of the router's ports on an ALSA sequencer, written against
// alsa-lib: a source that sends, a sink that records, a burst peer with both.
// Port names are given as the router lists them ("Client:port 129:0").

class AlsaClient;
struct RawEnds;
typedef struct _snd_seq snd_seq_t;
struct snd_seq_addr;

// A port by its "Client:port" name or by the name the router lists.
bool findAlsaPort(snd_seq_t *seq, const QString &name, snd_seq_addr &found);

// A sysex goes out in pieces of this many bytes, as a kernel MIDI port
// delivers it; a whole 64 KB message would not fit a receiver's pool.
constexpr std::size_t alsaSysexPiece = 256;

class AlsaSource
{
public:
    explicit AlsaSource(const std::string &client = "Test Source");
    ~AlsaSource();
    bool isOpen() const;
    int clientNumber() const;
    QString portName() const;
    // False when the sequencer refused it (a receiver's pool was full). A
    // sysex goes in pieces of the given size.
    bool send(const Bytes &message, std::size_t sysexPiece = alsaSysexPiece);
    // A NOTE event: a Note On that ends by itself after the duration.
    bool sendNote(int channel, int note, int velocity, unsigned int durationMs);

private:
    std::unique_ptr<AlsaClient> seq;
    int port = -1;
};

// Records every message that reaches its port "in", without loss: the
// largest input pool and a thread of its own that reads at once.
class AlsaSink
{
public:
    explicit AlsaSink(const std::string &client = "Test Sink",
                      std::shared_ptr<MessageLog> log = std::make_shared<MessageLog>());
    ~AlsaSink();
    bool isOpen() const;
    int clientNumber() const;
    QString portName() const;
    // A unit that reads slowly: an input pool of that many events, and
    // reading paused until asked again.
    void slowDown(int pool);
    void pauseReading(bool paused);

    const std::shared_ptr<MessageLog> log;

private:
    std::unique_ptr<AlsaClient> seq;
    int port = -1;
};

// Both ends of a burst on one client: "out" sends queued lists in order on a
// thread of its own, "in" records. window 0 sends as fast as the sequencer
// takes them (what a keyboard or a file player does); a window of N waits
// while N sent are not back yet, so a receiver's pool never overflows.
class AlsaBurstPeer
{
public:
    explicit AlsaBurstPeer(const std::string &client, int window = 0);
    // Kernel clients at both ends: VirMIDI devices (card 0) written and read
    // raw; a unit that holds reads nothing while a list is being written.
    AlsaBurstPeer(int from, int to, bool hold = false);
    ~AlsaBurstPeer();
    AlsaBurstPeer(const AlsaBurstPeer &) = delete;
    AlsaBurstPeer &operator=(const AlsaBurstPeer &) = delete;

    bool isOpen() const;
    QString inName() const;
    QString outName() const;
    // Connects "out" to the named port.
    bool connectTo(const QString &port);
    // Queues a list to send after the ones before it.
    bool send(std::vector<Bytes> messages);
    // What arrived since the last call.
    std::vector<Bytes> takeReceived();
    // Messages the sequencer refused so far (the receiver's pool was full).
    int refused() const;

private:
    void sendLoop();

    std::unique_ptr<AlsaClient> seq;
    std::unique_ptr<RawEnds> raw;
    int out = -1, in = -1;
    const std::size_t window;
    std::shared_ptr<MessageLog> arrived = std::make_shared<MessageLog>();
    mutable std::mutex mutex;
    std::condition_variable wake;
    std::deque<std::vector<Bytes>> lists;
    bool stopping = false;
    int refusals = 0;
    std::thread sender;
};

// Keeps a client number taken after its client closed, so that a client
// made again under the same name gets another: a unit plugged in again.
class AlsaNumberHold
{
public:
    explicit AlsaNumberHold(int number);
    ~AlsaNumberHold();

private:
    std::unique_ptr<AlsaClient> holder;
};

// "Client:port" of every port whose name starts with the prefix.
QStringList alsaPorts(const QString &prefix);
// "Client:port" of the ports connected to the named one, either way.
QStringList alsaConnections(const QString &port);
// Connects two ports, or cuts them apart, as a patchbay does.
bool alsaConnect(const QString &from, const QString &to, bool connect);
