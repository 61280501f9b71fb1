// The per-process table of open record files, their shared entries and the
// operations that open, create, close and sync them.
#include <cstring>

#include "block/block_file.h"
#include "record/record_file.h"
#include "shared/keys.h"
#include "shared/proc_lock.h"
#include "zrfs/df.h"
#include "zrfs/fsc.h"

extern "C" {
int g_zrFileMutex = -1;
}

namespace zrfs {

TfHandle *g_tfFileTable[kRecordFileSlots];

namespace {

constexpr size_t kStoredNameChars = 63;

// The open handle whose stored name occurs in name; a reference is taken.
TfHandle *LookupByName(const char *name) {
  if (name[0] == '\0') return nullptr;
  for (TfHandle *h : g_tfFileTable) {
    if (h == nullptr || h->entry == nullptr || h->entry->filename[0] == '\0') continue;
    if (strstr(name, h->entry->filename) == nullptr) continue;
    h->InRef += 1;
    h->entry->ShrRef += 1;
    return h;
  }
  return nullptr;
}

// A new handle attached to the shared entry of name's key, without reading
// the disk.
TfHandle *AttachFile(const char *name) {
  RecordName parsed;
  if (!ParseRecordName(name, &parsed)) return nullptr;
  if (df_IsDiskReady(static_cast<unsigned>(parsed.disk)) != 0) return nullptr;
  uint64_t key = static_cast<uint64_t>(parsed.disk) << 40 |
                 static_cast<uint64_t>(parsed.blk) << 16 | parsed.fileNo;
  int slot = 0;
  while (slot < kRecordFileSlots && g_tfFileTable[slot] != nullptr) ++slot;
  if (slot == kRecordFileSlots) return nullptr;
  auto *h = static_cast<TfHandle *>(zrfs_Malloc(sizeof(TfHandle)));
  if (h == nullptr) return nullptr;
  *h = TfHandle{0, static_cast<uint32_t>(slot), 0, nullptr, nullptr, -1};
  auto *entry = static_cast<TfFileEntry *>(
      fsc_TfMalloc(static_cast<uint32_t>(key), static_cast<uint32_t>(key >> 32), kRecordEntrySize));
  if (entry == nullptr) {
    zrfs_Free(h);
    return nullptr;
  }
  int lockKey = fsc_GetShmKey(static_cast<int>(entry->poolSlot));
  h->lockId = lockKey == -1 ? -1 : fsc_ProcLockInit(lockKey + kObjectLockKeyOffset);
  if (h->lockId < 0) {
    // Give the entry back unless someone else holds it: a recorded key with
    // no holder would take a slot for nothing.
    fsc_TfFree(entry);
    zrfs_Free(h);
    return nullptr;
  }
  strncpy(entry->filename, name, kStoredNameChars);
  entry->ShrRef += 1;
  h->entry = entry;
  h->InRef = 1;
  g_tfFileTable[slot] = h;
  return h;
}

TfHandle *LookupOrAttachUnderTableLock(const char *name) {
  ProcessLockGuard tableLock(g_zrFileMutex, LockLevel::kRecord);
  if (!tableLock.ok()) return nullptr;
  return tf_LookupOrAttach(name);
}

TfHandle *CreateFile(const FileCreateParam *param, char *name) {
  name[0] = '\0';
  TfFileHeader header;
  BfHandle *blockFile = bf_CreateFile(param, name, &header);
  if (blockFile == nullptr) return nullptr;
  TfHandle *h = LookupOrAttachUnderTableLock(name);
  if (h == nullptr) {
    bf_CloseFile(blockFile);
    return nullptr;
  }
  ProcessLockGuard fileLock(h->lockId, LockLevel::kRecord);
  if (!fileLock.ok() || h->blockFile != nullptr) {
    // Cannot happen for a fresh name; keep the counts right if it does.
    bf_CloseFile(blockFile);
    if (!fileLock.ok()) {
      fileLock.Unlock();
      tf_ReleaseFile(h);
      return nullptr;
    }
    return h;
  }
  h->entry->header = header;
  h->blockFile = blockFile;
  return h;
}

bool HeaderLoaded(const TfFileEntry &entry) {
  static constexpr char kNone[4] = {};
  return memcmp(entry.header.magic, kNone, sizeof kNone) != 0;
}

}  // namespace

TfHandle *tf_LookupOrAttach(const char *name) {
  if (name == nullptr || name[0] == '\0') return nullptr;
  TfHandle *h = LookupByName(name);
  return h != nullptr ? h : AttachFile(name);
}

void tf_ReleaseFileLocked(TfHandle *h) {
  if (h->fileId >= kRecordFileSlots) return;
  h->InRef -= 1;
  if (h->entry != nullptr) h->entry->ShrRef -= 1;
  if (h->InRef > 0) return;
  if (h->blockFile != nullptr) bf_CloseFile(h->blockFile);
  fsc_TfFree(h->entry);
  g_tfFileTable[h->fileId] = nullptr;
  zrfs_Free(h);
}

void tf_ReleaseFile(TfHandle *h) {
  if (h->fileId >= kRecordFileSlots) return;
  ProcessLockGuard tableLock(g_zrFileMutex, LockLevel::kRecord);
  if (!tableLock.ok()) return;
  tf_ReleaseFileLocked(h);
}

}  // namespace zrfs

using namespace zrfs;

extern "C" int tf_Init(void) {
  for (TfHandle *&slot : g_tfFileTable) slot = nullptr;
  g_zrFileMutex = fsc_ProcLockInit(LayerKey(kRecordTableLockProjId));
  fsc_ShareInit();
  return bf_Init();
}

extern "C" int tf_Uninit(void) {
  for (TfHandle *h : g_tfFileTable)
    if (h != nullptr) tf_ReleaseFile(h);
  return 0;
}

extern "C" TfHandle *tf_OpenFile(const FileCreateParam *param, char *name) {
  if (name == nullptr) return nullptr;
  if (param != nullptr) return CreateFile(param, name);
  TfHandle *h = LookupOrAttachUnderTableLock(name);
  if (h == nullptr) return nullptr;
  {
    ProcessLockGuard fileLock(h->lockId, LockLevel::kRecord);
    if (fileLock.ok() && h->blockFile == nullptr) {
      // Another process may hold the entry with a header newer than the
      // disk's (after a failed sync): the disk's copy is loaded only into an
      // entry nobody has loaded yet.
      TfFileHeader onDisk{};  // a short read leaves zeros, whose tag matches no name
      h->blockFile = bf_OpenFile(name, &onDisk);
      if (h->blockFile != nullptr && !HeaderLoaded(*h->entry)) h->entry->header = onDisk;
    }
  }
  if (h->blockFile == nullptr) {
    tf_ReleaseFile(h);
    return nullptr;
  }
  return h;
}

extern "C" int tf_CloseFile(TfHandle *h) {
  if (h == nullptr) return -1;
  tf_ReleaseFile(h);
  return 0;
}

extern "C" int tf_GetErrorNo(TfHandle *h) {
  if (h == nullptr) return -1;
  return std::atomic_ref<int32_t>(h->errNo).load(std::memory_order_relaxed);
}

extern "C" int tf_SyncFile(TfHandle *h) {
  if (h == nullptr || h->entry == nullptr) return -1;
  ProcessLockGuard fileLock(h->lockId, LockLevel::kRecord);
  if (!fileLock.ok()) return -1;
  return bf_Sync(&h->entry->header, h->blockFile);
}
