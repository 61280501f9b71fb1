// Mounting a formatted disk into its shared image (bringing versions 0 and
// 1 to 2), unmounting, and the readiness, version and unit size queries.
#include <fcntl.h>
#include <unistd.h>

#include <cstring>

#include "disk/device_io.h"
#include "disk/disk.h"
#include "disk/disk_table.h"
#include "disk/entry_attach.h"
#include "disk/metadata_io.h"
#include "disk/orphans.h"
#include "format/block_format.h"
#include "os/os.h"
#include "shared/pool.h"
#include "shared/proc_lock.h"
#include "zrfs.h"
#include "zrfs/df.h"

namespace zrfs {
namespace {

// Counts the used blocks of each (type, channel) from the blocks' own
// headers, for disks formatted before the counts were kept.  Adds to
// blkCnt, which the caller has cleared; reads one sector per used block.
int RebuildBlockCounts(DfDiskSlot &slot) {
  DfDiskEntry &entry = *slot.entry;
  auto *header = static_cast<BlkHeader *>(zrfs_Malloc(sizeof(BlkHeader)));
  if (header == nullptr) return -1;
  int result = 0;
  for (uint32_t blk = 0; blk < UsableBlocks(entry); ++blk) {
    if (entry.blkMap[blk] != kBlkUsed) continue;
    if (!ReadFullAt(slot.fd, BlockAddress(entry, int32_t(blk)), header, sizeof *header)) {
      result = -1;
      break;
    }
    if (header->ichan < uint32_t(kChannels) && header->blkType < uint32_t(kBlockTypes))
      ++entry.blkCnt[header->blkType][header->ichan];
  }
  zrfs_Free(header);
  return result;
}

// Rewrites the rebuilt count pages to both copies and stamps version 2.
int UpgradeToCurrentVersion(DfDiskSlot &slot) {
  DfDiskEntry &entry = *slot.entry;
  memset(entry.blkCnt, 0, sizeof entry.blkCnt);
  if (RebuildBlockCounts(slot) != 0) return -1;
  int copiesWithFailure = 0;
  for (int copy = 0; copy < int(kMetaCopies); ++copy) {
    int failures = 0;
    for (int type = 0; type < kBlockTypes; ++type)
      if (WriteBlkCntPage(slot, copy, type) != 0) ++failures;
    if (failures != 0) ++copiesWithFailure;
  }
  if (copiesWithFailure == int(kMetaCopies)) return -1;
  entry.head.ver = kFormatVersion;
  int headerCopy0Failed = 0;
  return WriteDiskHeader(slot, &headerCopy0Failed) < 0 ? -1 : 0;
}

// The copy whose header the mount takes: copy 0's, unless it cannot be
// read or is refused (a damaged sector that reads), then copy 1's when that
// one is accepted.  *damaged0: copy 0's header read in full and was refused.
Status ChooseCopy(DfDiskSlot &slot, int *copy, bool *damaged0) {
  DfDiskEntry &entry = *slot.entry;
  bool read0 = ReadFullAt(slot.fd, HeaderPlace(0), &entry.head, sizeof entry.head);
  if (read0 && MountAccepts(entry.head)) {
    *copy = 0;
    return Status::kOk;
  }
  DfDiskHeader first = entry.head;
  if (ReadFullAt(slot.fd, HeaderPlace(1), &entry.head, sizeof entry.head) &&
      MountAccepts(entry.head)) {
    *copy = 1;
    *damaged0 = read0;
    return Status::kOk;
  }
  if (read0) entry.head = first;  // what a mount refused, as it read it
  // Neither header sector holds an accepted header: a device too small to
  // hold a layout, a failing one, or none formatted.
  return Status::kNotFormatted;
}

// Copy 1 lags copy 0 by at most the change a crash cut short, so a block
// copy 1 shows free may hold files copy 0 had given out: its own header
// then says so, and it is marked used (and counted) before anything is
// handed out.  Reads one sector per free block.
Status ReconcileWithBlockHeaders(DfDiskSlot &slot) {
  DfDiskEntry &entry = *slot.entry;
  BlkHeader head;
  for (uint32_t blk = 0; blk < UsableBlocks(entry); ++blk) {
    if (entry.blkMap[blk] != kBlkFree) continue;
    if (!ReadFullAt(slot.fd, BlockAddress(entry, int32_t(blk)), &head, sizeof head))
      return Status::kIoError;
    if (head.inUse == 0 || head.fileNum == 0) continue;
    entry.blkMap[blk] = kBlkUsed;
    if (head.ichan < uint32_t(kChannels) && head.blkType < uint32_t(kBlockTypes))
      ++entry.blkCnt[head.blkType][head.ichan];
  }
  return Status::kOk;
}

// Writes the image to both copies whole, copy 0 first: the damaged copy is
// whole again, and copy 1 holds what the reconciliation added.
Status RewriteBothCopies(DfDiskSlot &slot) {
  int headerCopy0Failed = 0;
  if (WriteDiskHeader(slot, &headerCopy0Failed) != 0) return Status::kIoError;
  bool copy0 = WriteWholeCopy(slot, 0) == 0;
  bool copy1 = WriteWholeCopy(slot, 1) == 0;
  return copy0 || copy1 ? Status::kOk : Status::kIoError;
}

// Fills the shared image from the device.  Only reads, except the upgrade
// and the repair of a damaged copy 0.
Status LoadFromDevice(DfDiskSlot &slot) {
  DfDiskEntry &entry = *slot.entry;
  int copy = 0;
  bool damaged0 = false;
  Status chosen = ChooseCopy(slot, &copy, &damaged0);
  if (!Ok(chosen)) return chosen;

  uint32_t mapPlace = 0;  // 0: place A, 1: place B
  if (!ReadFullAt(slot.fd, MapPlaceA(copy), entry.blkMap, sizeof entry.blkMap)) {
    mapPlace = 1;
    if (!ReadFullAt(slot.fd, MapPlaceB(copy), entry.blkMap, sizeof entry.blkMap))
      return Status::kIoError;
  }

  bool upgraded = entry.head.ver <= 1;
  if (upgraded && UpgradeToCurrentVersion(slot) != 0) return Status::kIoError;

  // Short table reads are accepted (an old disk may not fill its pages);
  // only a failed read refuses the disk.  After an upgrade the rebuilt
  // counts are kept: the chosen copy's pages may be the ones that failed.
  for (int type = 0; type < kBlockTypes; ++type) {
    if (ReadAt(slot.fd, CurBlkPage(copy, type), entry.curBlk[type], kTablePageSize) < 0)
      return Status::kIoError;
    if (!upgraded &&
        ReadAt(slot.fd, BlkCntPage(copy, type), entry.blkCnt[type], kTablePageSize) < 0)
      return Status::kIoError;
  }
  entry.mapIndex = mapPlace;
  if (!damaged0) return Status::kOk;
  Status reconciled = ReconcileWithBlockHeaders(slot);
  return Ok(reconciled) ? RewriteBothCopies(slot) : reconciled;
}

// Mounts of live processes other than this one.  Each process counts its
// mount beside the disk's lock as well, with SEM_UNDO, so the system takes
// back the mount of a process that dies.  A lock set made without that
// count falls back to the shared count, less the mounts of processes that
// are gone when no other process has the image attached (then no live one
// can have the disk mounted); any other attachment keeps it as it is.
uint32_t OtherLiveMounts(DfDiskSlot &slot, int disk) {
  int live = LiveCount(slot.semId);
  if (live >= 0) return uint32_t(live);
  const DfDiskEntry &entry = *slot.entry;
  if (entry.mounted != 0 && DiskEntryAttachments(disk) == 1) return 0;
  return entry.mounted;
}

Status MountLocked(DfDiskSlot &slot, int disk, const char *path) {
  if (slot.diskNo < 0) slot.diskNo = disk;
  bool openedHere = false;
  if (slot.fd < 0) {
    slot.fd = os().Open(path, O_RDWR | O_LARGEFILE, 0);
    if (slot.fd < 0) return Status::kNoDevice;
    openedHere = true;
  }
  if (slot.entry == nullptr) PublishEntry(slot, AttachDiskEntry(disk));
  // The image is current while a live process has the disk mounted; else it
  // is read from the device (another disk may be in the slot by now).
  uint32_t others = slot.entry != nullptr && openedHere ? OtherLiveMounts(slot, disk) : 0;
  bool current = slot.entry != nullptr && (openedHere ? others != 0 : slot.entry->mounted != 0);
  Status loaded = slot.entry == nullptr ? NotedOr(Status::kTableFull)
                  : current             ? Status::kOk
                                        : LoadFromDevice(slot);
  if (!Ok(loaded)) {
    // Only this slot lets go: the image may be another process's current
    // one, and threads of this one may still read it (entry_attach.h).
    DfDiskEntry *entry = slot.entry;
    PublishEntry(slot, nullptr);
    KeepDiskEntry(disk, entry);
    os().Close(slot.fd);
    slot.fd = -1;
    return loaded;
  }
  // The image is read afresh only when no live process has the disk
  // mounted, so none is inside an unlink or a create on it: the moment to
  // give back the blocks killed ones left used with no file (a sector read
  // per used block).  Not at every mount: one beside live processes holds
  // no lock that keeps their unlinks out.
  if (!current) ReclaimOrphansAtMount(slot);
  DfDiskEntry &entry = *slot.entry;
  g_dfUnitSize.store(entry.head.unitSize);
  // A second mount in this process does not count.
  if (!openedHere) {
    SetMountState(entry, entry.mounted, 0);
    return Status::kOk;
  }
  (void)AddToLiveCount(slot.semId, +1);  // without a count, the shared one alone
  int live = LiveCount(slot.semId);
  SetMountState(entry, live >= 0 ? uint32_t(live) : others + 1, 0);
  return Status::kOk;
}

}  // namespace
Status MountDisk(const char *path) {
  int disk = DiskOfPath(path);
  if (disk < 0) return Status::kNoDevice;
  DfDiskSlot &slot = g_dfDiskTable[disk];
  ProcessLockGuard lock(slot.semId, LockLevel::kDisk);
  if (!lock.ok()) return Status::kNoLock;
  return MountLocked(slot, disk, path);
}

Status UnmountDisk(const char *path) {
  int disk = DiskOfPath(path);
  if (disk < 0) return Status::kNoDevice;
  DfDiskSlot &slot = g_dfDiskTable[disk];
  ProcessLockGuard lock(slot.semId, LockLevel::kDisk);
  if (!lock.ok()) return Status::kNoLock;
  if (slot.entry != nullptr && slot.fd >= 0) {
    os().Close(slot.fd);
    slot.fd = -1;
    DfDiskEntry &entry = *slot.entry;
    (void)AddToLiveCount(slot.semId, -1);  // without a count, the shared one alone
    int live = LiveCount(slot.semId);
    int32_t left = live >= 0 ? live : int32_t(entry.mounted) - 1;
    if (left <= 0) {
      SetMountState(entry, 0, 1);
    } else {
      SetMountState(entry, uint32_t(left), entry.stat);
    }
  }
  slot.diskNo = -1;
  return Status::kOk;  // the entry stays attached, so a later mount reuses it
}

Status CheckDiskReady(unsigned disk) {
  DfDiskSlot *slot = SlotOfDisk(disk);
  if (slot == nullptr) return Status::kBadArgument;
  ProcessLockGuard lock(slot->semId, LockLevel::kDisk);
  if (!lock.ok()) return Status::kNoLock;
  return IsReady(*slot) ? Status::kOk : Status::kNotMounted;
}

int DiskVersion(const char *path) {
  int disk = DiskOfPath(path);
  if (disk < 0) return 1;
  DfDiskSlot &slot = g_dfDiskTable[disk];
  ProcessLockGuard lock(slot.semId, LockLevel::kDisk);
  if (!lock.ok() || slot.entry == nullptr) return 1;
  return int(slot.entry->head.ver);
}

uint64_t UnitSize() {
  return g_dfUnitSize.load();
}

}  // namespace zrfs
