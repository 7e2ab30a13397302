#include "midi/rtmidisink.h"

#include "midi/midisystem.h"

RtMidiSink::RtMidiSink(std::unique_ptr<RtMidiOut> out) : out(std::move(out)) {}

RtMidiSink::~RtMidiSink()
{
    try {
        out->closePort();
    } catch (RtMidiError &e) {
        MidiSystem::sayError(e);
    }
}

bool RtMidiSink::sendMessage(const unsigned char *bytes, std::size_t size)
{
    out->sendMessage(bytes, size);
    return true;
}
