// Writing a disk's metadata from its shared image back to the device.
//
// Every change writes copy 0 before copy 1; in each copy the map to both
// places (A, then B), of the tables only the 4 KiB page of the block type
// that changed, and the copy's header last, carrying a raised update count.
// Callers hold the slot's lock and have an open fd.
#pragma once

#include "disk/layout.h"

namespace zrfs {

// The header of one copy.  0, or -1 when it was not written whole.
int WriteCopyHeader(DfDiskSlot &slot, int copy);

// The map at place A, then place B of the copy.  *placeAFailed: 0 when place
// A was written, else 1.  0 when either was written; -1 (and *placeAFailed
// left) when there is no descriptor or the disk is absent before the first
// write.
int WriteBlockMap(DfDiskSlot &slot, int copy, int *placeAFailed);

// One type's page of the current-block or block-count table.  0 or -1.
int WriteCurBlkPage(DfDiskSlot &slot, int copy, int type);
int WriteBlkCntPage(DfDiskSlot &slot, int copy, int type);

// The map, then the two pages of each type in type order: 33 writes.
// Returns the number that failed.
int WriteWholeCopy(DfDiskSlot &slot, int copy);

// How one metadata change went in each copy.
struct ChangeWritten {
  bool good[kMetaCopies] = {};             // the copy's pages, then its header, all went out
  int placeAFailed[kMetaCopies] = {1, 1};  // of the copy's map write; 1 when it had none

  bool AnyGood() const { return good[0] || good[1]; }
};

// One metadata change: raises the update count, then for copy 0 and then
// copy 1 writes that copy's pages with writePages(copy, &placeAFailed),
// which says whether all of them went out, and only after them the copy's
// header.  A header showing the newer count thus always stands in front
// of pages that hold the change, and a copy whose pages failed keeps its
// older count, so the next mount prefers the other.  The cost is one
// 512-byte write per copy next to at least a 4 KiB page (an allocation
// or release, once per GiB recorded, writes 2 x 128 KiB of map and up to
// 8 KiB of tables per copy).
template <typename WritePages>
ChangeWritten WriteChange(DfDiskSlot &slot, WritePages writePages) {
  ++slot.entry->head.updateCount;
  ChangeWritten written;
  for (int copy = 0; copy < int(kMetaCopies); ++copy)
    written.good[copy] =
        writePages(copy, &written.placeAFailed[copy]) && WriteCopyHeader(slot, copy) == 0;
  return written;
}

}  // namespace zrfs
