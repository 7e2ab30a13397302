// Sends one burst into a router's input in one go, as fast as JACK carries
// it, and checks what comes out of the router's output: how many messages,
// and how many arrived intact and in order.
// Usage: bench_burstpeer TO_PORT FROM_PORT cc|sysex COUNT [SIZE]
#include "jackpeers.h"

#include <jack/jack.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

const Bytes ping{0xB0, 0x7F, 0x7F}; // no burst uses controller 127

// Takes what arrived until nothing has come for the quiet time.
std::vector<Bytes> collect(JackBurstPeer &peer, std::size_t wanted, std::chrono::milliseconds quiet)
{
    std::vector<Bytes> got;
    auto last = Clock::now();
    while (got.size() < wanted && Clock::now() - last < quiet) {
        for (Bytes &m : peer.takeReceived()) {
            got.push_back(std::move(m));
            last = Clock::now();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return got;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 5) {
        std::fprintf(stderr, "usage: %s TO_PORT FROM_PORT cc|sysex COUNT [SIZE]\n", argv[0]);
        return 2;
    }
    const std::string to = argv[1], from = argv[2], kind = argv[3];
    const int count = std::atoi(argv[4]);
    const int size = argc > 5 ? std::atoi(argv[5]) : 1000;

    // Whole cycles, as full as the port takes them.
    JackBurstPeer peer("Bench Burst", 1 << 30);
    jack_client_t *linker = jack_client_open("Bench Burst Linker", JackNoStartServer, nullptr);
    if (!peer.isOpen() || !linker || !peer.connectTo(to) ||
        jack_connect(linker, from.c_str(), peer.inName().c_str()) != 0) {
        std::fprintf(stderr, "burstpeer: cannot connect to %s and %s\n", to.c_str(), from.c_str());
        return 1;
    }
    jack_client_close(linker);

    // A slowly opened client may never cycle: the ping proves the path.
    bool flowing = false;
    for (int attempt = 0; attempt < 50 && !flowing; ++attempt) {
        if (peer.send({ping}))
            flowing = !collect(peer, 1, std::chrono::milliseconds(200)).empty();
    }
    if (!flowing) {
        std::fprintf(stderr, "burstpeer: nothing comes back through %s\n", to.c_str());
        return 1;
    }
    collect(peer, 1000, std::chrono::milliseconds(100));

    std::vector<Bytes> sent;
    for (int i = 0; i < count; ++i) {
        if (kind == "sysex") {
            Bytes m(std::size_t(size), static_cast<unsigned char>(i % 100 + 1));
            m.front() = 0xF0;
            m.back() = 0xF7;
            sent.push_back(std::move(m));
        } else {
            sent.push_back({0xB0, static_cast<unsigned char>(i % 120 + 1),
                            static_cast<unsigned char>(i % 128)});
        }
    }
    while (!peer.send(sent))
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const std::vector<Bytes> got = collect(peer, sent.size(), std::chrono::seconds(2));

    // In order: each arrival must match the next sent message not yet seen.
    std::size_t next = 0, intact = 0;
    for (const Bytes &m : got) {
        std::size_t k = next;
        while (k < sent.size() && sent[k] != m)
            ++k;
        if (k < sent.size()) {
            ++intact;
            next = k + 1;
        }
    }
    std::printf("sent %d received %zu intact %zu\n", count, got.size(), intact);
    return 0;
}
