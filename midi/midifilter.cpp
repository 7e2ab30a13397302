#include "midi/midifilter.h"

namespace {

constexpr int pluginCount = 8;
constexpr int programCount = 100;

// A note played late would be wrong; a controller's latest value is still
// what the source means once the plug-in has loaded.
Decision forwardUnlessLoading(const FilterFlags &flags, const unsigned char *bytes,
                              std::size_t size)
{
    if (!flags.loading)
        return {Verdict::Forward, 0};
    const unsigned char type = bytes[0] & 0xF0;
    const bool kept = type == 0xB0 || type == 0xD0 || type == 0xE0;
    return {kept && size == (type == 0xD0 ? 2u : 3u) ? Verdict::Keep : Verdict::Drop, 0};
}

} // namespace

bool sysexContinues(bool inSysex, const unsigned char *bytes, std::size_t size)
{
    if (size == 0)
        return inSysex;
    const unsigned char first = bytes[0];
    if (first >= 0xF8)
        return inSysex; // real-time bytes may sit inside a sysex
    if (first != 0xF0 && (first & 0x80))
        return false;
    if (first != 0xF0 && !inSysex)
        return false;
    return bytes[size - 1] != 0xF7;
}

Decision filterMessage(const FilterFlags &flags, const unsigned char *bytes, std::size_t size)
{
    if (size == 0)
        return {};
    const unsigned char status = bytes[0];

    // The rest of a sysex that came in pieces follows its start.
    if (!(status & 0x80))
        return {flags.inSysex && !flags.ignoreSysex ? Verdict::Forward : Verdict::Drop, 0};
    // A lone end of sysex closes one sent in pieces.
    if (status == 0xF0 || status == 0xF7)
        return {flags.ignoreSysex ? Verdict::Drop : Verdict::Forward, 0};
    // Active Sensing is never routed.
    if (status == 0xFE)
        return {};
    // System messages have no channel: transport, tune request and reset
    // go with the clock.
    if (status > 0xF0)
        return {flags.ignoreClock ? Verdict::Drop : Verdict::Forward, 0};
    if ((status & 0x0F) != flags.channel)
        return {};
    if (!flags.translateCC0)
        return forwardUnlessLoading(flags, bytes, size);

    switch (status & 0xF0) {
    case 0x80:
    case 0x90:
    case 0xA0:
    case 0xD0:
    case 0xE0:
        return forwardUnlessLoading(flags, bytes, size);
    case 0xB0:
        if (size < 3)
            return {};
        if (bytes[1] != 0)
            return forwardUnlessLoading(flags, bytes, size);
        if (bytes[2] < pluginCount)
            return {Verdict::BankSelect, bytes[2]};
        return {};
    case 0xC0:
        if (size < 2 || bytes[1] >= programCount)
            return {};
        return {Verdict::ProgramChange, bytes[1]};
    default:
        return {};
    }
}
