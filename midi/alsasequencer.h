#pragma once

#include "midi/midibackend.h"
#include "midi/midisink.h"

#include <QStringList>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

// The router on the ALSA sequencer, written against alsa-lib: an input
// client read by a thread of its own, an output sink that never blocks its
// caller for good, and a watch on System:Announce for ports that come and
// go. Port names are "client:port c:p", as the MIDI library names them, so
// stored choices stay valid.
namespace AlsaSequencer {

struct Poll;

// Whether this machine has a sequencer to talk to.
bool available();

// A port as the router lists it: its address, capabilities, "Client:port"
// and the name with its numbers, "Client:port c:p".
struct Port
{
    int client = -1, port = -1;
    unsigned int capability = 0;
    std::string plain, listed;
};
// Each MIDI port of the sequencer (not the system's own), on an open handle.
void eachPort(void *seq, const std::function<void(const Port &)> &visit);

// The input: the named source (or, for an empty name, the virtual input
// others connect to) read on a thread that hands each message to handler
// and does nothing else.
class Input
{
public:
    using Handler = void (*)(void *user, const unsigned char *bytes, std::size_t size,
                             std::uint32_t frame);
    // overruns counts the times the sequencer dropped what overflowed the
    // input's pool (a sender that does not wait, faster than the reader).
    // behind says, while a message is handled, that more were read with it.
    static std::unique_ptr<Input> open(const std::string &source, Handler handler, void *user,
                                       std::atomic<std::uint32_t> *overruns,
                                       std::atomic<bool> *behind);
    ~Input();
    // Connects again to the source after it went and came back.
    bool relink();

private:
    Input() = default;
    void run();

    void *seq = nullptr;
    void *parser = nullptr;
    int client = -1, port = -1;
    std::atomic<bool> stopping{false};
    std::string source;
    Handler handler = nullptr;
    void *user = nullptr;
    std::atomic<std::uint32_t> *overruns = nullptr;
    std::atomic<bool> *behind = nullptr;
    std::unique_ptr<unsigned char[]> buffer;
    std::thread thread;
};

// The output to one destination port. Sends wait while the receiver's pool
// (or, for a kernel client, its raw MIDI buffer) is full, but give up when
// the sink closes.
class Sink : public MidiSink
{
public:
    // Runs on a thread of the sink's own when a connection to its port was
    // made (true) or removed, by whoever: the sequencer tells only the
    // port's own client.
    using News = std::function<void(bool made)>;
    // While inputBehind is set, the input's own writes are refused: they
    // go through the writer, so that the input only reads.
    static std::unique_ptr<Sink> open(const std::string &destination, News news,
                                      const std::atomic<bool> *inputBehind = nullptr);
    ~Sink() override;
    bool sendMessage(const unsigned char *bytes, std::size_t size) override;
    bool sendNow(const unsigned char *bytes, std::size_t size) override;
    bool relink() override;
    bool reaches() const override;
    void stop() override;

private:
    Sink() = default;
    void watch();
    bool output(void *event, std::size_t cells, std::size_t bytes);
    void address(void *event) const;
    bool roomFor(std::size_t cells, std::size_t bytes, bool mayLook);
    void look(int client, int buffer);
    void lookIfDue();

    void *seq = nullptr;
    void *encoder = nullptr;
    int port = -1;
    int stopFd = -1;
    int seqFd = -1;
    std::atomic<int> destinationClient{-1};
    // The kernel client's raw MIDI buffer, packed (-1: none, a pool to ask).
    std::atomic<int> rawBuffer{-1};
    const std::atomic<bool> *inputBehind = nullptr;
    // What the receiver's pool (or buffer, in bytes) had free at the last
    // look, less what was written since, and what was asked; the writing
    // thread's.
    long spare = 0;
    long reserve = 0;
    long sinceLook = 0;
    int lookedAt = -1;
    int lookedBuffer = -1;
    bool lookDue = false; // the last look may be old: asked after the write
    std::chrono::steady_clock::time_point lookTime;
    std::string destination;
    std::atomic<bool> stopping{false};
    News news;
    std::thread watcher;
};

// Lists the ports and reports changes from System:Announce on a thread of
// its own (not a real-time one).
class Watch
{
public:
    static std::unique_ptr<Watch> open(std::function<void()> changed);
    ~Watch();
    // No call of changed starts after this returns.
    void silence();
    void list(QStringList &inputs, QStringList &outputs) const;
    // Ports that started since the last call, by name.
    QStringList takeAppeared();

private:
    Watch() = default;
    void run();
    void announce();

    void *seq = nullptr;
    int wakeFd = -1;
    std::unique_ptr<Poll> poll;
    std::function<void()> changed;
    mutable std::mutex mutex;
    QStringList appeared;
    std::thread thread;
};

// The router's client of the sequencer: the watch, the input and the
// output, opened and closed by name.
class Client : public MidiBackend
{
public:
    static std::unique_ptr<Client> open(const Hooks &hooks);
    ~Client() override;
    void silence() override;
    void listPorts(QStringList &inputs, QStringList &outputs, QStringList &appeared) override;
    bool openInput(const QString &name) override;
    void closeInput() override { input.reset(); } // its thread has stopped then
    bool relinkInput() override { return input && input->relink(); }
    NoteOutput *openOutput(const QString &name) override;
    void closeOutput() override; // lets what it queued go out first

private:
    Client() = default;
    void linkNews(bool made);

    Hooks hooks;
    std::unique_ptr<Watch> watch;
    std::unique_ptr<Input> input;
    std::mutex outputMutex; // the output, for its sink's news
    std::unique_ptr<NoteOutput> output;
    bool silenced = false;
    std::atomic<bool> inputBehind{false}; // the input's, read by the output's sink
};

} // namespace AlsaSequencer
