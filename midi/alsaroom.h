#pragma once

namespace AlsaSequencer {

// Free cells in the input pool of the given sequencer client, asked through
// the descriptor of an open sequencer handle; -1 when the client has no pool
// of its own (a kernel client) or the sequencer does not say. pool, where
// given, gets the pool's whole size.
int inputRoom(int sequencerFd, int client, int *pool = nullptr);

// The raw MIDI buffer a kernel client's port writes what it is sent into:
// a hardware port's output (subdevice), or, for a VirMIDI port, the input
// of every program that reads the device (subdevice -1).
struct RawBuffer
{
    int card = -1, device = -1, subdevice = -1;
};
// Free bytes in it, as the sound system shows them under /proc/asound (the
// sequencer says nothing of it, and drops what does not fit); for readers,
// the least any of them has. -1 when nothing there says. size, where given,
// gets the buffer's whole size. Reads a file: not for real-time threads.
long rawRoom(const RawBuffer &buffer, long *size = nullptr);

} // namespace AlsaSequencer
