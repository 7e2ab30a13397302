#pragma once

#include <fstream>
#include <string>

// A size from a process's status ("VmRSS:", "VmSize:"), in KiB; -1 when
// it is not there.
inline long procStatusKiB(const char *key, const std::string &path = "/proc/self/status")
{
    std::ifstream status(path);
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
