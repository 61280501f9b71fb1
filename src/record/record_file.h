// Internal side of the record-file layer: the shared entry of an open record
// file, the per-process handle and table, and what the layer's files share.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "format/block_format.h"
#include "format/record_map.h"
#include "shared/pool_layout.h"
#include "shared/status.h"
#include "zrfs/bf.h"
#include "zrfs/tf.h"

namespace zrfs {

// One per open record file, in the shared pool.  `header` is guarded by the
// file's own lock (TfHandle::lockId); ShrRef and filename by g_zrFileMutex.
struct TfFileEntry {
  TfFileHeader header;  // copy of the on-disk header; changed here, then synced
  char filename[64];    // name under which the file was last attached
  int32_t ShrRef;       // references of all processes together
  uint32_t poolSlot;    // 0..1023: selects the entry's segment key and lock key
};
static_assert(sizeof(TfFileEntry) == kRecordEntrySize);
static_assert(offsetof(TfFileEntry, header) == 0);
static_assert(offsetof(TfFileEntry, filename) == 512);
static_assert(offsetof(TfFileEntry, ShrRef) == 576);
static_assert(offsetof(TfFileEntry, ShrRef) == kRecordKind.shrRefOffset);
static_assert(offsetof(TfFileEntry, poolSlot) == 580);
static_assert(offsetof(TfFileEntry, poolSlot) == kRecordKind.poolSlotOffset);

}  // namespace zrfs

// One per open record file per process; private to the process.
struct TfHandle {
  int32_t errNo;             // block-file error of the last read or write (lockId)
  uint32_t fileId;           // slot in the record-file table
  int32_t InRef;             // references in this process (g_zrFileMutex)
  zrfs::TfFileEntry *entry;  // the shared entry
  BfHandle *blockFile;       // the block holding the file; null until opened (lockId)
  int32_t lockId;            // the file's process lock
  int32_t writing;           // 1 once counted among the block's live writers (lockId)
};
#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(sizeof(TfHandle) == 28, "the recorder's handle layout, and the writer mark");
#endif

namespace zrfs {

inline constexpr int kRecordFileSlots = 1024;

// errNo is set under the file's lock by the read or write that ends and read
// without it, like the block layer's.
inline void SetErrNo(TfHandle *h, int value) {
  std::atomic_ref<int32_t>(h->errNo).store(value, std::memory_order_relaxed);
}
// tf_GetErrorNo: the block-file error of the handle's last transfer.
inline int RecordErrNo(TfHandle *h) {
  return std::atomic_ref<int32_t>(h->errNo).load(std::memory_order_relaxed);
}

// The process's record-file table, guarded by g_zrFileMutex.
extern TfHandle *g_tfFileTable[kRecordFileSlots];

// Longest name (with any directory part) the calls that take a name accept.
inline constexpr size_t kMaxNameChars = ZRFS_PATH_MAX - 1;

// With g_zrFileMutex held: this process's open handle of the file that name
// identifies (its disk, block, file number and tag; with one more reference
// taken), or a new handle attached to the shared entry of name's key.  Null
// for a name that is no record-file name or too long, one whose tag differs
// from the open file's, a disk that is not ready, a full table or pool, or
// no lock.
TfHandle *LookupOrAttach(const char *name);

// Counts this process among the live writers of the file's block, once per
// handle, until the handle goes; while a block has live writers its channel
// puts new files elsewhere.  The first takes the file's lock; callers of the
// second hold it.
void MarkWriting(TfHandle *h);
void MarkWritingLocked(TfHandle *h);

// tf_OpenFile of an existing file by name; with st, also fills the status
// record under the same hold of the file's lock as the opening.
TfHandle *OpenFileByName(const char *name, TfFileStat *st);
// The status record of an entry; callers hold the file's lock.
void FillStatLocked(const TfFileEntry &entry, TfFileStat *st);

// Drops one reference; with g_zrFileMutex already held by the caller.
void ReleaseFileLocked(TfHandle *h);
// Drops one reference, taking g_zrFileMutex.
void ReleaseFile(TfHandle *h);

// Fetches the status record, lets change() alter it and stores it back, all
// under the file's lock, so two processes changing different fields of one
// file cannot undo each other.  Returns tf_SetFileStat's result.
using StatChange = void (*)(TfFileStat &st, const void *arg);
Status ChangeFileStat(TfHandle *h, StatChange change, const void *arg);

// The layer's core, behind its C functions (c_api.cc).
//
// tf_Init: clears the table, finds the table lock, attaches the shared
// pool and starts the block layer.
Status StartRecordLayer();
// tf_Uninit: lets go of every handle of this process.
void ReleaseAllFiles();
// tf_OpenFile: creates a file (param set) or opens one by name.
TfHandle *OpenOrCreateFile(const FileCreateParam *param, char *name);
// tf_SyncFile: writes the file's header (and the block header) back.
Status SyncFile(TfHandle *h);
// tf_Read: up to len logical bytes from pos; *done tells how many.
Status ReadFile(TfHandle *h, uint32_t pos, void *buf, uint32_t len, uint32_t *done);
// tf_Write: all len logical bytes at pos.
Status WriteFile(TfHandle *h, uint32_t pos, const void *buf, uint32_t len);
// tf_GetFileStat, tf_SetFileStat.
Status GetFileStatus(TfHandle *h, TfFileStat *st);
Status SetFileStatus(TfHandle *h, const TfFileStat &st);
// tf_ftruncate: the file's logical size, never into its ring or the next file.
Status TruncateFile(TfHandle *h, int64_t size);
// tf_UpdataePreRecPtr: fixes the ring's valid part; the main part starts
// behind the ring.
Status FixRing(TfHandle *h, int64_t start, int64_t end);
// tf_Unlink: removes a file nobody has open.
Status UnlinkFile(const char *name);
// tf_GetDebugInfo: the record-file table as text, then the lower sections.
int DumpRecordFiles(char *buf, int size);

}  // namespace zrfs
