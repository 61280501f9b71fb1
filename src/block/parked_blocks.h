// Blocks a channel left while one of their files could still grow.  Once
// nothing in such a block grows any more, the channel's next file that
// finds its current block busy goes back there instead of taking a fresh
// block, so the free room behind the block's files is not stranded.
//
// Per process and small: a remembered block is a hint that the disk layer
// checks (still used, still the channel's, room left) before it is taken.
// Used only under g_tBlkMutex.
#pragma once

#include <cstdint>

namespace zrfs {

// Remembers blk as the block (disk, type, channel) left; replaces an
// earlier one of the same channel, else the oldest remembered block.
void ParkBlock(int32_t disk, uint32_t type, uint32_t chan, int32_t blk);

// The block (disk, type, channel) left last, forgotten now; -1 for none.
int32_t TakeParkedBlock(int32_t disk, uint32_t type, uint32_t chan);

}  // namespace zrfs
