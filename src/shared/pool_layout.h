// Shared-memory layout of the pool: the file list, the pool segment and the
// few words of each kind of entry that the pool itself reads and writes.
// The entries' full layouts belong to their layers, which check them against
// the offsets here.
#pragma once

#include <cstddef>
#include <cstdint>

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__,
              "shared memory and disks are little-endian; the structs are read in place");

namespace zrfs {

inline constexpr int kPoolSlotCount = 2072;
inline constexpr int kSlotsPerKind = 1024;  // record-file and block-file regions
inline constexpr int kInPoolEntries = 512;  // of each region; the rest get own segments
inline constexpr int kFirstRecordSlot = 0;
inline constexpr int kFirstBlockSlot = 1024;
inline constexpr int kFirstDiskSlot = 2048;
inline constexpr int kMaxDisks = 24;

inline constexpr uint32_t kRecordEntrySize = 584;
inline constexpr uint32_t kBlockEntrySize = 544;
inline constexpr uint32_t kDiskEntrySize = 262672;

// The file list: one EntryKey per pool slot, 0 when the slot is free.
struct FileList {
  uint64_t entryKey[kPoolSlotCount];
};
static_assert(sizeof(FileList) == 16576);
static_assert(offsetof(FileList, entryKey) == 0);

// The pool segment: the first 512 entries of the record-file and block-file
// regions.
struct SharedPool {
  uint8_t recordEntries[kInPoolEntries][kRecordEntrySize];
  uint8_t blockEntries[kInPoolEntries][kBlockEntrySize];
};
static_assert(sizeof(SharedPool) == 577536);
static_assert(offsetof(SharedPool, recordEntries) == 0);
static_assert(offsetof(SharedPool, blockEntries) == 299008);

// Where the pool finds its words inside one kind of entry.
struct EntryKind {
  int firstSlot;            // first list slot of the kind's region
  uint32_t entrySize;       // bytes
  uint32_t poolOffset;      // byte offset of the kind's entries in SharedPool
  uint32_t shrRefOffset;    // i32 count of holders over all processes
  uint32_t poolSlotOffset;  // u32 list slot of the entry
  // Which count of the object's lock set counts its holders, with SEM_UNDO,
  // so a slot only killed processes held can be taken back.
  unsigned short holdersCount;
};

inline constexpr EntryKind kRecordKind{
    kFirstRecordSlot, kRecordEntrySize, offsetof(SharedPool, recordEntries), 576, 580, 1};
inline constexpr EntryKind kBlockKind{
    kFirstBlockSlot, kBlockEntrySize, offsetof(SharedPool, blockEntries), 520, 536, 2};

// The last 16 bytes of a disk entry, which the pool sets on a fresh claim.
struct DiskEntryTail {
  uint32_t mapIndex;  // 0: map read from place A, 1: from place B
  uint32_t stat;      // 1 while not usable, 0 once mounted
  uint32_t mounted;   // processes that have the disk mounted
  uint32_t poolSlot;  // 2048 + disk number
};
static_assert(sizeof(DiskEntryTail) == 16);
static_assert(offsetof(DiskEntryTail, mapIndex) == 0);
static_assert(offsetof(DiskEntryTail, stat) == 4);
static_assert(offsetof(DiskEntryTail, mounted) == 8);
static_assert(offsetof(DiskEntryTail, poolSlot) == 12);
inline constexpr uint32_t kDiskEntryTailOffset = 262656;
static_assert(kDiskEntryTailOffset + sizeof(DiskEntryTail) == kDiskEntrySize);

// What a disk does when it or one of its channels is full, for every
// process that has it mounted: a segment of its own beside the disk's image
// (keyed by the image's key plus kDiskPolicyKeyOffset), since the image's
// size is fixed by the pool's allocation call.  Cleared by the first mount
// and by a format; changed under the disk's lock.
inline constexpr int kPolicyChannels = 1024;
struct DiskPolicy {
  uint32_t retention;               // 0: a full disk refuses new blocks; 1: overwrite the oldest
  uint8_t reserved[12];             // zero
  uint32_t quota[kPolicyChannels];  // most blocks a channel may hold; 0: no limit
};
static_assert(sizeof(DiskPolicy) == 4112);
static_assert(offsetof(DiskPolicy, retention) == 0);
static_assert(offsetof(DiskPolicy, reserved) == 4);
static_assert(offsetof(DiskPolicy, quota) == 16);

// EntryKey of a disk: low word all ones, high word 0xFF | disk << 8.
constexpr uint64_t DiskEntryKey(int disk) {
  return (static_cast<uint64_t>(0xFFu | static_cast<uint32_t>(disk) << 8) << 32) | 0xFFFFFFFFu;
}

constexpr bool HasOwnSegment(int slot) {
  return (slot >= kFirstRecordSlot + kInPoolEntries && slot < kFirstBlockSlot) ||
         slot >= kFirstBlockSlot + kInPoolEntries;
}

}  // namespace zrfs
