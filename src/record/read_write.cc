// Reading and writing a record file at logical positions.  A file is up to
// three pieces of its block: the older part of a wrapped ring, the newer part
// of the ring, and the main data window.
#include <ctime>

#include "block/block_file.h"
#include "block/file_stat.h"
#include "os/os.h"
#include "record/record_file.h"
#include "shared/proc_lock.h"
#include "zrfs/df.h"

namespace zrfs {
namespace {

// Why a piece could not be moved: the block's error number (28 for room, 5
// otherwise), unless the layers noted more.
Status TransferFailure(TfHandle *h, Status otherwise) {
  int errNo = RecordErrNo(h);
  if (errNo == kNoSpaceError) return NotedOr(Status::kNoSpace);
  if (errNo == kEioError) return NotedOr(Status::kIoError);
  return NotedOr(otherwise);
}

}  // namespace

Status ReadFile(TfHandle *h, uint32_t pos, void *buf, uint32_t len, uint32_t *done) {
  *done = 0;
  if (h == nullptr || buf == nullptr || h->entry == nullptr) return Status::kBadArgument;
  ProcessLockGuard fileLock(h->lockId, LockLevel::kRecord);
  if (!fileLock.ok()) return Status::kNoLock;
  const TfFileHeader &header = h->entry->header;
  uint32_t offsets[kMaxPieces], lengths[kMaxPieces];
  int pieces = MapRange(pos, len, &header, offsets, lengths, true);
  if (pieces < 1) return Status::kEndOfFile;  // nothing of the file lies there
  // No header field bounds a ring not fixed yet: its reads stop where the
  // file's room ends, never in the next file or the next block.
  bool toGrowthLimit = RingNotFixed(header);
  auto *bytes = static_cast<uint8_t *>(buf);
  uint32_t planned = 0;
  for (int i = 0; i < pieces; ++i) {
    int n = ReadFileData(h->blockFile, header.fileNo, toGrowthLimit, offsets[i], bytes + planned,
                         lengths[i]);
    SetErrNo(h, LoadErrNo(h->blockFile));
    if (n < 0) return TransferFailure(h, Status::kEndOfFile);
    *done += static_cast<uint32_t>(n);
    planned += lengths[i];  // a short piece still leaves later ones in place
  }
  return Status::kOk;
}

Status WriteFile(TfHandle *h, uint32_t pos, const void *buf, uint32_t len) {
  if (h == nullptr || buf == nullptr || h->entry == nullptr) return Status::kBadArgument;
  ProcessLockGuard fileLock(h->lockId, LockLevel::kRecord);
  if (!fileLock.ok()) return Status::kNoLock;
  TfFileHeader &header = h->entry->header;
  uint32_t offsets[kMaxPieces], lengths[kMaxPieces];
  int pieces = MapRange(pos, len, &header, offsets, lengths, false);
  if (pieces < 1) return Status::kNoSpace;
  MarkWritingLocked(h);
  // The last piece may move the file's end: it then stamps the time and
  // writes the headers at once, in the same hold of the block's lock.
  EndUpdate endUpdate{&header, os().WallSeconds()};
  const auto *bytes = static_cast<const uint8_t *>(buf);
  uint32_t planned = 0;
  for (int i = 0; i < pieces; ++i) {
    bool last = i == pieces - 1;
    int n = WriteFileData(h->blockFile, header.fileNo, offsets[i], bytes + planned, lengths[i],
                          last ? &endUpdate : nullptr);
    SetErrNo(h, LoadErrNo(h->blockFile));
    if (n < 0) return TransferFailure(h, Status::kNoSpace);
    planned += lengths[i];
  }
  return Status::kOk;
}

}  // namespace zrfs
