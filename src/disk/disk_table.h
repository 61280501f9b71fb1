// This process's disk table and the small checks every disk call shares.
#pragma once

#include <atomic>
#include <cstdint>

#include "disk/layout.h"
#include "shared/proc_lock.h"
#include "shared/status.h"

namespace zrfs {

// Indexed by disk number 0..23.  A slot's fields and its entry are touched
// only while holding the slot's process lock.
extern DfDiskSlot g_dfDiskTable[kMaxDisks];

// Unit size of the disk mounted last in this process (0 before any mount).
extern std::atomic<uint64_t> g_dfUnitSize;

// The slot of a disk number, or null above 23.
DfDiskSlot *SlotOfDisk(unsigned disk);

// Disk number 0..23 named by a device path, or -1 (null path, no
// "/dev/scsi/host", number above 23).
int DiskOfPath(const char *path);

// The disk is mounted and usable.  Caller holds the slot's lock.
bool IsReady(const DfDiskSlot &slot);

// The disk a path names, with its slot's lock held for the guard's life,
// when it is mounted in this process; status() tells why not otherwise
// (no such disk, the lock, not mounted).  What most disk calls begin with.
class MountedDisk {
 public:
  explicit MountedDisk(const char *path)
      : disk_(DiskOfPath(path)),
        lock_(disk_ < 0 ? -1 : g_dfDiskTable[disk_].semId, LockLevel::kDisk) {}
  MountedDisk(const MountedDisk &) = delete;
  MountedDisk &operator=(const MountedDisk &) = delete;

  Status status() const {
    if (disk_ < 0) return Status::kNoDevice;
    if (!lock_.ok()) return Status::kNoLock;
    return IsReady(g_dfDiskTable[disk_]) ? Status::kOk : Status::kNotMounted;
  }
  // Only when status() is kOk.
  DfDiskSlot &slot() { return g_dfDiskTable[disk_]; }
  DfDiskEntry &entry() { return *g_dfDiskTable[disk_].entry; }
  void Unlock() { lock_.Unlock(); }

 private:
  int disk_;
  ProcessLockGuard lock_;
};

// What the unlocked readers of fast_path.h see.  Written under the slot's
// lock, read whole without it.
inline DfDiskEntry *PublishedEntry(DfDiskSlot &slot) {
  return std::atomic_ref<DfDiskEntry *>(slot.entry).load(std::memory_order_acquire);
}
inline void PublishEntry(DfDiskSlot &slot, DfDiskEntry *entry) {
  std::atomic_ref<DfDiskEntry *>(slot.entry).store(entry, std::memory_order_release);
}
inline bool MountedNow(const DfDiskEntry &entry) {
  auto &e = const_cast<DfDiskEntry &>(entry);
  return std::atomic_ref<uint32_t>(e.mounted).load(std::memory_order_acquire) != 0 &&
         std::atomic_ref<uint32_t>(e.stat).load(std::memory_order_acquire) != 1;
}
inline void SetMountState(DfDiskEntry &entry, uint32_t mounted, uint32_t stat) {
  std::atomic_ref<uint32_t>(entry.stat).store(stat, std::memory_order_release);
  std::atomic_ref<uint32_t>(entry.mounted).store(mounted, std::memory_order_release);
}

// Sweeps over every disk slot that this process's flush thread has ended.
// Tests count them to wait for visits instead of time.
uint64_t FlushThreadSweeps();

// The data ranges noted for the flush thread, taken (room for
// WrittenRanges::kRanges); their number.
struct ByteRange;
int TakeWrittenData(unsigned disk, ByteRange *out);

// Block ids 0..UsableBlocks()-1 exist on the disk and in the map.
inline uint32_t UsableBlocks(const DfDiskEntry &entry) {
  return entry.head.tolblk < uint32_t(kMaxBlocks) ? entry.head.tolblk : uint32_t(kMaxBlocks);
}
inline bool IsBlockId(const DfDiskEntry &entry, int64_t blk) {
  return blk >= 0 && blk < int64_t(UsableBlocks(entry));
}
inline uint64_t BlockAddress(const DfDiskEntry &entry, int32_t blk) {
  return entry.head.dataStart + uint64_t(int64_t(blk)) * entry.head.unitSize;
}

}  // namespace zrfs
