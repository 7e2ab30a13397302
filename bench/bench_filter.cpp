// Cost of the router's input filter per message, through the output seam with
// an output that does nothing, and through the JACK output's queue (drained
// as the port's cycle would); counts heap allocations on each path.
#include "midi/messagequeue.h"
#include "midi/midiio.h"
#include "midi/midisink.h"

#include <benchmark/benchmark.h>

#include <QCoreApplication>

#include <atomic>
#include <cstdlib>
#include <new>

namespace {

std::atomic<bool> counting{false};
std::atomic<long> allocations{0};

class NullSink : public MidiSink
{
public:
    bool sendMessage(const unsigned char *bytes, std::size_t size) override
    {
        benchmark::DoNotOptimize(bytes);
        benchmark::DoNotOptimize(size);
        return true;
    }
};

// The queue's sending side as the JACK output has it; the reading side is
// emptied whenever it is half full.
class QueueSink : public MidiSink
{
public:
    bool sendMessage(const unsigned char *bytes, std::size_t size) override
    {
        if (!queue.push(bytes, size))
            return false;
        if (++queued == 4096) {
            while (queue.frontSize())
                queue.skip();
            queued = 0;
        }
        return true;
    }

private:
    MessageQueue queue{256 * 1024};
    int queued = 0;
};

void run(benchmark::State &state, std::vector<unsigned char> message, bool queued = false)
{
    MidiIO router;
    router.replaceOutput(queued ? static_cast<MidiSink *>(new QueueSink) : new NullSink);
    router.setMidiChannel(1);
    void *cell = router.callbackUserData();
    allocations = 0;
    counting = true;
    for (auto _ : state)
        MidiIO::midiInCallback(0.0, &message, cell);
    counting = false;
    state.counters["allocs/msg"] =
        benchmark::Counter(double(allocations.load()) / double(state.iterations()));
    state.SetItemsProcessed(state.iterations());
}

void forwardRoutedChannel(benchmark::State &state)
{
    run(state, {0x90, 0x3C, 0x64});
}
void forwardThroughQueue(benchmark::State &state)
{
    run(state, {0xB0, 0x07, 0x64}, true);
}
void dropOtherChannel(benchmark::State &state)
{
    run(state, {0x91, 0x3C, 0x64});
}
void bankSelect(benchmark::State &state)
{
    run(state, {0xB0, 0x00, 0x03});
}
void programChangeNoSwitch(benchmark::State &state)
{
    run(state, {0xC0, 0x05});
}

} // namespace

void *operator new(std::size_t size)
{
    if (counting.load(std::memory_order_relaxed))
        allocations.fetch_add(1, std::memory_order_relaxed);
    if (void *p = std::malloc(size ? size : 1))
        return p;
    throw std::bad_alloc();
}

void operator delete(void *p) noexcept
{
    std::free(p);
}

void operator delete(void *p, std::size_t) noexcept
{
    std::free(p);
}

BENCHMARK(forwardRoutedChannel);
BENCHMARK(forwardThroughQueue);
BENCHMARK(dropOtherChannel);
BENCHMARK(bankSelect);
BENCHMARK(programChangeNoSwitch);

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
