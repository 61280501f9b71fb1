// The per-process table of open record files, their shared entries and the
// operations that open, create, close and sync them.
#include <strings.h>

#include <cstring>

#include "block/block_file.h"
#include "disk/fast_path.h"
#include "record/record_file.h"
#include "shared/keys.h"
#include "shared/pool.h"
#include "shared/proc_lock.h"
#include "zrfs/df.h"
#include "zrfs/fsc.h"

extern "C" {
int g_zrFileMutex = -1;
}

namespace zrfs {

TfHandle *g_tfFileTable[kRecordFileSlots];

namespace {

constexpr size_t kStoredNameChars = sizeof(TfFileEntry::filename) - 1;

uint64_t FileKey(const RecordName &id) {
  return static_cast<uint64_t>(id.disk) << 40 | static_cast<uint64_t>(id.blk) << 16 | id.fileNo;
}

bool HeaderLoaded(const TfFileEntry &entry) {
  static constexpr char kNone[4] = {};
  return memcmp(entry.header.magic, kNone, sizeof kNone) != 0;
}

// The references of live processes to an entry are counted beside its lock
// as well, with SEM_UNDO, so the system takes back those of a process that
// dies.  When this process's handle is made or goes (resync), ShrRef is set
// to that count, so a killed process's references are dropped by the next
// process that attaches the file or lets go of it, and its slot is given
// back with the last live one; in between, a repeated reference costs one
// semaphore operation.  A set made without the count keeps ShrRef alone.
// Under the record-file table lock.
void CountReference(TfHandle *h, short delta, bool resync) {
  (void)AddToLiveCount(h->lockId, delta);  // without a count, ShrRef alone
  h->entry->ShrRef += delta;
  int live = resync ? LiveCount(h->lockId) : -1;
  if (live >= 0) h->entry->ShrRef = live;
}

enum class Lookup { kFound, kNone, kOtherFile };

// This process's handle of the file id names: the same key (and so the same
// shared entry, unless a format retired it) and, once the file's header is
// loaded, the same tag.  A reference is taken on a match.  kOtherFile: the
// key is open for a file with another tag, so id names a file that is gone.
Lookup LookupByIdentity(const RecordName &id, TfHandle **found) {
  uint64_t key = FileKey(id);
  for (TfHandle *h : g_tfFileTable) {
    // A retired entry's listed key carries the retired bit, so it never
    // equals a key made from a name.
    if (h == nullptr || h->entry == nullptr || ListedKey(h->entry->poolSlot) != key) continue;
    if (HeaderLoaded(*h->entry) && strncasecmp(h->entry->header.tag, id.tag, 4) != 0)
      return Lookup::kOtherFile;
    h->InRef += 1;
    CountReference(h, +1, /*resync=*/false);
    *found = h;
    return Lookup::kFound;
  }
  return Lookup::kNone;
}

// A new handle attached to the shared entry of id's key, without reading
// the disk.
TfHandle *AttachFile(const char *name, const RecordName &parsed) {
  if (!DiskReadyNow(static_cast<unsigned>(parsed.disk))) {
    NoteFailure(Status::kNotMounted);
    return nullptr;
  }
  uint64_t key = FileKey(parsed);
  int slot = 0;
  while (slot < kRecordFileSlots && g_tfFileTable[slot] != nullptr) ++slot;
  if (slot == kRecordFileSlots) {
    NoteFailure(Status::kTableFull);
    return nullptr;
  }
  auto *h = static_cast<TfHandle *>(zrfs_Malloc(sizeof(TfHandle)));
  if (h == nullptr) return nullptr;
  *h = TfHandle{0, static_cast<uint32_t>(slot), 0, nullptr, nullptr, -1, 0};
  auto *entry = static_cast<TfFileEntry *>(AcquireRecordEntry(
      static_cast<uint32_t>(key), static_cast<uint32_t>(key >> 32), kRecordEntrySize));
  if (entry == nullptr) {
    zrfs_Free(h);
    return nullptr;
  }
  int lockKey = SlotKey(static_cast<int>(entry->poolSlot));
  h->lockId = lockKey == -1 ? -1 : ProcLockWithCountInit(lockKey + kObjectLockKeyOffset);
  if (h->lockId < 0) {
    // Give the entry back unless someone else holds it: a recorded key with
    // no holder would take a slot for nothing.
    ReleaseRecordEntry(entry);
    zrfs_Free(h);
    return nullptr;
  }
  // Kept for the status record and the dump only: files are found by key.
  strncpy(entry->filename, name, kStoredNameChars);
  h->entry = entry;
  CountReference(h, +1, /*resync=*/true);
  h->InRef = 1;
  g_tfFileTable[slot] = h;
  return h;
}

TfHandle *LookupOrAttachUnderTableLock(const char *name) {
  ProcessLockGuard tableLock(g_zrFileMutex, LockLevel::kRecord);
  if (!tableLock.ok()) return nullptr;
  return LookupOrAttach(name);
}

TfHandle *CreateFile(const FileCreateParam *param, char *name) {
  name[0] = '\0';
  TfFileHeader header;
  BfHandle *blockFile = CreateRecordFile(param, name, &header, /*countWriter=*/true);
  if (blockFile == nullptr) return nullptr;
  TfHandle *h = LookupOrAttachUnderTableLock(name);
  if (h == nullptr) {
    DropWriter(blockFile);
    DetachBlock(blockFile);
    return nullptr;
  }
  ProcessLockGuard fileLock(h->lockId, LockLevel::kRecord);
  if (!fileLock.ok() || h->blockFile != nullptr) {
    // Cannot happen for a fresh name; keep the counts right if it does.
    DropWriter(blockFile);
    DetachBlock(blockFile);
    if (!fileLock.ok()) {
      fileLock.Unlock();
      ReleaseFile(h);
      return nullptr;
    }
    return h;
  }
  h->entry->header = header;
  h->blockFile = blockFile;
  h->writing = 1;  // its creator records into it: counted at creation
  return h;
}

}  // namespace

TfHandle *LookupOrAttach(const char *name) {
  RecordName id;
  if (name == nullptr || strnlen(name, kMaxNameChars + 1) > kMaxNameChars ||
      !ParseRecordName(name, &id)) {
    NoteFailure(Status::kBadArgument);
    return nullptr;
  }
  TfHandle *h = nullptr;
  switch (LookupByIdentity(id, &h)) {
    case Lookup::kFound:
      return h;
    case Lookup::kOtherFile:
      NoteFailure(Status::kNotFound);
      return nullptr;
    case Lookup::kNone:
      break;
  }
  return AttachFile(name, id);
}

void MarkWritingLocked(TfHandle *h) {
  AssertHeld(LockLevel::kRecord);
  if (h == nullptr || h->writing != 0 || h->blockFile == nullptr) return;
  AddWriter(h->blockFile);
  h->writing = 1;
}

void MarkWriting(TfHandle *h) {
  if (h == nullptr) return;
  ProcessLockGuard fileLock(h->lockId, LockLevel::kRecord);
  if (fileLock.ok()) MarkWritingLocked(h);
}

void ReleaseFileLocked(TfHandle *h) {
  AssertHeld(LockLevel::kRecord);
  if (h->fileId >= kRecordFileSlots) return;
  h->InRef -= 1;
  if (h->entry != nullptr) CountReference(h, -1, /*resync=*/h->InRef <= 0);
  if (h->InRef > 0) return;
  if (h->writing != 0) DropWriter(h->blockFile);
  if (h->blockFile != nullptr) DetachBlock(h->blockFile);
  ReleaseRecordEntry(h->entry);
  g_tfFileTable[h->fileId] = nullptr;
  zrfs_Free(h);
}

void ReleaseFile(TfHandle *h) {
  if (h->fileId >= kRecordFileSlots) return;
  ProcessLockGuard tableLock(g_zrFileMutex, LockLevel::kRecord);
  if (!tableLock.ok()) return;
  ReleaseFileLocked(h);
}

TfHandle *OpenFileByName(const char *name, TfFileStat *st) {
  if (name == nullptr) return nullptr;
  TfHandle *h = LookupOrAttachUnderTableLock(name);
  if (h == nullptr) return nullptr;
  bool looked = st == nullptr;
  {
    ProcessLockGuard fileLock(h->lockId, LockLevel::kRecord);
    if (fileLock.ok() && h->blockFile == nullptr) {
      // Another process may hold the entry with a header newer than the
      // disk's (after a failed sync): the disk's copy is loaded only into an
      // entry nobody has loaded yet.
      TfFileHeader onDisk{};  // a short read leaves zeros, whose tag matches no name
      h->blockFile = OpenRecordFile(name, &onDisk);
      if (h->blockFile != nullptr && !HeaderLoaded(*h->entry)) h->entry->header = onDisk;
    }
    if (fileLock.ok() && h->blockFile != nullptr && !looked) {
      FillStatLocked(*h->entry, st);
      looked = true;
    }
  }
  if (h->blockFile == nullptr || !looked) {
    ReleaseFile(h);
    return nullptr;
  }
  return h;
}

Status StartRecordLayer() {
  for (TfHandle *&slot : g_tfFileTable) slot = nullptr;
  g_zrFileMutex = ProcLockInit(LayerKey(kRecordTableLockProjId));
  (void)AttachSharedPool();  // a pool that cannot be attached fails each attachment later
  return StartBlockLayer();
}

void ReleaseAllFiles() {
  for (TfHandle *h : g_tfFileTable)
    if (h != nullptr) ReleaseFile(h);
}

TfHandle *OpenOrCreateFile(const FileCreateParam *param, char *name) {
  if (name == nullptr) return nullptr;
  if (param != nullptr) return CreateFile(param, name);
  return OpenFileByName(name, nullptr);
}

Status SyncFile(TfHandle *h) {
  if (h == nullptr || h->entry == nullptr) return Status::kBadArgument;
  ProcessLockGuard fileLock(h->lockId, LockLevel::kRecord);
  if (!fileLock.ok()) return Status::kNoLock;
  return SyncHeaders(h->blockFile, h->entry->header);
}

}  // namespace zrfs
