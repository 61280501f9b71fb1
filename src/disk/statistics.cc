// Disk statistics from the shared image: statfs totals, the used-block list,
// the space of a (channel, data type) and the block count.  Only the
// used-block list reads the device (one sector per listed block).
#include "disk/device_io.h"
#include "disk/disk.h"
#include "disk/disk_table.h"
#include "format/block_format.h"
#include "shared/naming.h"
#include "shared/proc_lock.h"
#include "zrfs.h"
#include "zrfs/df.h"
#include "zrfs/fsc.h"

namespace zrfs {
namespace {

constexpr uint32_t kStatfsMagic = 0x5A524653;  // "ZRFS", 'Z' in the top byte
constexpr uint32_t kStatfsBlockSize = 512;
// Only the first channels are asked about by the space query.
constexpr uint32_t kChannelsWithSpaceQuery = 16;

uint32_t CountState(const DfDiskEntry &entry, uint8_t state) {
  uint32_t count = 0;
  for (uint32_t blk = 0; blk < UsableBlocks(entry); ++blk) count += entry.blkMap[blk] == state;
  return count;
}

}  // namespace
Status DiskTotals(const char *path, DfStatfs *out) {
  if (out == nullptr) return Status::kBadArgument;
  MountedDisk disk(path);
  if (!Ok(disk.status())) return disk.status();
  const DfDiskEntry &entry = disk.entry();
  uint64_t sectorsPerBlock = entry.head.unitSize >> 9;
  out->f_type = kStatfsMagic;
  out->f_bsize = kStatfsBlockSize;
  out->f_blocks = sectorsPerBlock * entry.head.tolblk;
  out->f_bfree = sectorsPerBlock * CountState(entry, kBlkFree);
  out->f_bavail = out->f_bfree;
  return Status::kOk;
}

int ListUsedBlocks(const char *path, DfBlockInfo *out, int max) {
  if (path == nullptr || out == nullptr) {
    NoteFailure(Status::kBadArgument);
    return -1;
  }
  auto *header = static_cast<BlkHeader *>(zrfs_Malloc(sizeof(BlkHeader)));
  if (header == nullptr) return -1;
  int filled = -1;
  int disk = DiskOfPath(path);
  if (disk < 0) NoteFailure(Status::kNoDevice);
  if (disk >= 0) {
    DfDiskSlot &slot = g_dfDiskTable[disk];
    ProcessLockGuard lock(slot.semId, LockLevel::kDisk);
    if (lock.ok() && slot.entry == nullptr) NoteFailure(Status::kNotMounted);
    if (lock.ok() && slot.entry != nullptr) {
      const DfDiskEntry &entry = *slot.entry;
      filled = 0;
      for (uint32_t blk = 0; blk < UsableBlocks(entry) && filled < max; ++blk) {
        if (entry.blkMap[blk] != kBlkUsed) continue;
        if (!ReadFullAt(slot.fd, BlockAddress(entry, int32_t(blk)), header, sizeof *header)) {
          filled = -1;  // one unreadable header spoils the list
          NoteFailure(Status::kIoError);
          break;
        }
        DfBlockInfo &info = out[filled++];
        info.blkid = blk;
        info.createTime = uint64_t(header->createTime);
        info.fileNum = header->fileNum;
      }
    }
  }
  zrfs_Free(header);
  if (filled == 0) NoteFailure(Status::kNotFound);  // no used block to list
  return filled > 0 ? filled : -1;
}

int MiBOfDataType(const char *path, unsigned chan, int dataType) {
  uint32_t type = BlockTypeOf(uint32_t(dataType));
  if (path == nullptr || chan >= kChannelsWithSpaceQuery || dataType < 0 ||
      type >= uint32_t(kBlockTypes)) {
    NoteFailure(Status::kBadArgument);
    return -1;
  }
  int disk = DiskOfPath(path);
  if (disk < 0) {
    NoteFailure(Status::kNoDevice);
    return -1;
  }
  DfDiskSlot &slot = g_dfDiskTable[disk];
  ProcessLockGuard lock(slot.semId, LockLevel::kDisk);
  if (!lock.ok()) return -1;
  if (!IsReady(slot)) {
    NoteFailure(Status::kNotMounted);
    return -1;
  }
  const DfDiskEntry &entry = *slot.entry;
  return int(entry.blkCnt[type][chan] * (entry.head.unitSize >> 20));  // MiB
}

int DiskBlockCount(const char *path) {
  int disk = DiskOfPath(path);
  if (disk < 0) {
    NoteFailure(Status::kNoDevice);
    return 0;
  }
  DfDiskSlot &slot = g_dfDiskTable[disk];
  ProcessLockGuard lock(slot.semId, LockLevel::kDisk);
  if (!lock.ok()) return 0;
  if (!IsReady(slot)) {
    NoteFailure(Status::kNotMounted);
    return 0;
  }
  return int(slot.entry->head.tolblk);
}

}  // namespace zrfs
