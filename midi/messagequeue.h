#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "midi/midisink.h"

// Whole MIDI messages from one sending side to one reading side, without
// locks or allocation after construction. Senders on several threads must
// be serialised by the caller; the reader is the output's process cycle.
class MessageQueue
{
public:
    using Message = MidiSink::Message;

    // Room for at least capacity bytes of messages and their length words.
    explicit MessageQueue(std::size_t capacity);
    MessageQueue(const MessageQueue &) = delete;
    MessageQueue &operator=(const MessageQueue &) = delete;

    // Appends all the messages, or none of them when they do not fit. The
    // reader sees them all at once.
    bool push(const Message *messages, std::size_t count);
    bool push(const unsigned char *bytes, std::size_t size)
    {
        const Message message{bytes, size};
        return push(&message, 1);
    }

    // Reader side: the size of the next message, 0 when there is none.
    std::size_t frontSize() const;
    // Copies the next message out and removes it; dest holds frontSize() bytes.
    void pop(unsigned char *dest);
    // Copies the next message out and leaves it in place.
    void peek(unsigned char *dest) const;
    // Removes the next message unread.
    void skip();
    bool empty() const;

    std::size_t capacity() const { return mask + 1; }

private:
    using Length = std::uint32_t;
    void copyIn(std::size_t at, const void *from, std::size_t size);
    void copyOut(std::size_t at, void *to, std::size_t size) const;

    std::size_t mask;
    std::unique_ptr<unsigned char[]> ring;
    // Free-running positions; only the writer moves tail, only the reader head.
    alignas(64) std::atomic<std::size_t> head{0};
    alignas(64) std::atomic<std::size_t> tail{0};
};
