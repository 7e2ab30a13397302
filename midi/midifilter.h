#pragma once

#include <cstddef>

// The router's settings as the input filter sees them at one message.
struct FilterFlags
{
    int channel = -1; // 0..15, -1 for none
    bool ignoreSysex = true;
    bool ignoreClock = true;
    bool translateCC0 = true;
    bool loading = false;
    // The last message passed on was a sysex (or a piece of one) without its
    // end: a piece that starts with a data byte continues it.
    bool inSysex = false;
};

enum class Verdict
{
    Drop,
    Forward,
    Keep,         // a controller, pressure or bend during a load: its value goes out after it
    BankSelect,   // value: the plug-in requested
    ProgramChange // value: the program requested
};

struct Decision
{
    Verdict verdict = Verdict::Drop;
    int value = 0;
};

// What becomes of one message (or one piece of a long sysex): no state, no
// locks, no I/O, so it may run on any thread.
Decision filterMessage(const FilterFlags &flags, const unsigned char *bytes, std::size_t size);

// Whether a sysex is still open after this message.
bool sysexContinues(bool inSysex, const unsigned char *bytes, std::size_t size);
