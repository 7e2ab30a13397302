#pragma once

#include <QProcess>

#include <signal.h>

// A signal to a child, never to a pid of 0 (a process that already ended):
// kill(0, ...) would signal the whole process group, the test runner too.
inline bool signalProcess(const QProcess &process, int number)
{
    const qint64 pid = process.processId();
    return pid > 0 && ::kill(pid_t(pid), number) == 0;
}
