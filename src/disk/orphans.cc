#include "disk/orphans.h"

#include <cstring>

#include "disk/allocate.h"
#include "disk/device_io.h"
#include "disk/disk_table.h"
#include "format/block_format.h"
#include "format/record_header.h"
#include "os/os.h"
#include "shared/proc_lock.h"
#include "zrfs.h"

namespace zrfs {
namespace {

constexpr uint32_t kSearchSectors = 64;  // read at once: the header and the first slots

bool IsSomeChannelsCurrent(const DfDiskEntry &entry, int32_t blk) {
  for (const auto &row : entry.curBlk)
    for (int32_t cur : row)
      if (cur == blk) return true;
  return false;
}

// Written by a create: the header names the (type, channel) whose count
// includes the block.
bool NamesItsOwner(const BlkHeader &head) {
  return head.inUse != 0 && head.ichan < uint32_t(kChannels) &&
         head.blkType < uint32_t(kBlockTypes);
}

// Whether a used block holds no record file at all: no header slot it
// handed out holds a record header, whatever its header counts (an unlink
// killed between clearing a file's slot and counting it out leaves the
// count one too high).  A create killed between its file's header and the
// block header leaves the file one slot past lastFileNo; a block header no
// create wrote (zeroed, or lost in a power cut that kept a file header)
// bounds nothing, so every slot is read.  Reads in pieces of
// kSearchSectors sectors; one that cannot be read keeps the block.
bool HoldsNoFile(DfDiskSlot &slot, int32_t blk, uint8_t *sectors, BlkHeader *head) {
  uint64_t base = BlockAddress(*slot.entry, blk);
  if (!ReadFullAt(slot.fd, base, sectors, kSearchSectors * kSectorSize)) return false;
  memcpy(head, sectors, sizeof *head);
  uint32_t last =
      head->inUse == 0 || head->lastFileNo >= kMaxFileNo ? kMaxFileNo : head->lastFileNo + 1;
  for (uint32_t first = 0; first <= last; first += kSearchSectors) {
    if (first > 0 && !ReadFullAt(slot.fd, base + uint64_t{first} * kSectorSize, sectors,
                                 kSearchSectors * kSectorSize))
      return false;
    for (uint32_t i = first == 0 ? 1 : 0; i < kSearchSectors && first + i <= last; ++i) {
      const auto *file = reinterpret_cast<const TfFileHeader *>(sectors + size_t{i} * kSectorSize);
      if (HasRecordMagic(*file)) return false;
    }
  }
  return true;
}

// Gives the block back to the count its header names.  A header no create
// wrote names none: then only the map changes, and the count that still
// includes the block stays one too high, as after a power cut.
bool GiveBack(DfDiskSlot &slot, int32_t blk, const BlkHeader &head) {
  bool owned = NamesItsOwner(head);
  return Ok(ReleaseLocked(slot, int(blk), owned ? int(head.ichan) : 0,
                          owned ? head.blkType : unsigned(kBlockTypes)));
}

// The format (its creation time) each disk was last searched for orphaned
// blocks under, and the process that searched: a forked child is a process
// of its own and searches again.
struct Searched {
  int64_t createTime;
  int pid;
};
Searched g_orphansSearched[kMaxDisks];

}  // namespace

int32_t ReclaimOrphanedBlock(DfDiskSlot &slot) {
  AssertHeld(LockLevel::kDisk);
  DfDiskEntry &entry = *slot.entry;
  if (slot.diskNo < 0 || slot.diskNo >= kMaxDisks) return -1;
  Searched &searched = g_orphansSearched[slot.diskNo];
  int me = os().ProcessId();
  if (searched.createTime == entry.head.createTime && searched.pid == me) return -1;
  searched = {entry.head.createTime, me};
  auto *sectors = static_cast<uint8_t *>(zrfs_Malloc(kSearchSectors * kSectorSize));
  if (sectors == nullptr) return -1;
  BlkHeader head;
  int32_t found = -1;
  for (uint32_t blk = 0; found < 0 && blk < UsableBlocks(entry); ++blk) {
    if (entry.blkMap[blk] != kBlkUsed || IsSomeChannelsCurrent(entry, int32_t(blk)) ||
        !HoldsNoFile(slot, int32_t(blk), sectors, &head))
      continue;
    if (GiveBack(slot, int32_t(blk), head)) {
      searched = {};  // another may follow; look again when next full
      found = int32_t(blk);
    }
  }
  zrfs_Free(sectors);
  return found;
}

void ReclaimOrphansAtMount(DfDiskSlot &slot) {
  AssertHeld(LockLevel::kDisk);
  DfDiskEntry &entry = *slot.entry;
  // A disk read afresh (a new format among them, even within the second
  // of the last search) is searched again at need.
  if (slot.diskNo >= 0 && slot.diskNo < kMaxDisks) g_orphansSearched[slot.diskNo] = {};
  auto *sectors = static_cast<uint8_t *>(zrfs_Malloc(kSearchSectors * kSectorSize));
  if (sectors == nullptr) return;  // the search at need still finds them
  BlkHeader head;
  for (uint32_t blk = 0; blk < UsableBlocks(entry); ++blk) {
    if (entry.blkMap[blk] != kBlkUsed ||
        !ReadFullAt(slot.fd, BlockAddress(entry, int32_t(blk)), &head, sizeof head))
      continue;
    bool countsFiles = head.inUse != 0 && head.fileNum != 0;
    if (countsFiles || IsSomeChannelsCurrent(entry, int32_t(blk)) ||
        !HoldsNoFile(slot, int32_t(blk), sectors, &head))
      continue;
    (void)GiveBack(slot, int32_t(blk), head);  // one that fails stays for the search at need
  }
  zrfs_Free(sectors);
}

}  // namespace zrfs
