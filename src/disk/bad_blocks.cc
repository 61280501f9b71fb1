// Marking blocks bad: one block after an I/O error in it, or every block a
// byte range of the device touches.  Only the map is written (both places of
// both copies, then each copy's header); the tables, the counts and the
// blocks' contents stay.
#include "disk/bad_blocks.h"

#include "disk/device_io.h"
#include "disk/disk.h"
#include "disk/disk_table.h"
#include "disk/metadata_io.h"
#include "shared/proc_lock.h"
#include "zrfs/df.h"

namespace zrfs {

bool WriteMapToBothCopies(DfDiskSlot &slot, int *placeAFailed) {
  ChangeWritten written = WriteChange(
      slot, [&](int copy, int *placeA) { return WriteBlockMap(slot, copy, placeA) == 0; });
  *placeAFailed = written.good[0] ? written.placeAFailed[0] : written.placeAFailed[1];
  return written.AnyGood();
}

bool BlocksTouched(const DfDiskEntry &entry, uint64_t offset, uint64_t end, uint32_t *first,
                   uint32_t *last) {
  uint32_t blocks = UsableBlocks(entry);
  uint64_t unit = entry.head.unitSize;  // never 0: such a disk is refused at mount
  uint64_t dataStart = entry.head.dataStart;
  uint64_t dataEnd = dataStart + unit * entry.head.tolblk;  // computed, not the stored one
  if (blocks == 0 || unit == 0 || end <= dataStart || offset >= dataEnd) return false;
  uint64_t from = offset > dataStart ? (offset - dataStart) / unit : 0;
  uint64_t to = end < dataEnd ? (end - dataStart) / unit : entry.head.tolblk - 1ull;
  if (from >= blocks) return false;
  if (to >= blocks) to = blocks - 1;  // never past the blocks the map holds
  *first = uint32_t(from);
  *last = uint32_t(to);
  return true;
}

Status TagBadBlock(unsigned disk, int blk) {
  DfDiskSlot *slot = SlotOfDisk(disk);
  if (slot == nullptr) return Status::kBadArgument;
  ProcessLockGuard lock(slot->semId, LockLevel::kDisk);
  if (!lock.ok()) return Status::kNoLock;
  if (slot->entry == nullptr) return Status::kNotMounted;
  if (!IsBlockId(*slot->entry, blk)) return Status::kBadArgument;
  DfDiskEntry &entry = *slot->entry;
  entry.blkMap[blk] = kBlkBadBlock;
  int placeAFailed = 0;
  if (!WriteMapToBothCopies(*slot, &placeAFailed))
    return Status::kIoError;  // the image stays tagged
  entry.mapIndex = uint32_t(placeAFailed);
  return Status::kOk;
}

Status TagBadUnit(const char *path, uint64_t offset, uint32_t length) {
  if (DiskOfPath(path) < 0) return Status::kNoDevice;
  if (DeviceSize(path) <= offset) return Status::kBadArgument;  // measured before the lock
  MountedDisk disk(path);
  if (!Ok(disk.status())) return disk.status();
  DfDiskEntry &entry = disk.entry();
  uint32_t first = 0, last = 0;
  if (!BlocksTouched(entry, offset, RangeEnd(offset, length), &first, &last)) return Status::kOk;
  bool changed = false;
  for (uint32_t blk = first; blk <= last; ++blk) {
    if (IsBadState(entry.blkMap[blk])) continue;
    entry.blkMap[blk] = kBlkBadUnit;  // used and free blocks alike
    changed = true;
  }
  if (!changed) return Status::kOk;
  int placeAFailed = 0;
  return WriteMapToBothCopies(disk.slot(), &placeAFailed) ? Status::kOk : Status::kIoError;
}

}  // namespace zrfs
