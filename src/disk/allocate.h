// Choosing blocks for new record files, beyond the exported df_GetFileBlkId.
#pragma once

#include <cstdint>

#include "zrfs/df.h"

namespace zrfs {

// Moves a channel off the block `avoid` (its current block, in which another
// file may still grow) for a new record file: back to `preferred` when that
// is a used block of the same channel and block type with room for the
// file, else to the lowest free block.  Either becomes the channel's current
// block.  Same results as df_GetFileBlkId.
int ChooseOtherFileBlock(const FileCreateParam *param, int32_t avoid, int32_t preferred,
                         DfFileBlk *out);

}  // namespace zrfs
