#pragma once

#include "midi/midisink.h"

#include <RtMidi.h>

#include <memory>

// The output on MIDI systems other than JACK: an RtMidiOut opened on one
// port, which sends at once.
class RtMidiSink : public MidiSink
{
public:
    explicit RtMidiSink(std::unique_ptr<RtMidiOut> out);
    ~RtMidiSink() override;
    bool sendMessage(const unsigned char *bytes, std::size_t size) override;

private:
    std::unique_ptr<RtMidiOut> out;
};
