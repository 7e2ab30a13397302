#include "midi/messagequeue.h"

#include <algorithm>
#include <cstring>

namespace {
std::size_t powerOfTwoAtLeast(std::size_t n)
{
    std::size_t size = 64;
    while (size < n)
        size *= 2;
    return size;
}
} // namespace

// Left uninitialised: pages the traffic never reaches cost no memory.
MessageQueue::MessageQueue(std::size_t capacity)
    : mask(powerOfTwoAtLeast(capacity) - 1), ring(new unsigned char[mask + 1])
{
}

bool MessageQueue::push(const Message *messages, std::size_t count)
{
    std::size_t total = 0;
    for (std::size_t i = 0; i < count; ++i)
        total += sizeof(Length) + messages[i].size;
    const std::size_t start = tail.load(std::memory_order_relaxed);
    const std::size_t used = start - head.load(std::memory_order_acquire);
    if (total > capacity() - used)
        return false;
    std::size_t at = start;
    for (std::size_t i = 0; i < count; ++i) {
        const Length length = static_cast<Length>(messages[i].size);
        copyIn(at, &length, sizeof length);
        copyIn(at + sizeof length, messages[i].bytes, messages[i].size);
        at += sizeof length + messages[i].size;
    }
    tail.store(at, std::memory_order_release);
    return true;
}

std::size_t MessageQueue::frontSize() const
{
    const std::size_t at = head.load(std::memory_order_relaxed);
    if (tail.load(std::memory_order_acquire) == at)
        return 0;
    Length length;
    copyOut(at, &length, sizeof length);
    return length;
}

void MessageQueue::pop(unsigned char *dest)
{
    const std::size_t at = head.load(std::memory_order_relaxed);
    const std::size_t size = frontSize();
    copyOut(at + sizeof(Length), dest, size);
    head.store(at + sizeof(Length) + size, std::memory_order_release);
}

void MessageQueue::peek(unsigned char *dest) const
{
    copyOut(head.load(std::memory_order_relaxed) + sizeof(Length), dest, frontSize());
}

void MessageQueue::skip()
{
    const std::size_t at = head.load(std::memory_order_relaxed);
    head.store(at + sizeof(Length) + frontSize(), std::memory_order_release);
}

bool MessageQueue::empty() const
{
    return head.load(std::memory_order_acquire) == tail.load(std::memory_order_acquire);
}

void MessageQueue::copyIn(std::size_t at, const void *from, std::size_t size)
{
    const std::size_t offset = at & mask;
    const std::size_t first = std::min(size, capacity() - offset);
    std::memcpy(ring.get() + offset, from, first);
    std::memcpy(ring.get(), static_cast<const unsigned char *>(from) + first, size - first);
}

void MessageQueue::copyOut(std::size_t at, void *to, std::size_t size) const
{
    const std::size_t offset = at & mask;
    const std::size_t first = std::min(size, capacity() - offset);
    std::memcpy(to, ring.get() + offset, first);
    std::memcpy(static_cast<unsigned char *>(to) + first, ring.get(), size - first);
}
