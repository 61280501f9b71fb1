// The shared-memory image of a disk and the per-process disk slot.  The
// partition's own layout is in format/disk_format.h.
#pragma once

#include <cstddef>
#include <cstdint>

#include "format/disk_format.h"
#include "shared/pool_layout.h"

namespace zrfs {

// A disk's shared image: one own segment per disk, attached by every process
// that formats or mounts it.  The last four words are the pool's tail.
struct DfDiskEntry {
  DfDiskHeader head;
  uint8_t blkMap[kMaxBlocks];
  int32_t curBlk[kBlockTypes][kChannels];   // block a (type, channel) is filling, or -1
  uint32_t blkCnt[kBlockTypes][kChannels];  // used blocks of a (type, channel)
  uint32_t mapIndex;  // map last read from (or written well to) place A: 0, B: 1
  uint32_t stat;      // 1 while not usable, 0 once mounted
  uint32_t mounted;   // processes that have the disk mounted
  uint32_t poolSlot;  // 2048 + disk number, set by the pool
};
static_assert(sizeof(DfDiskEntry) == kDiskEntrySize);
static_assert(offsetof(DfDiskEntry, head) == 0x00000);
static_assert(offsetof(DfDiskEntry, blkMap) == 0x00200);
static_assert(offsetof(DfDiskEntry, curBlk) == 0x20200);
static_assert(offsetof(DfDiskEntry, blkCnt) == 0x30200);
static_assert(offsetof(DfDiskEntry, mapIndex) ==
              kDiskEntryTailOffset + offsetof(DiskEntryTail, mapIndex));
static_assert(offsetof(DfDiskEntry, stat) == kDiskEntryTailOffset + offsetof(DiskEntryTail, stat));
static_assert(offsetof(DfDiskEntry, mounted) ==
              kDiskEntryTailOffset + offsetof(DiskEntryTail, mounted));
static_assert(offsetof(DfDiskEntry, poolSlot) ==
              kDiskEntryTailOffset + offsetof(DiskEntryTail, poolSlot));
static_assert(sizeof(DfDiskEntry::curBlk[0]) == kTablePageSize);
static_assert(sizeof(DfDiskEntry::blkCnt[0]) == kTablePageSize);

// One row of this process's disk table, indexed by disk number.  Private to
// the process (it holds a pointer); every field is used only under semId.
struct DfDiskSlot {
  int32_t semId;       // the disk's process lock
  int32_t fd;          // device descriptor, -1 when closed
  int32_t diskNo;      // disk served, -1 when none
  int32_t syncMark;    // pending flush request for the flush thread
  DfDiskEntry *entry;  // attached shared image, null when none
};
static_assert(offsetof(DfDiskSlot, semId) == 0);
static_assert(offsetof(DfDiskSlot, fd) == 4);
static_assert(offsetof(DfDiskSlot, diskNo) == 8);
static_assert(offsetof(DfDiskSlot, syncMark) == 12);
static_assert(offsetof(DfDiskSlot, entry) == 16);

}  // namespace zrfs
