// The shared pool: finding, claiming and releasing the shared entries of
// record files, block files and disks.  Callers hold the kind's lock (see
// proc_lock.h); nothing here locks.
#include "shared/pool.h"

#include <atomic>
#include <cstring>

#include "os/os.h"
#include "shared/keys.h"
#include "shared/pool_layout.h"
#include "shared/proc_lock.h"
#include "shared/status.h"
#include "zrfs/fsc.h"

extern "C" {
uint64_t *g_stZrfsFileList = nullptr;
void *g_stZrfsShrPool = nullptr;
}

namespace zrfs {
namespace {

constexpr uint32_t kFileListBytes = sizeof(FileList);
constexpr uint32_t kPoolBytes = sizeof(SharedPool);

// The list's keys are read and written a 32-bit word at a time: a format
// retires keys (it changes a high word) while other processes scan the list
// under the kind's lock, and each half must read whole.
std::atomic_ref<uint32_t> KeyWord(uint32_t slot, int half) {
  return std::atomic_ref<uint32_t>(reinterpret_cast<uint32_t *>(g_stZrfsFileList)[2 * slot + half]);
}
uint64_t LoadKey(uint32_t slot) {
  uint64_t high = KeyWord(slot, 1).load(std::memory_order_relaxed);
  return high << 32 | KeyWord(slot, 0).load(std::memory_order_relaxed);
}
void StoreKey(uint32_t slot, uint64_t key) {
  KeyWord(slot, 0).store(uint32_t(key), std::memory_order_relaxed);
  KeyWord(slot, 1).store(uint32_t(key >> 32), std::memory_order_relaxed);
}

bool Attached() {
  return g_stZrfsFileList != nullptr && g_stZrfsShrPool != nullptr;
}

uint8_t *PoolEntry(const EntryKind &kind, int localIndex) {
  return static_cast<uint8_t *>(g_stZrfsShrPool) + kind.poolOffset +
         kind.entrySize * static_cast<uint32_t>(localIndex);
}

uint32_t LoadU32(const void *entry, uint32_t offset) {
  uint32_t value;
  memcpy(&value, static_cast<const uint8_t *>(entry) + offset, sizeof value);
  return value;
}

int32_t LoadI32(const void *entry, uint32_t offset) {
  int32_t value;
  memcpy(&value, static_cast<const uint8_t *>(entry) + offset, sizeof value);
  return value;
}

void StoreU32(void *entry, uint32_t offset, uint32_t value) {
  memcpy(static_cast<uint8_t *>(entry) + offset, &value, sizeof value);
}

// The existing segment with this key, when it has the expected size.
void *AttachExisting(int key, uint32_t size) {
  int id = os().ShmGet(key, 0, 0666);
  struct shmid_ds info;
  if (id < 0 || os().ShmStat(id, &info) != 0 || info.shm_segsz != size) return nullptr;
  return os().ShmAttach(id);
}

void *AttachSlot(int slot, uint32_t size) {
  int key = SlotKey(slot);
  return key == -1 ? nullptr : AttachSegment(key, size);
}

// Attaches the segment of a slot whose key is in the list.  Its holders
// made it, so a missing one is not made afresh: an empty entry would lie
// about the object and its counts.
void *AttachHeldSlot(int slot, uint32_t size) {
  int key = SlotKey(slot);
  return key == -1 ? nullptr : AttachExisting(key, size);
}

// A slot whose object no live process holds: the count of its holders
// beside its lock (kept with SEM_UNDO) is 0, so every holder the list still
// has died without letting go.  Holders come and go only under their
// kind's table lock, which the caller holds, so the count cannot change
// meanwhile.  The slot is cleared like the release of its last holder.
bool TakeBackAbandonedSlot(const EntryKind &kind, int slot, uint32_t size) {
  int key = SlotKey(slot);
  int lockId = key == -1 ? -1 : os().SemGet(key + kObjectLockKeyOffset, 0, 0666);
  if (lockId < 0 || LiveCount(lockId, kind.holdersCount) != 0) return false;  // unknown: held
  int localIndex = slot - kind.firstSlot;
  if (localIndex < kInPoolEntries) {
    memset(PoolEntry(kind, localIndex), 0, size);
  } else {
    int id = os().ShmGet(key, 0, 0666);
    if (id >= 0) os().ShmRemove(id);
  }
  StoreKey(uint32_t(slot), 0);
  return true;
}

// Entry request for the record-file and block-file regions.
void *RequestEntry(const EntryKind &kind, uint32_t keyLo, uint32_t keyHi, uint32_t size) {
  uint64_t key = static_cast<uint64_t>(keyHi) << 32 | keyLo;
  if (key == 0 || size != kind.entrySize) return nullptr;
  if (!Attached()) {  // zrfs_Init not called, or the pool could not be had
    NoteFailure(Status::kNoLock);
    return nullptr;
  }

  int freeIndex = -1;
  for (int i = 0; i < kSlotsPerKind; ++i) {
    uint64_t listed = LoadKey(uint32_t(kind.firstSlot + i));
    if (listed == key) {
      if (i < kInPoolEntries) return PoolEntry(kind, i);
      // A found key whose segment cannot be attached fails the request:
      // going on would give the same object a second slot.
      return AttachHeldSlot(kind.firstSlot + i, size);
    }
    if (listed == 0 && freeIndex < 0) freeIndex = i;
  }
  // Full: objects that only killed processes held give their slots up.
  for (int i = 0; freeIndex < 0 && i < kSlotsPerKind; ++i)
    if (TakeBackAbandonedSlot(kind, kind.firstSlot + i, size)) freeIndex = i;
  if (freeIndex < 0) {
    NoteFailure(Status::kTableFull);
    return nullptr;
  }

  int slot = kind.firstSlot + freeIndex;
  void *entry = freeIndex < kInPoolEntries ? PoolEntry(kind, freeIndex) : AttachSlot(slot, size);
  if (entry == nullptr) {  // the system's segment limits
    NoteFailure(Status::kTableFull);
    return nullptr;
  }
  // A new segment is zero already; clearing also covers one that outlived
  // its list slot (a list recreated after a crash), whose counts would lie.
  memset(entry, 0, size);
  StoreU32(entry, kind.poolSlotOffset, static_cast<uint32_t>(slot));
  StoreKey(uint32_t(slot), key);
  return entry;
}

// Release for the record-file and block-file regions.
void ReleaseEntry(const EntryKind &kind, void *entry) {
  if (entry == nullptr) return;
  int slot = static_cast<int>(LoadU32(entry, kind.poolSlotOffset));
  if (slot < kind.firstSlot || slot >= kind.firstSlot + kSlotsPerKind) return;
  int localIndex = slot - kind.firstSlot;
  // An in-pool entry must be where its slot says; anything else is not ours.
  if (localIndex < kInPoolEntries && (!Attached() || entry != PoolEntry(kind, localIndex))) return;
  bool last = LoadI32(entry, kind.shrRefOffset) <= 0;
  ReleaseSegment(entry, slot, last);
}

}  // namespace

void *AttachSegment(int key, uint32_t size) {
  int id = os().ShmGet(key, 0, 0666);
  if (id >= 0) {
    struct shmid_ds info;
    if (os().ShmStat(id, &info) != 0 || info.shm_segsz != size) return nullptr;
  } else {
    id = os().ShmGet(key, size, IPC_CREAT | 0666);
    if (id < 0) return nullptr;
  }
  return os().ShmAttach(id);
}

void ReleaseSegment(void *entry, int slot, bool last) {
  if (slot < 0 || slot >= kPoolSlotCount) return;
  if (last && g_stZrfsFileList == nullptr) return;
  if (HasOwnSegment(slot)) {
    os().ShmDetach(entry);
    if (!last) return;
    int key = SlotKey(slot);
    if (key != -1) {
      int id = os().ShmGet(key, 0, 0666);
      if (id >= 0) os().ShmRemove(id);  // attached holders keep their mapping
    }
  }
  if (last) StoreKey(uint32_t(slot), 0);  // a pool entry's bytes stay until the next claim
}

void RetireDiskEntries(int disk) {
  if (g_stZrfsFileList == nullptr || disk < 0 || disk >= kMaxDisks) return;
  for (uint32_t slot = 0; slot < uint32_t(kFirstDiskSlot); ++slot) {
    // Record-file and block-file keys carry the disk in bits 40..47, that
    // is bits 8..15 of the high word, and never the retired bit.
    uint64_t key = LoadKey(slot);
    auto high = uint32_t(key >> 32);
    if (key == 0 || (high & kRetiredKeyBit) != 0 || ((high >> 8) & 0xFF) != uint32_t(disk))
      continue;
    KeyWord(slot, 1).store(high | kRetiredKeyBit, std::memory_order_relaxed);
  }
}

bool SlotRetired(uint32_t poolSlot) {
  if (g_stZrfsFileList == nullptr || poolSlot >= uint32_t(kFirstDiskSlot)) return true;
  return (KeyWord(poolSlot, 1).load(std::memory_order_relaxed) & kRetiredKeyBit) != 0;
}

uint64_t ListedKey(uint32_t poolSlot) {
  if (g_stZrfsFileList == nullptr || poolSlot >= uint32_t(kPoolSlotCount)) return 0;
  return LoadKey(poolSlot);
}

void ResetProcessState() {
  if (g_stZrfsFileList != nullptr) os().ShmDetach(g_stZrfsFileList);
  if (g_stZrfsShrPool != nullptr) os().ShmDetach(g_stZrfsShrPool);
  g_stZrfsFileList = nullptr;
  g_stZrfsShrPool = nullptr;
  ForgetSlotKeys();
}

int AttachSharedPool() {
  int result = 0;
  if (g_stZrfsFileList == nullptr) {
    int key = LayerKey(kFileListProjId);
    if (key == -1) return -1;
    g_stZrfsFileList = static_cast<uint64_t *>(AttachSegment(key, kFileListBytes));
    if (g_stZrfsFileList == nullptr) result = -1;
  }
  if (g_stZrfsShrPool != nullptr) return result;
  int key = LayerKey(kPoolProjId);
  if (key == -1) return -1;
  g_stZrfsShrPool = AttachSegment(key, kPoolBytes);
  return g_stZrfsShrPool == nullptr ? -1 : result;
}

void *AcquireRecordEntry(uint32_t keyLo, uint32_t keyHi, uint32_t size) {
  return RequestEntry(kRecordKind, keyLo, keyHi, size);
}

void *AcquireBlockEntry(uint32_t keyLo, uint32_t keyHi, uint32_t size) {
  return RequestEntry(kBlockKind, keyLo, keyHi, size);
}

void *AcquireDiskEntry(uint32_t keyLo, uint32_t keyHi, uint32_t size) {
  uint64_t key = static_cast<uint64_t>(keyHi) << 32 | keyLo;
  if (key == 0 || size != kDiskEntrySize || !Attached()) return nullptr;
  int disk = static_cast<int>((keyHi >> 8) & 0xFF);
  if (disk >= kMaxDisks || key != DiskEntryKey(disk)) return nullptr;

  int slot = kFirstDiskSlot + disk;
  int shmKey = SlotKey(slot);
  if (shmKey == -1) return nullptr;
  if (LoadKey(uint32_t(slot)) == key) {
    if (void *held = AttachExisting(shmKey, size)) return held;
    // Listed but gone: make it afresh below, with the tail of a new entry.
  }

  auto *entry = static_cast<uint8_t *>(AttachSegment(shmKey, size));
  if (entry == nullptr) return nullptr;
  StoreKey(uint32_t(slot), key);
  DiskEntryTail tail{0, 1, 0, static_cast<uint32_t>(slot)};
  memcpy(entry + kDiskEntryTailOffset, &tail, sizeof tail);
  return entry;
}

int DiskEntryAttachments(int disk) {
  if (disk < 0 || disk >= kMaxDisks) return -1;
  int key = SlotKey(kFirstDiskSlot + disk);
  int id = key == -1 ? -1 : os().ShmGet(key, 0, 0666);
  struct shmid_ds info;
  if (id < 0 || os().ShmStat(id, &info) != 0) return -1;
  return static_cast<int>(info.shm_nattch);
}

void ReleaseRecordEntry(void *entry) {
  ReleaseEntry(kRecordKind, entry);
}

void ReleaseBlockEntry(void *entry) {
  ReleaseEntry(kBlockKind, entry);
}

void ReleaseDiskEntry(void *entry) {
  if (entry == nullptr) return;
  int slot =
      static_cast<int>(LoadU32(entry, kDiskEntryTailOffset + offsetof(DiskEntryTail, poolSlot)));
  if (slot < kFirstDiskSlot || slot >= kFirstDiskSlot + kMaxDisks) return;
  ReleaseSegment(entry, slot, true);
}

}  // namespace zrfs
