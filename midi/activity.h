#pragma once

#include <atomic>
#include <cstdint>

// What passed the router, for the window's activity lights. The input's
// thread only ever increments, relaxed: the window reads the counts a few
// dozen times a second and wants no more than "changed since last time".
struct Activity
{
    // Every message the input brought.
    std::atomic<std::uint32_t> in{0};
    // Every message the output took: forwarded or composed.
    std::atomic<std::uint32_t> out{0};
    // Every message the output refused.
    std::atomic<std::uint32_t> dropped{0};

    static void count(std::atomic<std::uint32_t> &counter, std::uint32_t n = 1)
    {
        counter.fetch_add(n, std::memory_order_relaxed);
    }
};
