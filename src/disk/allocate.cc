// Choosing the block for a new record file, releasing blocks, and block
// addresses.  All three run under the disk's lock from start to end, so
// allocation and release of one disk are serial across processes.
#include <cstring>

#include "disk/allocate.h"
#include "disk/block_head.h"
#include "disk/device_io.h"
#include "disk/disk.h"
#include "disk/disk_table.h"
#include "disk/metadata_io.h"
#include "disk/orphans.h"
#include "disk/policy.h"
#include "format/block_format.h"
#include "shared/naming.h"
#include "shared/proc_lock.h"
#include "zrfs.h"
#include "zrfs/df.h"
#include "zrfs/fsc.h"

namespace zrfs {
namespace {

// The channel's current block can take one more record file: it is in use
// (a block the map shows free or bad is given up: after a crash between a
// release's map write and its table write, the map may say free while the
// table still names the block, and keeping it would let another channel
// take it too), its header area has a free slot, and more than the file's
// room is left after the append position.
//
// A block the channel comes back to (not its current one) must also still
// be the channel's: its header names the channel and type of its newest
// file, so a block released and handed to another channel meanwhile is not
// taken.
struct Owner {
  uint32_t chan;
  uint32_t type;
};
bool CanTakeFile(DfDiskSlot &slot, int32_t cur, int32_t preRecSize, const Owner *owner) {
  DfDiskEntry &entry = *slot.entry;
  if (!IsBlockId(entry, cur) || entry.blkMap[cur] != kBlkUsed) return false;
  auto *header = static_cast<BlkHeader *>(zrfs_Malloc(sizeof(BlkHeader)));
  if (header == nullptr) return false;
  bool keep = ReadFullAt(slot.fd, BlockAddress(entry, cur), header, sizeof *header);
  if (keep && owner != nullptr)
    keep = header->inUse != 0 && header->ichan == owner->chan && header->blkType == owner->type;
  if (keep) {
    uint32_t area = header->hdrAreaSize;
    uint32_t slots = area == 0 || area > kHeaderAreaSize ? kMaxFileNo : area / kSectorSize - 1;
    // The sum is a 32-bit signed value as the recorder forms it; a negative
    // one compares as huge, so such a request never fits.
    auto need = uint64_t(int64_t(int32_t(uint32_t(preRecSize) + kNewFileSpareBytes)));
    uint64_t unit = entry.head.unitSize;
    auto append = uint64_t(header->appendPos);
    // An append position past the unit (a damaged header) leaves no room
    // instead of wrapping round to a huge one.
    uint64_t room = append < unit ? unit - append : 0;
    keep = header->lastFileNo < slots && room > need;
  }
  zrfs_Free(header);
  return keep;
}

int32_t FirstFreeBlock(const DfDiskEntry &entry) {
  const void *found = memchr(entry.blkMap, kBlkFree, UsableBlocks(entry));
  return found == nullptr ? -1 : int32_t(static_cast<const uint8_t *>(found) - entry.blkMap);
}

// Allocation writes a copy's tables only once its map is there.
ChangeWritten PersistAllocation(DfDiskSlot &slot, int type) {
  return WriteChange(slot, [&](int copy, int *placeAFailed) {
    if (WriteBlockMap(slot, copy, placeAFailed) != 0) return false;
    bool cur = WriteCurBlkPage(slot, copy, type) == 0;
    bool cnt = WriteBlkCntPage(slot, copy, type) == 0;
    return cur && cnt;
  });
}

// Release attempts every write of a copy, even after a failure.
ChangeWritten PersistRelease(DfDiskSlot &slot, int type, bool curRowChanged) {
  return WriteChange(slot, [&](int copy, int *placeAFailed) {
    bool map = WriteBlockMap(slot, copy, placeAFailed) == 0;
    bool cnt = WriteBlkCntPage(slot, copy, type) == 0;
    bool cur = !curRowChanged || WriteCurBlkPage(slot, copy, type) == 0;
    return map && cnt && cur;
  });
}

// A change holds when one copy was written fully; the map place then
// reflects the first such copy.
bool Settle(DfDiskEntry &entry, const ChangeWritten &written) {
  for (int copy = 0; copy < int(kMetaCopies); ++copy) {
    if (!written.good[copy]) continue;
    entry.mapIndex = uint32_t(written.placeAFailed[copy]);
    return true;
  }
  return false;
}

// Takes the lowest free block for the channel and makes it current.
int32_t AllocateLocked(DfDiskSlot &slot, uint32_t chan, uint32_t type) {
  DfDiskEntry &entry = *slot.entry;
  int32_t &cur = entry.curBlk[type][chan];
  // Where a create may give a recorded block back, the give-back notes the
  // reason when it cannot (a full disk, or one kept by locked recordings).
  if (!UnderQuota(slot.diskNo, entry, chan)) {
    NoteRoomRefusal({RoomWanted::kFromOwnChannel, slot.diskNo, chan});
    return -1;
  }
  int32_t blk = FirstFreeBlock(entry);
  if (blk < 0) blk = ReclaimOrphanedBlock(slot);
  if (blk < 0) {
    const DiskPolicy *policy = AttachDiskPolicy(slot.diskNo);
    if (policy != nullptr && policy->retention == kRetentionOverwriteOldest)
      NoteRoomRefusal({RoomWanted::kFromAnyChannel, slot.diskNo, chan});
    else
      NoteFailure(Status::kNoSpace);
    return -1;
  }
  if (ClearBlockHead(slot, blk) != 0) {
    NoteFailure(Status::kIoError);
    return -1;
  }
  entry.blkMap[blk] = kBlkUsed;
  cur = blk;
  ++entry.blkCnt[type][chan];
  // When neither copy took it, the image keeps the block as used and
  // current; the caller is told it failed.
  if (Settle(entry, PersistAllocation(slot, int(type)))) return blk;
  NoteFailure(Status::kIoError);
  return -1;
}

int32_t ChooseBlockLocked(DfDiskSlot &slot, uint32_t chan, uint32_t type, int32_t preRecSize) {
  int32_t &cur = slot.entry->curBlk[type][chan];
  if (cur != -1) {
    if (CanTakeFile(slot, cur, preRecSize, nullptr)) return cur;  // nothing to write
    cur = -1;
  }
  return AllocateLocked(slot, chan, type);
}

// Makes blk the channel's current block again; both copies of the row.
bool ReturnToBlockLocked(DfDiskSlot &slot, uint32_t chan, uint32_t type, int32_t blk) {
  slot.entry->curBlk[type][chan] = blk;
  return WriteChange(slot,
                     [&](int copy, int *) { return WriteCurBlkPage(slot, copy, int(type)) == 0; })
      .AnyGood();
}

// What both ways of choosing share: the disk the path names, its lock, a
// mounted disk, and a channel and a block type the tables have.  choose
// runs under the disk's lock and gives the block, or -1.  On failure out's
// block id is -1, except for a null argument or a path naming no disk.
template <typename Choose>
int ChooseForFile(const FileCreateParam *param, DfFileBlk *out, Choose choose) {
  NoteRoomRefusal({RoomWanted::kNo, -1, 0});
  if (param == nullptr || out == nullptr) {
    NoteFailure(Status::kBadArgument);
    return -1;
  }
  char path[sizeof param->diskPath + 1];  // bounded even when the caller's is not
  memcpy(path, param->diskPath, sizeof param->diskPath);
  path[sizeof param->diskPath] = '\0';
  int disk = DiskNumberOfPath(path);
  if (disk < 0) {
    NoteFailure(Status::kNoDevice);
    return -1;
  }
  out->blkId = -1;
  DfDiskSlot *slot = SlotOfDisk(unsigned(disk));
  if (slot == nullptr) {  // a disk number past the table
    NoteFailure(Status::kNoDevice);
    return -1;
  }
  ProcessLockGuard lock(slot->semId, LockLevel::kDisk);
  if (!lock.ok()) return -1;
  if (!IsReady(*slot)) {
    NoteFailure(Status::kNotMounted);
    return -1;
  }
  uint32_t type = BlockTypeOf(param->kind);
  if (param->ichan >= uint32_t(kChannels) || type >= uint32_t(kBlockTypes)) {
    NoteFailure(Status::kBadArgument);
    return -1;
  }
  int32_t blk = choose(*slot, param->ichan, type);
  if (blk < 0) return -1;
  out->diskNo = uint32_t(disk);
  out->blkId = blk;
  return 0;
}

}  // namespace

Status ReleaseLocked(DfDiskSlot &slot, int blk, int chan, unsigned type) {
  DfDiskEntry &entry = *slot.entry;
  entry.blkMap[blk] = kBlkFree;  // whatever it was: a bad block becomes free
  ChangeWritten written;
  if (type >= unsigned(kBlockTypes)) {  // a release without a type
    written = WriteChange(slot, [&](int copy, int *placeAFailed) {
      return WriteBlockMap(slot, copy, placeAFailed) == 0;
    });
  } else {
    bool curRowChanged = entry.curBlk[type][chan] == blk;
    if (curRowChanged) entry.curBlk[type][chan] = -1;
    if (entry.blkCnt[type][chan] > 0) --entry.blkCnt[type][chan];
    written = PersistRelease(slot, int(type), curRowChanged);
  }
  // The header area goes last: until the metadata shows the block free, its
  // header still names the (type, channel) that counts it, so a block that
  // a release killed before then leaves used is given back to the right
  // count (orphans.h).  Best effort: the map decides whether it is free.
  ClearBlockHead(slot, blk);
  return Settle(entry, written) ? Status::kOk : Status::kIoError;
}

int ChooseOtherFileBlock(const FileCreateParam *param, int32_t avoid, int32_t preferred,
                         DfFileBlk *out) {
  return ChooseForFile(param, out, [&](DfDiskSlot &slot, uint32_t chan, uint32_t type) {
    Owner owner{chan, type};
    if (preferred == avoid || !CanTakeFile(slot, preferred, param->preRecSize, &owner))
      return AllocateLocked(slot, chan, type);
    if (ReturnToBlockLocked(slot, chan, type, preferred)) return preferred;
    NoteFailure(Status::kIoError);
    return -1;
  });
}

Status ChooseFileBlock(const FileCreateParam *param, DfFileBlk *out) {
  int chosen = ChooseForFile(param, out, [&](DfDiskSlot &slot, uint32_t chan, uint32_t type) {
    return ChooseBlockLocked(slot, chan, type, param->preRecSize);
  });
  return chosen == 0 ? Status::kOk : NotedOr(Status::kNoSpace);
}

Status ReleaseBlock(unsigned disk, int blk, int chan, unsigned type) {
  DfDiskSlot *slot = SlotOfDisk(disk);
  if (slot == nullptr) return Status::kBadArgument;
  ProcessLockGuard lock(slot->semId, LockLevel::kDisk);
  if (!lock.ok()) return Status::kNoLock;
  if (slot->entry == nullptr) return Status::kNotMounted;
  DfDiskEntry &entry = *slot->entry;
  if (!IsBlockId(entry, blk) || chan < 0 || chan >= kChannels) return Status::kBadArgument;
  return ReleaseLocked(*slot, blk, chan, type);
}

uint64_t BlockAddressOf(unsigned disk, int blk) {
  DfDiskSlot *slot = SlotOfDisk(disk);
  if (slot == nullptr) return 0;
  ProcessLockGuard lock(slot->semId, LockLevel::kDisk);
  if (!lock.ok() || slot->entry == nullptr || !IsBlockId(*slot->entry, blk)) return 0;
  return BlockAddress(*slot->entry, blk);
}

}  // namespace zrfs
