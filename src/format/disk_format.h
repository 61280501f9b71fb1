// Byte layout of a formatted partition: its geometry, the disk header and
// where each metadata structure lies.  Plain structs, constants and pure
// functions only, shared by the library, the checker, the tool and the
// fuzzers.
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
// All integers are little-endian.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "format/block_format.h"

namespace zrfs {

static_assert(std::endian::native == std::endian::little, "the on-disk layout is little-endian");

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

// Why a mount rewrote a metadata copy.  Kept on disk: values never change.
enum class CopyFault : uint8_t {
  kNone = 0,              // no repair recorded
  kBehind = 1,            // whole, but with a lower update count
  kHeaderUnreadable = 2,  // its header could not be read in full
  kHeaderRefused = 3,     // its header read but was refused (MountAccepts)
  kMapUnreadable = 4,     // neither map place could be read in full
  kMapStrayStates = 5,    // no map place held known block states only
  kTableUnreadable = 6,   // a current-block or block-count page could not be read
  kTableOutOfRange = 7,   // a table entry named no block of the disk
};

// What the last mount that found a copy damaged or behind did: it took the
// other copy and wrote both whole again.  Kept in the header rather than
// beside the shared image, whose size the pool fixes: every later change
// writes it to both copies, it outlasts a restart for the checker, and the
// dump finds it in the image, which starts with the header.  All zero until
// a mount mends a copy.
struct CopyRepair {
  CopyFault fault;           // why the copy was rewritten; kNone: no record
  uint8_t usedCopy;          // the copy the mount took
  uint8_t rewrittenCopy;     // the copy found damaged or behind
  uint8_t pad;               // zero
  uint32_t blocksTakenBack;  // free blocks marked used from their own headers
  int64_t time;              // seconds, when
};
static_assert(sizeof(CopyRepair) == 16);
static_assert(offsetof(CopyRepair, fault) == 0);
static_assert(offsetof(CopyRepair, usedCopy) == 1);
static_assert(offsetof(CopyRepair, rewrittenCopy) == 2);
static_assert(offsetof(CopyRepair, pad) == 3);
static_assert(offsetof(CopyRepair, blocksTakenBack) == 4);
static_assert(offsetof(CopyRepair, time) == 8);

// Sector at 0x100000 and 0x900000; also the first 512 bytes of DfDiskEntry.
struct DfDiskHeader {
  char magic[8];          // "ZRFS", a NUL and three zero bytes
  uint32_t ver;           // format version: 2 (0 and 1 are upgraded at mount)
  uint32_t metaSize;      // bytes of one metadata copy
  uint32_t unitSize;      // bytes of one block
  uint8_t reserved1[4];   // zero
  int64_t createTime;     // seconds, when formatted
  uint8_t reserved2[16];  // zero
  uint64_t dataStart;     // device offset of block 0
  uint64_t dataEnd;       // dataStart + unitSize * tolblk
  uint32_t tolblk;        // number of blocks, at most 0x20000
  uint8_t reserved3[4];   // zero
  // Metadata changes written since the format, continued across formats.
  // Every change raises it and writes each copy's header after that copy's
  // pages, so of two copies the one with the higher count holds every
  // change the other does.  0 on disks of builds that did not count.
  uint64_t updateCount;
  CopyRepair repair;       // what the last mount that mended a copy did
  uint8_t reserved4[416];  // zero
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
static_assert(offsetof(DfDiskHeader, updateCount) == 72);
static_assert(offsetof(DfDiskHeader, repair) == 80);
static_assert(offsetof(DfDiskHeader, reserved4) == 96);

// Where block 0 starts for a unit size, as a format lays the disk out.
constexpr uint64_t FormatDataStart(uint64_t unitSize) {
  return kFirstCopyBase + unitSize + 2ull * kMetaSize;
}

// What can be wrong with a disk header, one bit each.  Which headers a disk
// may have is decided here, once:
// - kMountRefuses: a mount refuses the disk (no "ZRFS" magic with its NUL,
//   more than 0x20000 blocks, or a unit size of 0, which would give every
//   block the same address);
// - the other faults are fields no format writes (a newer version, another
//   metadata size, a unit that is no whole number of 2 MiB, data start or
//   end elsewhere, blocks past the device's end).  A mount still takes such
//   a disk as its header says, as recorders always have; the checker
//   reports it damaged and does not trust its geometry;
// - kHarmless: bytes a format zeroes that are not zero; nothing reads them.
enum DiskHeaderFault : uint32_t {
  kNoMagic = 1u << 0,
  kTooManyBlocks = 1u << 1,
  kNoUnitSize = 1u << 2,
  kMagicNotPadded = 1u << 3,
  kUnknownVersion = 1u << 4,
  kOtherMetaSize = 1u << 5,
  kUnitNotWhole = 1u << 6,
  kOtherDataStart = 1u << 7,
  kOtherDataEnd = 1u << 8,
  kPastDeviceEnd = 1u << 9,
  kReservedNotZero = 1u << 10,
};
inline constexpr uint32_t kMountRefuses = kNoMagic | kTooManyBlocks | kNoUnitSize;
inline constexpr uint32_t kHarmless = kMagicNotPadded | kReservedNotZero;

// The faults of a header; deviceSize 0 skips the device-end test.  Without
// the magic nothing else is judged.
inline uint32_t DiskHeaderFaults(const DfDiskHeader &head, uint64_t deviceSize) {
  if (memcmp(head.magic, "ZRFS", 5) != 0) return kNoMagic;
  auto zero = [](const uint8_t *bytes, size_t n) {
    for (size_t i = 0; i < n; ++i)
      if (bytes[i] != 0) return false;
    return true;
  };
  uint32_t faults = 0;
  if (!zero(reinterpret_cast<const uint8_t *>(head.magic) + 5, 3)) faults |= kMagicNotPadded;
  if (head.ver > kFormatVersion) faults |= kUnknownVersion;
  if (head.metaSize != kMetaSize) faults |= kOtherMetaSize;
  if (head.unitSize == 0) faults |= kNoUnitSize;
  if (head.unitSize % kHeaderAreaSize != 0) faults |= kUnitNotWhole;
  if (head.dataStart != FormatDataStart(head.unitSize)) faults |= kOtherDataStart;
  if (head.tolblk > uint32_t(kMaxBlocks)) faults |= kTooManyBlocks;
  uint64_t end = head.dataStart + uint64_t(head.unitSize) * head.tolblk;
  if (head.dataEnd != end) faults |= kOtherDataEnd;
  if (deviceSize != 0 && end > deviceSize) faults |= kPastDeviceEnd;
  if (!zero(head.reserved1, sizeof head.reserved1) ||
      !zero(head.reserved2, sizeof head.reserved2) ||
      !zero(head.reserved3, sizeof head.reserved3) || !zero(head.reserved4, sizeof head.reserved4))
    faults |= kReservedNotZero;
  return faults;
}

inline bool MountAccepts(const DfDiskHeader &head) {
  return (DiskHeaderFaults(head, 0) & kMountRefuses) == 0;
}

static_assert(FormatDataStart(kFormatUnitSize) == kFormatDataStart);

}  // namespace zrfs
