#include "disk/metadata_io.h"

#include "disk/device_io.h"

namespace zrfs {
namespace {

// Writes the same bytes to two places.  *firstFailed tells whether the first
// write failed; the result is 0 when either was written.  An absent disk
// before the first write fails at once; before the second, the first
// write's outcome stands.
int WriteTwice(DfDiskSlot &slot, uint64_t first, uint64_t second, const void *bytes, size_t len,
               int *firstFailed) {
  if (slot.fd < 0) return -1;
  WriteResult one = WriteAt(slot.fd, first, bytes, len);
  if (one == WriteResult::kAbsent) return -1;
  *firstFailed = one == WriteResult::kGood ? 0 : 1;
  WriteResult two = WriteAt(slot.fd, second, bytes, len);
  return one == WriteResult::kGood || two == WriteResult::kGood ? 0 : -1;
}

int WriteOnce(DfDiskSlot &slot, uint64_t offset, const void *bytes, size_t len) {
  if (slot.fd < 0) return -1;
  return WriteAt(slot.fd, offset, bytes, len) == WriteResult::kGood ? 0 : -1;
}

}  // namespace

int WriteCopyHeader(DfDiskSlot &slot, int copy) {
  return WriteOnce(slot, HeaderPlace(copy), &slot.entry->head, sizeof slot.entry->head);
}

int WriteBlockMap(DfDiskSlot &slot, int copy, int *placeAFailed) {
  return WriteTwice(slot, MapPlaceA(copy), MapPlaceB(copy), slot.entry->blkMap,
                    sizeof slot.entry->blkMap, placeAFailed);
}

int WriteCurBlkPage(DfDiskSlot &slot, int copy, int type) {
  return WriteOnce(slot, CurBlkPage(copy, type), slot.entry->curBlk[type], kTablePageSize);
}

int WriteBlkCntPage(DfDiskSlot &slot, int copy, int type) {
  return WriteOnce(slot, BlkCntPage(copy, type), slot.entry->blkCnt[type], kTablePageSize);
}

int WriteWholeCopy(DfDiskSlot &slot, int copy) {
  int failures = 0;
  int placeAFailed = 0;
  if (WriteBlockMap(slot, copy, &placeAFailed) != 0) ++failures;
  for (int type = 0; type < kBlockTypes; ++type) {
    if (WriteCurBlkPage(slot, copy, type) != 0) ++failures;
    if (WriteBlkCntPage(slot, copy, type) != 0) ++failures;
  }
  return failures;
}

}  // namespace zrfs
