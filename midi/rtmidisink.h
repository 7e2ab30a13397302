#pragma once

#include "midi/midisink.h"

#include <RtMidi.h>

#include <memory>

// The program's output: an RtMidiOut opened on one port.
class RtMidiSink : public MidiSink
{
public:
    explicit RtMidiSink(std::unique_ptr<RtMidiOut> out);
    ~RtMidiSink() override;
    void sendMessage(const unsigned char *bytes, std::size_t size) override;

private:
    std::unique_ptr<RtMidiOut> out;
};
