#include "midi/noteoutput.h"

#include "app/say.h"
#include "midi/midisystem.h"
#include "midi/realtime.h"

#include <RtMidi.h>

#include <bitset>
#include <chrono>
#include <cstdio>
#include <cstring>

namespace {

constexpr std::size_t largestSent = 4; // composed messages are short
constexpr std::size_t mostInABatch = 8;

} // namespace

NoteOutput::NoteOutput(std::size_t queueBytes) : sent(queueBytes) {}

NoteOutput::~NoteOutput() = default;

bool NoteOutput::send(const Message *messages, std::size_t count)
{
    if (count == 0 || count > mostInABatch)
        return false;
    for (std::size_t i = 0; i < count; ++i)
        if (messages[i].size == 0 || messages[i].size > largestSent)
            return false;
    return push(Composed, messages, count);
}

bool NoteOutput::releaseHeldNotes()
{
    return push(Release, nullptr, 1);
}

bool NoteOutput::panic()
{
    return push(Panic, nullptr, 1);
}

// Each record carries its kind and how much input went before it, so the
// writer keeps the order they came in.
bool NoteOutput::push(Kind kind, const Message *messages, std::size_t count)
{
    bool taken = accepting();
    if (taken) {
        std::lock_guard<std::mutex> lock(sendMutex);
        const std::uint32_t stamp = inputStamp();
        unsigned char records[mostInABatch][1 + sizeof stamp + largestSent];
        Message stamped[mostInABatch];
        for (std::size_t i = 0; i < count; ++i) {
            const std::size_t size = messages ? messages[i].size : 0;
            records[i][0] = kind;
            std::memcpy(records[i] + 1, &stamp, sizeof stamp);
            if (size)
                std::memcpy(records[i] + 1 + sizeof stamp, messages[i].bytes, size);
            stamped[i] = {records[i], 1 + sizeof stamp + size};
        }
        taken = sent.push(stamped, count);
    }
    if (taken)
        wake();
    else
        countDrop();
    return taken;
}

void NoteOutput::noteWritten(const unsigned char *bytes, std::size_t size)
{
    const int note = (bytes[0] & 0x0F) * 128 + (bytes[1] & 0x7F);
    const std::uint64_t bit = std::uint64_t(1) << (note % 64);
    const std::size_t at = std::size_t(note / 64);
    AtomicTable &late = releasedLately[lately.load(std::memory_order_relaxed)];
    if (midibytes::isNoteOn(bytes, size)) {
        held[at].fetch_or(bit, std::memory_order_relaxed);
    } else {
        held[at].fetch_and(~bit, std::memory_order_relaxed);
        late[at].fetch_or(bit, std::memory_order_relaxed);
    }
}

void NoteOutput::rollReleased()
{
    // The clock is read without a system call: fine on a real-time thread.
    const auto now = std::chrono::steady_clock::now();
    if (now - rolled < std::chrono::milliseconds(100))
        return;
    rolled = now;
    const int next = 1 - lately.load(std::memory_order_relaxed);
    for (auto &word : releasedLately[next])
        word.store(0, std::memory_order_relaxed);
    lately.store(next, std::memory_order_relaxed);
}

void NoteOutput::foldReleasedLately()
{
    for (std::size_t i = 0; i < held.size(); ++i)
        held[i].fetch_or(releasedLately[0][i].exchange(0, std::memory_order_relaxed) |
                             releasedLately[1][i].exchange(0, std::memory_order_relaxed),
                         std::memory_order_relaxed);
}

int NoteOutput::heldNoteCount() const
{
    int count = 0;
    for (const auto &word : held)
        count += int(std::bitset<64>(word.load(std::memory_order_relaxed)).count());
    return count;
}

NoteOutput::HeldTable NoteOutput::takeHeld()
{
    HeldTable notes;
    for (std::size_t i = 0; i < held.size(); ++i)
        notes[i] = held[i].exchange(0, std::memory_order_relaxed) |
                   releasedLately[0][i].exchange(0, std::memory_order_relaxed) |
                   releasedLately[1][i].exchange(0, std::memory_order_relaxed);
    return notes;
}

void NoteOutput::adoptHeld(const HeldTable &notes)
{
    bool any = false;
    for (std::size_t i = 0; i < held.size(); ++i) {
        held[i].fetch_or(notes[i], std::memory_order_relaxed);
        any = any || notes[i];
    }
    if (any)
        releaseHeldNotes();
}

