// Choosing blocks for new record files, beyond the exported df_GetFileBlkId,
// and giving a block back under the disk's lock.
#pragma once

#include <cstdint>

#include "disk/layout.h"
#include "shared/status.h"
#include "zrfs/df.h"

namespace zrfs {

// Moves a channel off the block `avoid` (its current block, in which another
// file may still grow) for a new record file: back to `preferred` when that
// is a used block of the same channel and block type with room for the
// file, else to the lowest free block.  Either becomes the channel's current
// block.  Same results as df_GetFileBlkId.
int ChooseOtherFileBlock(const FileCreateParam *param, int32_t avoid, int32_t preferred,
                         DfFileBlk *out);

// df_ReleaseBlock once the disk's lock is held and blk and chan are checked:
// blk free in the map, out of its (type, channel)'s count and current row
// (a type of 16 or more: the map only), in both copies, then its header
// area zeroed.
Status ReleaseLocked(DfDiskSlot &slot, int blk, int chan, unsigned type);

}  // namespace zrfs
