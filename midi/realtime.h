#pragma once

#include <pthread.h>
#include <sched.h>

#include <algorithm>

// Every thread that reads or writes MIDI runs at the same real-time
// priority where the system allows it (elsewhere the call fails and the
// thread runs as it is scheduled): a writer below its reader would make the
// reader wait behind everything else on the machine.
inline void raiseToMidiPriority()
{
    sched_param param{};
    param.sched_priority = std::max(1, sched_get_priority_min(SCHED_FIFO) + 10);
    pthread_setschedparam(pthread_self(), SCHED_FIFO, &param);
}
