// Changing a record file as a whole: its size, its pre-record ring, its
// existence.
#include "block/block_file.h"
#include "block/file_stat.h"
#include "record/record_file.h"
#include "shared/proc_lock.h"
#include "zrfs/df.h"

namespace zrfs {
namespace {

uint64_t RingLength(const TfFileHeader &h) {
  if (h.preRecStartPtr == 0 || h.preRecEndPtr == 0) return 0;
  if (h.preRecEndPtr > h.preRecStartPtr) return h.preRecEndPtr - h.preRecStartPtr;
  return (h.preEnd - h.preRecStartPtr) + (h.preRecEndPtr - h.preStart);
}

}  // namespace
}  // namespace zrfs

using namespace zrfs;

extern "C" int tf_ftruncate(TfHandle *h, int64_t size) {
  if (h == nullptr || h->entry == nullptr) return -1;
  uint64_t unit = df_GetDiskUnitSize();
  uint64_t wanted = static_cast<uint64_t>(size);  // a negative size counts as too large
  if (wanted >= unit) return -1;
  ProcessLockGuard fileLock(h->lockId, LockLevel::kRecord);
  if (!fileLock.ok()) return -1;
  TfFileHeader &header = h->entry->header;
  uint64_t end;
  if (RingNotFixed(header)) {
    // Positions of an unfixed ring count from preStart, as its size does.
    end = header.preStart + wanted;
  } else {
    uint64_t ring = RingLength(header);
    if (ring > wanted) return -1;  // never into the ring part
    end = header.StartAddr + (wanted - ring);
  }
  // A longer file must not reach into the next one.
  if (end >= unit || ClaimFileRoom(h->blockFile, header.fileNo, end) != 0) return -1;
  header.EndAddr = end;
  return ToAbi(SyncHeaders(h->blockFile, header));
}

extern "C" int tf_UpdataePreRecPtr(TfHandle *h, int64_t start, int64_t end) {
  if (h == nullptr || h->entry == nullptr) return -1;
  uint64_t unit = df_GetDiskUnitSize();
  uint64_t from = static_cast<uint64_t>(start);
  uint64_t to = static_cast<uint64_t>(end);
  if (from >= unit || to >= unit) return -1;
  ProcessLockGuard fileLock(h->lockId, LockLevel::kRecord);
  if (!fileLock.ok()) return -1;
  TfFileHeader &header = h->entry->header;
  // A file without a ring would get its main window at block offset 0 (its
  // block's headers), and offsets past the ring would point outside it:
  // refuse both before changing anything.
  if (header.preStart == 0 || header.preEnd <= header.preStart) return -1;
  uint64_t ringSize = header.preEnd - header.preStart;
  if (from >= ringSize || to >= ringSize) return -1;
  if (ClaimFileRoom(h->blockFile, header.fileNo, header.preEnd) != 0) return -1;
  header.preRecEndPtr = header.preStart + to;
  header.preRecStartPtr = header.preStart + from;
  header.StartAddr = header.preEnd;
  header.EndAddr = header.preEnd;
  return ToAbi(SyncHeaders(h->blockFile, header));
}

extern "C" int tf_Unlink(const char *name) {
  if (name == nullptr) return -1;
  // The table lock is held from the check that nobody has the file open to
  // the end of the deletion, so no process can open it in between.
  ProcessLockGuard tableLock(g_zrFileMutex, LockLevel::kRecord);
  if (!tableLock.ok()) return -1;
  TfHandle *h = LookupOrAttach(name);
  if (h == nullptr) return -1;
  if (h->entry == nullptr) {
    ReleaseFileLocked(h);
    return -1;
  }
  bool openElsewhere = h->InRef >= 2 || h->entry->ShrRef >= 2;
  ReleaseFileLocked(h);
  if (openElsewhere) return -1;
  return ToAbi(UnlinkRecordFile(name));
}
