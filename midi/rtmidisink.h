#pragma once

#include "midi/midisink.h"

#include <RtMidi.h>

#include <atomic>
#include <memory>

class JackWatch;

// The program's output: an RtMidiOut opened on one port.
class RtMidiSink : public MidiSink
{
public:
    RtMidiSink(std::unique_ptr<RtMidiOut> out, std::unique_ptr<JackWatch> watch);
    ~RtMidiSink() override;
    void sendMessage(const unsigned char *bytes, std::size_t size) override;

private:
    std::unique_ptr<RtMidiOut> out;
    std::unique_ptr<JackWatch> watch;
    std::atomic<bool> reportedGone{false};
    std::atomic<bool> reportedFull{false};
};
