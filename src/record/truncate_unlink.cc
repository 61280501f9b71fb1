// Changing a record file as a whole: its size, its pre-record ring, its
// existence.
#include "block/block_file.h"
#include "block/file_stat.h"
#include "disk/disk.h"
#include "record/record_file.h"
#include "shared/proc_lock.h"
#include "zrfs/df.h"

namespace zrfs {

Status TruncateFile(TfHandle *h, int64_t size) {
  if (h == nullptr || h->entry == nullptr) return Status::kBadArgument;
  uint64_t unit = UnitSize();
  uint64_t wanted = static_cast<uint64_t>(size);  // a negative size counts as too large
  if (wanted >= unit) return Status::kNoSpace;
  ProcessLockGuard fileLock(h->lockId, LockLevel::kRecord);
  if (!fileLock.ok()) return Status::kNoLock;
  TfFileHeader &header = h->entry->header;
  uint64_t end;
  if (RingNotFixed(header)) {
    // Positions of an unfixed ring count from preStart, as its size does.
    end = header.preStart + wanted;
  } else {
    uint64_t ring = RingLength(header);
    if (ring > wanted) return Status::kBadArgument;  // never into the ring part
    end = header.StartAddr + (wanted - ring);
  }
  // A longer file must not reach into the next one.
  if (end >= unit || ClaimFileRoom(h->blockFile, header.fileNo, end) != 0) return Status::kNoSpace;
  header.EndAddr = end;
  return SyncHeaders(h->blockFile, header);
}

Status FixRing(TfHandle *h, int64_t start, int64_t end) {
  if (h == nullptr || h->entry == nullptr) return Status::kBadArgument;
  uint64_t unit = UnitSize();
  uint64_t from = static_cast<uint64_t>(start);
  uint64_t to = static_cast<uint64_t>(end);
  if (from >= unit || to >= unit) return Status::kBadArgument;
  ProcessLockGuard fileLock(h->lockId, LockLevel::kRecord);
  if (!fileLock.ok()) return Status::kNoLock;
  TfFileHeader &header = h->entry->header;
  // A file without a ring would get its main window at block offset 0 (its
  // block's headers), and offsets past the ring would point outside it:
  // refuse both before changing anything.
  if (header.preStart == 0 || header.preEnd <= header.preStart) return Status::kBadArgument;
  uint64_t ringSize = header.preEnd - header.preStart;
  if (from >= ringSize || to >= ringSize) return Status::kBadArgument;
  if (ClaimFileRoom(h->blockFile, header.fileNo, header.preEnd) != 0) return Status::kNoSpace;
  header.preRecEndPtr = header.preStart + to;
  header.preRecStartPtr = header.preStart + from;
  header.StartAddr = header.preEnd;
  header.EndAddr = header.preEnd;
  return SyncHeaders(h->blockFile, header);
}

Status UnlinkFile(const char *name) {
  if (name == nullptr) return Status::kBadArgument;
  // The table lock is held from the check that nobody has the file open to
  // the end of the deletion, so no process can open it in between.
  ProcessLockGuard tableLock(g_zrFileMutex, LockLevel::kRecord);
  if (!tableLock.ok()) return Status::kNoLock;
  TfHandle *h = LookupOrAttach(name);
  if (h == nullptr) return NotedOr(Status::kNotFound);
  if (h->entry == nullptr) {
    ReleaseFileLocked(h);
    return Status::kNotFound;
  }
  bool openElsewhere = h->InRef >= 2 || h->entry->ShrRef >= 2;
  ReleaseFileLocked(h);
  if (openElsewhere) return Status::kBusy;
  return UnlinkRecordFile(name);
}

}  // namespace zrfs
