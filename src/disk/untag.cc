// Taking back a bad-range tagging: blocks in state kBlkBadUnit that a byte
// range touches become usable again.  Blocks that failed an I/O
// (kBlkBadBlock) stay bad.
//
// Tagging changes only the map, so a block that held recordings when it was
// tagged still has its header and files, and its channel's block count
// still counts it.  Such a block goes back to used; every other one to
// free.  A block header alone does not tell: a format leaves old block
// headers behind, so a free block may show record files of a disk that
// no longer exists.  The count decides: a (type, channel) whose count is
// above the used blocks whose headers name it still accounts for a tagged
// block of it.  When two tagged blocks name the same (type, channel) and
// the count has room for one, the channel's current block goes first.
#include "disk/bad_blocks.h"
#include "disk/device_io.h"
#include "disk/disk.h"
#include "disk/disk_table.h"
#include "disk/metadata_io.h"
#include "format/block_format.h"
#include "shared/proc_lock.h"
#include "zrfs/df.h"

namespace zrfs {
namespace {

// Blocks one call takes back at most: a range of up to 4 GiB touches at
// most 5 blocks of 1 GiB.  A disk of smaller blocks is untagged in parts.
constexpr uint32_t kMaxUntagBlocks = 8;

enum class Header { kHoldsFiles, kEmpty, kUnreadable };

Header ReadOwner(const DfDiskSlot &slot, int32_t blk, uint32_t *type, uint32_t *chan) {
  BlkHeader head;
  if (!ReadFullAt(slot.fd, BlockAddress(*slot.entry, blk), &head, sizeof head))
    return Header::kUnreadable;
  if (head.inUse == 0 || head.fileNum == 0 || head.blkType >= uint32_t(kBlockTypes) ||
      head.ichan >= uint32_t(kChannels))
    return Header::kEmpty;
  *type = head.blkType;
  *chan = head.ichan;
  return Header::kHoldsFiles;
}

// The state block blk goes back to, or false when a header read failed.
// *current: its header names a (type, channel) whose current block it is.
bool StateToRestore(const DfDiskSlot &slot, int32_t blk, uint8_t *state, bool *current) {
  const DfDiskEntry &entry = *slot.entry;
  uint32_t type = 0, chan = 0;
  Header own = ReadOwner(slot, blk, &type, &chan);
  if (own == Header::kUnreadable) return false;
  *state = kBlkFree;
  *current = false;
  if (own == Header::kEmpty) return true;
  *current = entry.curBlk[type][chan] == blk;
  uint32_t counted = entry.blkCnt[type][chan], used = 0;
  for (uint32_t other = 0; other < UsableBlocks(entry) && used < counted; ++other) {
    if (entry.blkMap[other] != kBlkUsed) continue;
    uint32_t otherType = 0, otherChan = 0;
    Header h = ReadOwner(slot, int32_t(other), &otherType, &otherChan);
    if (h == Header::kUnreadable) return false;
    used += h == Header::kHoldsFiles && otherType == type && otherChan == chan;
  }
  if (used < counted) *state = kBlkUsed;
  return true;
}

}  // namespace

Status UntagBadUnit(const char *path, uint64_t offset, uint32_t length) {
  if (DiskOfPath(path) < 0) return Status::kNoDevice;
  if (DeviceSize(path) <= offset) return Status::kBadArgument;  // measured before the lock
  MountedDisk disk(path);
  if (!Ok(disk.status())) return disk.status();
  DfDiskSlot &slot = disk.slot();
  DfDiskEntry &entry = disk.entry();
  // The blocks tagging the same range touches.
  uint32_t first = 0, last = 0;
  if (!BlocksTouched(entry, offset, RangeEnd(offset, length), &first, &last)) return Status::kOk;
  if (last - first >= kMaxUntagBlocks) return Status::kBadArgument;
  // Current blocks first, then the others, each pass in id order.  A
  // failed header read leaves the map as it was.
  uint8_t restored[kMaxUntagBlocks];
  uint32_t count = 0;
  for (uint32_t blk = first; blk <= last; ++blk) restored[count++] = entry.blkMap[blk];
  bool changed = false;
  for (bool currentPass : {true, false}) {
    for (uint32_t blk = first; blk <= last; ++blk) {
      if (entry.blkMap[blk] != kBlkBadUnit) continue;
      uint8_t state = kBlkFree;
      bool current = false;
      if (!StateToRestore(slot, int32_t(blk), &state, &current)) {
        for (uint32_t i = 0; i < count; ++i) entry.blkMap[first + i] = restored[i];
        return Status::kIoError;
      }
      if (current != currentPass) continue;
      entry.blkMap[blk] = state;
      changed = true;
    }
  }
  if (!changed) return Status::kOk;
  int placeAFailed = 0;
  return WriteMapToBothCopies(slot, &placeAFailed) ? Status::kOk : Status::kIoError;
}

}  // namespace zrfs
