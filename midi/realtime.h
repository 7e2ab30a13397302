#pragma once

#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <atomic>

// Set once a MIDI thread was refused real-time scheduling; read by the
// router's worker, which says so (the MIDI threads may not write).
inline std::atomic<bool> &midiPriorityRefused()
{
    static std::atomic<bool> refused{false};
    return refused;
}

// The real-time priority of every MIDI thread: low among real-time
// threads, above all others.
inline int midiPriority()
{
    return std::max(1, sched_get_priority_min(SCHED_FIFO) + 10);
}

// Every thread that reads or writes MIDI runs at the same real-time
// priority where the system allows it (elsewhere the call fails and the
// thread runs as it is scheduled): a writer below its reader would make the
// reader wait behind everything else on the machine.
inline bool raiseToMidiPriority()
{
    sched_param param{};
    param.sched_priority = midiPriority();
    if (pthread_setschedparam(pthread_self(), SCHED_FIFO, &param) == 0)
        return true;
    midiPriorityRefused().store(true, std::memory_order_relaxed);
    return false;
}
