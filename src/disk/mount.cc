// Mounting a formatted disk into its shared image (metadata_load.cc reads
// it), unmounting, and the readiness, version and unit size queries.
#include <fcntl.h>
#include <unistd.h>

#include "disk/disk.h"
#include "disk/disk_table.h"
#include "disk/entry_attach.h"
#include "disk/metadata_load.h"
#include "disk/orphans.h"
#include "disk/policy.h"
#include "os/os.h"
#include "shared/pool.h"
#include "shared/proc_lock.h"
#include "zrfs.h"
#include "zrfs/df.h"

namespace zrfs {
namespace {

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
  // The first live mount starts from the default policy; later ones join
  // the one the others share.
  if (!current) ResetDiskPolicy(disk);
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
