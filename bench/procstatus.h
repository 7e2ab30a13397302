#pragma once

#include <fstream>
#include <string>

// A size from /proc/self/status ("VmRSS:", "VmSize:"), in KiB; -1 when
// it is not there.
inline long procStatusKiB(const char *key)
{
    std::ifstream status("/proc/self/status");
    std::string word;
    long value = 0;
    while (status >> word) {
        if (word == key) {
            status >> value;
            return value;
        }
        status.ignore(256, '\n');
    }
    return -1;
}
