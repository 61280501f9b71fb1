// Formatting a partition: a fresh header, an all-free map and empty tables
// in both metadata copies.  The data area is never written.
#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <ctime>

#include "disk/device_io.h"
#include "disk/disk.h"
#include "disk/disk_table.h"
#include "disk/entry_attach.h"
#include "disk/metadata_io.h"
#include "disk/policy.h"
#include "os/os.h"
#include "shared/pool.h"
#include "shared/proc_lock.h"
#include "zrfs/df.h"

namespace zrfs {
namespace {

// Blocks that fit a device of this size, keeping one unit free at the end.
// An unmeasured size (all ones) counts as no room: taking it at face value
// would record blocks beyond the device's end.
uint32_t BlocksThatFit(uint64_t deviceBytes) {
  if (deviceBytes == kUnmeasuredSize) return 0;
  uint64_t reserved = kFormatDataStart + kFormatUnitSize;
  if (deviceBytes <= reserved) return 0;  // no wrap below
  uint64_t blocks = (deviceBytes - reserved) / kFormatUnitSize;
  return blocks > uint64_t(kMaxBlocks) ? uint32_t(kMaxBlocks) : uint32_t(blocks);
}

void FillHeader(DfDiskHeader &head, uint32_t blocks) {
  memset(&head, 0, sizeof head);
  memcpy(head.magic, "ZRFS", 5);
  head.ver = kFormatVersion;
  head.metaSize = kMetaSize;
  head.unitSize = kFormatUnitSize;
  head.createTime = int64_t(int32_t(os().WallSeconds()));  // the recorder's 32-bit time
  head.dataStart = kFormatDataStart;
  head.tolblk = blocks;
  head.dataEnd = head.dataStart + uint64_t(head.unitSize) * blocks;
}

// The highest update count a formatted header on the device shows.  A new
// format counts on from it: were it to start again from 0, a format cut
// short between the copies could leave the old layout's header the newer.
uint64_t UpdatesSoFar(const DfDiskSlot &slot) {
  uint64_t highest = 0;
  for (int copy = 0; copy < int(kMetaCopies); ++copy) {
    DfDiskHeader head;
    if (ReadFullAt(slot.fd, HeaderPlace(copy), &head, sizeof head) && MountAccepts(head) &&
        head.updateCount > highest)
      highest = head.updateCount;
  }
  return highest;
}

int FormatLocked(DfDiskSlot &slot, int disk, uint32_t blocks) {
  if (slot.entry == nullptr) PublishEntry(slot, AttachDiskEntry(disk));
  if (slot.entry == nullptr) return -1;
  DfDiskEntry &entry = *slot.entry;
  // Handles of any process made on the old layout must never touch the new
  // one: their entries are retired, so their transfers fail and nobody
  // attaches them again.
  RetireDiskEntries(disk);
  uint64_t updates = UpdatesSoFar(slot);
  FillHeader(entry.head, blocks);
  entry.head.updateCount = updates;                 // the change below raises it
  memset(entry.curBlk, 0xFF, sizeof entry.curBlk);  // -1: no current block
  memset(entry.blkCnt, 0, sizeof entry.blkCnt);
  memset(entry.blkMap, kBlkFree, sizeof entry.blkMap);
  SetMountState(entry, 0, entry.stat);  // every process must mount the new layout again
  ResetDiskPolicy(disk);                // a new layout starts from the defaults

  // Each copy whole, then its header: one complete copy is enough.
  ChangeWritten written =
      WriteChange(slot, [&](int copy, int *) { return WriteWholeCopy(slot, copy) == 0; });
  return written.AnyGood() ? 0 : -1;
}

}  // namespace
Status FormatDisk(const char *path) {
  int disk = DiskOfPath(path);
  if (disk < 0) return Status::kNoDevice;
  // A device without room for one block is refused before anything changes,
  // rather than formatted with zero blocks: such a disk could never take a
  // recording, and the shared image may be in use by other processes.
  uint32_t blocks = BlocksThatFit(DeviceSize(path));
  if (blocks == 0) return Status::kNoSpace;

  DfDiskSlot &slot = g_dfDiskTable[disk];
  ProcessLockGuard lock(slot.semId, LockLevel::kDisk);
  if (!lock.ok()) return Status::kNoLock;
  if (slot.diskNo < 0) slot.diskNo = disk;
  bool openedHere = false;
  if (slot.fd < 0) {
    slot.fd = os().Open(path, O_RDWR | O_LARGEFILE, 0);
    if (slot.fd < 0) return Status::kNoDevice;
    openedHere = true;
  }
  int result = FormatLocked(slot, disk, blocks);
  if (openedHere && slot.fd >= 0) {
    os().Close(slot.fd);
    slot.fd = -1;
  }
  return result == 0 ? Status::kOk : NotedOr(Status::kIoError);
}

}  // namespace zrfs
