// Apart from the rest of the ALSA code: the kernel's sequencer header and
// alsa-lib's define the same structures.
#include "midi/alsaroom.h"

#include <sound/asequencer.h>
#include <sys/ioctl.h>

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

} // namespace AlsaSequencer