ThreadedOutput::ThreadedOutput(std::unique_ptr<MidiSink> sink, std::size_t queueBytes)
    : NoteOutput(queueBytes), sink(std::move(sink)), input(queueBytes),
      scratch(new unsigned char[queueBytes]), scratchSize(queueBytes)
{
    sem_init(&wakeUp, 0, 0);
    writer = std::thread([this] { run(); });
}

ThreadedOutput::~ThreadedOutput()
{
    drain();
    stopping.store(true, std::memory_order_release);
    sink->stop(); // a send waiting on a stalled receiver gives up
    sem_post(&wakeUp);
    writer.join();
    sem_destroy(&wakeUp);
}

void ThreadedOutput::wake()
{
    sem_post(&wakeUp);
}

bool ThreadedOutput::accepting() const
{
    return sink->accepting();
}

bool ThreadedOutput::forward(const unsigned char *bytes, std::size_t size, std::uint32_t)
{
    const bool accepting = sink->accepting();
    if (accepting && input.empty() && writeNow(bytes, size))
        return true;
    if (!accepting || !input.push(bytes, size)) {
        countDrop();
        return false;
    }
    forwarded.fetch_add(1, std::memory_order_release);
    // Only a sleeping writer needs the (system call of a) wake-up.
    if (sleeping.exchange(false))
        sem_post(&wakeUp); // async-signal-safe, takes no lock
    return true;
}

// The input thread's: only while the writer is idle and nothing it was
// handed waits, so that nothing is overtaken (a release request pushed
// before this forward began is seen in the sent queue). False: nothing was
// written, the writer takes the message in its turn.
bool ThreadedOutput::writeNow(const unsigned char *bytes, std::size_t size)
{
    int idle = Free;
    if (!owner.compare_exchange_strong(idle, Input, std::memory_order_acquire))
        return false;
    bool done = false;
    if (sent.empty() && input.empty() && !releasing()) {
        done = put([this](const unsigned char *b,
                          std::size_t n) { return sink->sendNow(b, n) ? Put::Done : Put::Later; },
                   bytes, size);
        if (done) {
            ++written;
            forwarded.fetch_add(1, std::memory_order_release);
        }
    }
    owner.store(Free, std::memory_order_release);
    return done;
}

// Bounded: a receiver that stopped reading must not hold up a close.
void ThreadedOutput::drain()
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(250);
    while ((!sent.empty() || !input.empty() || busy.load(std::memory_order_acquire)) &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

// A refused message is gone: waiting on it would stop everything behind.
ThreadedOutput::Put ThreadedOutput::write(const unsigned char *bytes, std::size_t size)
{
    bool sentOk = false;
    try {
        sentOk = sink->sendMessage(bytes, size);
    } catch (RtMidiError &e) {
        if (!failing)
            MidiSystem::sayError(e);
    }
    if (!sentOk && !failing)
        say(QStringLiteral("Brantolex Fixer: the MIDI output refuses messages; they are dropped"));
    else if (sentOk && failing)
        say(QStringLiteral("Brantolex Fixer: MIDI output flows again"));
    failing = !sentOk;
    return sentOk ? Put::Done : Put::Lost;
}

void ThreadedOutput::run()
{
    auto writeOne = [this](const unsigned char *bytes, std::size_t size) {
        return write(bytes, size);
    };
    // A composed message or a release goes once the input forwarded before
    // it has gone; the input forwarded after it waits for it.
    auto due = [this](std::uint32_t stamp) { return std::int32_t(stamp - written) <= 0; };
    raiseToMidiPriority();
    while (!stopping.load(std::memory_order_acquire)) {
        busy.store(true, std::memory_order_release);
        // The input holds the sink for one message at most.
        for (int idle = Free; !owner.compare_exchange_weak(idle, Writer, std::memory_order_acquire);
             idle = Free)
            std::this_thread::yield();
        drainSent(writeOne, due);
        while (const std::size_t size = input.frontSize()) {
            if (size <= scratchSize) {
                input.pop(scratch.get());
                put(writeOne, scratch.get(), size);
            } else {
                input.skip();
            }
            ++written;
            drainSent(writeOne, due);
        }
        owner.store(Free, std::memory_order_release);
        busy.store(false, std::memory_order_release);
        sleeping.store(true);
        if (!sent.empty() || !input.empty()) {
            sleeping.store(false);
            continue;
        }
        sem_wait(&wakeUp);
        sleeping.store(false);
    }
}
