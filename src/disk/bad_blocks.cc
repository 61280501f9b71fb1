// Marking blocks bad: one block after an I/O error in it, or every block a
// byte range of the device touches.  Only the map is written (both places of
// both copies); the tables, the counts and the blocks' contents stay.
#include "disk/device_io.h"
#include "disk/disk.h"
#include "disk/disk_table.h"
#include "disk/metadata_io.h"
#include "shared/proc_lock.h"
#include "zrfs/df.h"

namespace zrfs {
namespace {

// Map to copy 0, then copy 1.  True when either was written; *placeAFailed
// is that of the first that was.
bool WriteMapToBothCopies(DfDiskSlot &slot, int *placeAFailed) {
  int copy0PlaceA = 1, copy1PlaceA = 1;
  bool copy0 = WriteBlockMap(slot, 0, &copy0PlaceA) == 0;
  bool copy1 = WriteBlockMap(slot, 1, &copy1PlaceA) == 0;
  *placeAFailed = copy0 ? copy0PlaceA : copy1PlaceA;
  return copy0 || copy1;
}

// Blocks [first, last] that the device range [offset, end] touches, or
// false when it misses the data area.  The block holding byte `end` (one
// past the range) is included, so a range ending on a block boundary also
// takes the next block: a failing sector is often followed by more.
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

}  // namespace
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
  int disk = DiskOfPath(path);
  if (disk < 0) return Status::kNoDevice;
  if (DeviceSize(path) <= offset) return Status::kBadArgument;  // measured before the lock
  DfDiskSlot &slot = g_dfDiskTable[disk];
  ProcessLockGuard lock(slot.semId, LockLevel::kDisk);
  if (!lock.ok()) return Status::kNoLock;
  if (!IsReady(slot)) return Status::kNotMounted;
  DfDiskEntry &entry = *slot.entry;
  uint64_t end = offset + length;
  if (end < offset) end = ~uint64_t{0};  // a range past 2^64 ends there
  uint32_t first = 0, last = 0;
  if (!BlocksTouched(entry, offset, end, &first, &last)) return Status::kOk;
  bool changed = false;
  for (uint32_t blk = first; blk <= last; ++blk) {
    if (IsBadState(entry.blkMap[blk])) continue;
    entry.blkMap[blk] = kBlkBadUnit;  // used and free blocks alike
    changed = true;
  }
  if (!changed) return Status::kOk;
  int placeAFailed = 0;
  return WriteMapToBothCopies(slot, &placeAFailed) ? Status::kOk : Status::kIoError;
}

}  // namespace zrfs
