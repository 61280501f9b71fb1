// Writing a disk's metadata from its shared image back to the device.
//
// Every change writes copy 0 before copy 1, the map to both of a copy's
// places (A, then B), and of the tables only the 4 KiB page of the block
// type that changed.  Callers hold the slot's lock and have an open fd.
#pragma once

#include "disk/layout.h"

namespace zrfs {

// Header at copy 0, then copy 1.  *firstFailed: 0 when copy 0 was written,
// 1 when not.  0 when at least one was written; -1 (and *firstFailed left)
// when there is no descriptor or the disk is absent before the first write.
int WriteDiskHeader(DfDiskSlot &slot, int *firstFailed);

// The map at place A, then place B of the copy.  *placeAFailed: 0 when place
// A was written, else 1.  Result rules as for WriteDiskHeader.
int WriteBlockMap(DfDiskSlot &slot, int copy, int *placeAFailed);

// One type's page of the current-block or block-count table.  0 or -1.
int WriteCurBlkPage(DfDiskSlot &slot, int copy, int type);
int WriteBlkCntPage(DfDiskSlot &slot, int copy, int type);

// The map, then the two pages of each type in type order: 33 writes.
// Returns the number that failed.
int WriteWholeCopy(DfDiskSlot &slot, int copy);

}  // namespace zrfs
