// Making room when the disk is full, as a recorder does: the recordings of
// the oldest block are deleted, so that the library can give the block to a
// channel that needs one.  Locked recordings are never deleted, and a block
// whose newest recording is still open (being recorded or played) is left
// alone, since deleting its older recordings would free nothing.
#pragma once

#include "shared_state.h"

namespace demo {

// Deletes the recordings of the oldest block that can be freed.  True when
// one was freed.
bool ReclaimOldestBlock(SharedState *state);

}  // namespace demo
