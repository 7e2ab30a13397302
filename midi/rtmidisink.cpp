#include "midi/rtmidisink.h"

#include "midi/jackwatch.h"

#include <cstdio>

RtMidiSink::RtMidiSink(std::unique_ptr<RtMidiOut> out, std::unique_ptr<JackWatch> watch)
    : out(std::move(out)), watch(std::move(watch))
{
}

RtMidiSink::~RtMidiSink()
{
    if (watch && watch->serverGone()) {
        JackWatch::keepUnclosed(std::move(out));
        JackWatch::keepUnclosed(std::move(watch));
        return;
    }
    try {
        out->closePort();
    } catch (RtMidiError &e) {
        e.printMessage();
    }
}

void RtMidiSink::sendMessage(const unsigned char *bytes, std::size_t size)
{
    if (watch) {
        switch (watch->admit(size)) {
        case JackWatch::Verdict::Send:
            break;
        case JackWatch::Verdict::Gone:
            if (!reportedGone.exchange(true))
                std::fputs("Brantolex Fixer: the JACK server has gone away; MIDI output is "
                           "dropped\n",
                           stderr);
            return;
        case JackWatch::Verdict::Busy:
            if (!reportedFull.exchange(true))
                std::fputs("Brantolex Fixer: the JACK server is not taking MIDI output fast "
                           "enough; messages are dropped\n",
                           stderr);
            return;
        case JackWatch::Verdict::TooLarge:
            std::fprintf(stderr,
                         "Brantolex Fixer: a MIDI message of %zu bytes is too large for the JACK "
                         "output; dropped\n",
                         size);
            return;
        }
    }
    out->sendMessage(bytes, size);
}
