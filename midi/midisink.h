#pragma once

#include <cstddef>

// Where the router's outgoing messages go: an RtMidi output, the program's
// own JACK output, or a recorder in the tests. Takes the bytes as they are,
// so forwarding a received message costs no copy.
class MidiSink
{
public:
    struct Message
    {
        const unsigned char *bytes;
        std::size_t size;
    };

    virtual ~MidiSink() = default;
    // False when the message was not sent or queued (and said so on stderr).
    // May throw RtMidiError; the router contains it.
    virtual bool sendMessage(const unsigned char *bytes, std::size_t size) = 0;
    // Messages that must reach the unit together: all are taken or none.
    // An output that sends at once has nothing to hold back, so by default
    // they go one after the other.
    // False while the sink knows it takes nothing (its port gone): sends
    // are then refused at once instead of queued.
    virtual bool accepting() const { return true; }
    // Connects again to a destination that went and came back.
    virtual bool relink() { return true; }
    // Whether what is sent now reaches the destination (it is connected);
    // a note sent to no one is not sounding.
    virtual bool reaches() const { return true; }
    // Asks a send that waits for the receiver to give up: the sink closes.
    virtual void stop() {}
    // The input's own way out, for a sink that can write without waiting:
    // true once the message is written, false when it would have to wait (or
    // failed), with nothing written. Called from the input's real-time
    // thread, never at the same time as sendMessage.
    virtual bool sendNow(const unsigned char *, std::size_t) { return false; }
    virtual bool sendMessages(const Message *messages, std::size_t count)
    {
        for (std::size_t i = 0; i < count; ++i)
            if (!sendMessage(messages[i].bytes, messages[i].size))
                return false;
        return true;
    }
};
