// Apart from the rest of the ALSA code: the kernel's sequencer header and
// alsa-lib's define the same structures.
#include "midi/alsaroom.h"

#include <sound/asequencer.h>
#include <sys/ioctl.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

namespace AlsaSequencer {

int inputRoom(int sequencerFd, int client, int *size)
{
    snd_seq_client_pool pool{};
    pool.client = client;
    if (ioctl(sequencerFd, SNDRV_SEQ_IOCTL_GET_CLIENT_POOL, &pool) < 0 || pool.input_pool <= 0)
        return -1;
    if (size)
        *size = pool.input_pool;
    return pool.input_free;
}

// The file lists each substream ("Output 0", "Input 0"), and for an open
// one its "Buffer size" and "Avail": free bytes for an output, bytes not
// yet read for an input.
long rawRoom(const RawBuffer &buffer, long *size)
{
    char path[64];
    std::snprintf(path, sizeof path, "/proc/asound/card%d/midi%d", buffer.card, buffer.device);
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    char text[8192];
    std::size_t length = 0;
    for (ssize_t n;
         length < sizeof text - 1 && (n = read(fd, text + length, sizeof text - 1 - length)) > 0;)
        length += std::size_t(n);
    close(fd);
    text[length] = '\0';
    const bool readers = buffer.subdevice < 0;
    long room = -1, whole = 0, bufferSize = 0, number = -1;
    bool output = false;
    for (char *line = text; line;) {
        char *end = std::strchr(line, '\n');
        if (end)
            *end = '\0';
        long value = 0;
        if (std::sscanf(line, "Output %ld", &value) == 1 ||
            std::sscanf(line, "Input %ld", &value) == 1) {
            output = line[0] == 'O';
            number = value;
        } else if (std::sscanf(line, " Buffer size : %ld", &value) == 1) {
            bufferSize = value;
        } else if (std::sscanf(line, " Avail : %ld", &value) == 1) {
            const bool ours = readers ? !output : output && number == buffer.subdevice;
            const long left = output ? value : bufferSize - value;
            if (ours && (room < 0 || left < room)) {
                room = left;
                whole = bufferSize;
            }
        }
        line = end ? end + 1 : nullptr;
    }
    if (size)
        *size = whole;
    return room;
}

} // namespace AlsaSequencer
