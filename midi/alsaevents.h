#pragma once

#include <alsa/asoundlib.h>

#include <cstddef>

// A keyboard's channel messages to and from sequencer events, as alsa-lib's
// MIDI event parser makes them but without it: the parser's general path
// cost the input's hop more than its write. Anything else goes through the
// parser.
namespace alsaevents {

// The bytes of a channel event, with its status; 0 for any other event.
inline std::size_t toBytes(const snd_seq_event_t &ev, unsigned char *out)
{
    const auto status = [](unsigned char kind, unsigned char channel) {
        return static_cast<unsigned char>(kind | (channel & 0x0F));
    };
    const snd_seq_ev_note_t &note = ev.data.note;
    const snd_seq_ev_ctrl_t &control = ev.data.control;
    switch (ev.type) {
    case SND_SEQ_EVENT_NOTEOFF:
    case SND_SEQ_EVENT_NOTEON:
    case SND_SEQ_EVENT_KEYPRESS:
        out[0] = status(ev.type == SND_SEQ_EVENT_NOTEOFF  ? 0x80
                        : ev.type == SND_SEQ_EVENT_NOTEON ? 0x90
                                                          : 0xA0,
                        note.channel);
        out[1] = note.note & 0x7F;
        out[2] = note.velocity & 0x7F;
        return 3;
    case SND_SEQ_EVENT_CONTROLLER:
        out[0] = status(0xB0, control.channel);
        out[1] = control.param & 0x7F;
        out[2] = control.value & 0x7F;
        return 3;
    case SND_SEQ_EVENT_PGMCHANGE:
    case SND_SEQ_EVENT_CHANPRESS:
        out[0] = status(ev.type == SND_SEQ_EVENT_PGMCHANGE ? 0xC0 : 0xD0, control.channel);
        out[1] = control.value & 0x7F;
        return 2;
    case SND_SEQ_EVENT_PITCHBEND:
        out[0] = status(0xE0, control.channel);
        out[1] = (control.value + 8192) & 0x7F;
        out[2] = ((control.value + 8192) >> 7) & 0x7F;
        return 3;
    default:
        return 0;
    }
}

// One whole channel message into a cleared event; false for anything else.
inline bool fromBytes(const unsigned char *bytes, std::size_t size, snd_seq_event_t &ev)
{
    if (size < 2 || bytes[0] < 0x80 || bytes[0] >= 0xF0 || bytes[1] > 0x7F)
        return false;
    const unsigned char kind = bytes[0] & 0xF0;
    const unsigned char channel = bytes[0] & 0x0F;
    const std::size_t length = kind == 0xC0 || kind == 0xD0 ? 2 : 3;
    if (size != length || (length == 3 && bytes[2] > 0x7F))
        return false;
    switch (kind) {
    case 0x80:
    case 0x90:
    case 0xA0:
        ev.type = kind == 0x80 ? SND_SEQ_EVENT_NOTEOFF
                  : kind == 0x90 ? SND_SEQ_EVENT_NOTEON
                                 : SND_SEQ_EVENT_KEYPRESS;
        ev.data.note.channel = channel;
        ev.data.note.note = bytes[1];
        ev.data.note.velocity = bytes[2];
        return true;
    case 0xB0:
        ev.type = SND_SEQ_EVENT_CONTROLLER;
        ev.data.control.channel = channel;
        ev.data.control.param = bytes[1];
        ev.data.control.value = bytes[2];
        return true;
    case 0xC0:
    case 0xD0:
        ev.type = kind == 0xC0 ? SND_SEQ_EVENT_PGMCHANGE : SND_SEQ_EVENT_CHANPRESS;
        ev.data.control.channel = channel;
        ev.data.control.value = bytes[1];
        return true;
    default: // 0xE0
        ev.type = SND_SEQ_EVENT_PITCHBEND;
        ev.data.control.channel = channel;
        ev.data.control.value = (bytes[1] | bytes[2] << 7) - 8192;
        return true;
    }
}

} // namespace alsaevents
