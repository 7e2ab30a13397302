#pragma once

#include <cstddef>

// Where the router's outgoing messages go. The program puts an RtMidi output
// behind it; tests put a recorder. Takes the bytes as they are, so forwarding
// a received message costs no copy.
class MidiSink
{
public:
    virtual ~MidiSink() = default;
    // May throw RtMidiError; the router contains it.
    virtual void sendMessage(const unsigned char *bytes, std::size_t size) = 0;
};
