#include "midi/midibackend.h"

#include "midi/alsasequencer.h"
#include "midi/jackclient.h"
#include "midi/midisystem.h"
#include "midi/rtmidibackend.h"

std::unique_ptr<MidiBackend> MidiBackend::open(RtMidi::Api api, const Hooks &hooks)
{
    if (!MidiSystem::usable(api))
        return nullptr;
    switch (api) {
    case RtMidi::UNIX_JACK:
        return JackClient::open(hooks);
    case RtMidi::LINUX_ALSA:
        return AlsaSequencer::Client::open(hooks);
    default:
        return RtMidiBackend::open(api, hooks);
    }
}
