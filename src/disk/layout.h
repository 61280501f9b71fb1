// Byte layout of a formatted partition and of a disk's shared image, plus
// the per-process disk slot.
//
// Partition: two metadata copies of 8 MiB at 0x100000 (copy 0) and
// 0x900000 (copy 1), a gap of one unit, then the data area of equal blocks.
// Inside each copy:
//   +0x000000           DfDiskHeader (512 bytes)
//   +0x7A0000..7AFFFF   block-count pages, type t at +0x7AF000 - t * 0x1000
//   +0x7B0000..7BFFFF   current-block pages, type t at +0x7BF000 - t * 0x1000
//   +0x7C0000           block map, place B (0x20000 bytes)
//   +0x7E0000           block map, place A (0x20000 bytes)
// Nothing else of a copy, the first MiB or the gap is ever written.
// All integers are little-endian (pool_layout.h checks the target).
#pragma once

#include <cstddef>
#include <cstdint>

#include "shared/pool_layout.h"

namespace zrfs {

inline constexpr int kBlockTypes = 16;
inline constexpr int kChannels = 1024;
inline constexpr int32_t kMaxBlocks = 0x20000;      // map bytes; block ids stay below
inline constexpr uint32_t kTablePageSize = 0x1000;  // one type's row of 1024 entries

inline constexpr uint64_t kFirstCopyBase = 0x100000;
inline constexpr uint32_t kMetaSize = 0x800000;          // one metadata copy
inline constexpr uint32_t kFormatUnitSize = 0x40000000;  // 1 GiB blocks
inline constexpr uint64_t kFormatDataStart = kFirstCopyBase + kFormatUnitSize + 2ull * kMetaSize;
static_assert(kFormatDataStart == 0x41100000);
inline constexpr uint32_t kFormatVersion = 2;
inline constexpr uint32_t kMetaCopies = 2;

// Block states, one map byte per block.
inline constexpr uint8_t kBlkFree = 0;
inline constexpr uint8_t kBlkUsed = 1;
inline constexpr uint8_t kBlkBadUnit = 0xFE;   // inside a range tagged bad
inline constexpr uint8_t kBlkBadBlock = 0xFF;  // failed an I/O
constexpr bool IsBadState(uint8_t state) {
  return state == kBlkBadUnit || state == kBlkBadBlock;
}

// Device offsets of each metadata structure of copy 0 or 1.
constexpr uint64_t CopyBase(int copy) {
  return kFirstCopyBase + uint64_t(copy) * kMetaSize;
}
constexpr uint64_t HeaderPlace(int copy) {
  return CopyBase(copy);
}
constexpr uint64_t MapPlaceA(int copy) {
  return CopyBase(copy) + 0x7E0000;
}
constexpr uint64_t MapPlaceB(int copy) {
  return CopyBase(copy) + 0x7C0000;
}
constexpr uint64_t CurBlkPage(int copy, int type) {
  return CopyBase(copy) + 0x7BF000 - uint64_t(type) * kTablePageSize;
}
constexpr uint64_t BlkCntPage(int copy, int type) {
  return CopyBase(copy) + 0x7AF000 - uint64_t(type) * kTablePageSize;
}
static_assert(MapPlaceA(1) == 0x10E0000 && MapPlaceB(0) == 0x8C0000);
static_assert(CurBlkPage(0, 15) == 0x8B0000 && BlkCntPage(1, 0) == 0x10AF000);

// Sector at 0x100000 and 0x900000; also the first 512 bytes of DfDiskEntry.
struct DfDiskHeader {
  char magic[8];           // "ZRFS", a NUL and three zero bytes
  uint32_t ver;            // format version: 2 (0 and 1 are upgraded at mount)
  uint32_t metaSize;       // bytes of one metadata copy
  uint32_t unitSize;       // bytes of one block
  uint8_t reserved1[4];    // zero
  int64_t createTime;      // seconds, when formatted
  uint8_t reserved2[16];   // zero
  uint64_t dataStart;      // device offset of block 0
  uint64_t dataEnd;        // dataStart + unitSize * tolblk
  uint32_t tolblk;         // number of blocks, at most 0x20000
  uint8_t reserved3[444];  // zero
};
static_assert(sizeof(DfDiskHeader) == 512);
static_assert(offsetof(DfDiskHeader, magic) == 0);
static_assert(offsetof(DfDiskHeader, ver) == 8);
static_assert(offsetof(DfDiskHeader, metaSize) == 12);
static_assert(offsetof(DfDiskHeader, unitSize) == 16);
static_assert(offsetof(DfDiskHeader, reserved1) == 20);
static_assert(offsetof(DfDiskHeader, createTime) == 24);
static_assert(offsetof(DfDiskHeader, reserved2) == 32);
static_assert(offsetof(DfDiskHeader, dataStart) == 48);
static_assert(offsetof(DfDiskHeader, dataEnd) == 56);
static_assert(offsetof(DfDiskHeader, tolblk) == 64);
static_assert(offsetof(DfDiskHeader, reserved3) == 68);

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
