#pragma once

namespace AlsaSequencer {

// Free cells in the input pool of the given sequencer client, asked through
// the descriptor of an open sequencer handle; -1 when the client has no pool
// of its own (a kernel client) or the sequencer does not say. pool, where
// given, gets the pool's whole size.
int inputRoom(int sequencerFd, int client, int *pool = nullptr);

} // namespace AlsaSequencer
