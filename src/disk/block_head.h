// Zeroing a block's header area, so a block handed out or taken back
// starts with no block header and no record-file headers.
#pragma once

#include "disk/layout.h"

namespace zrfs {

// Writes zeros over the first 2 MiB of the block in four 512 KiB pieces,
// pausing 1 ms after each so recording traffic keeps flowing.  0, or -1 at
// the first failed piece (later pieces unwritten).  Caller holds the lock
// and has checked blk.
int ClearBlockHead(DfDiskSlot &slot, int32_t blk);

}  // namespace zrfs
