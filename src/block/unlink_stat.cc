// Removing a record file from its block, counting a block's record files and
// listing them from the headers on disk.
#include <strings.h>
#include <unistd.h>

#include <cstring>

#include "block/block_file.h"
#include "block/file_stat.h"
#include "disk/disk.h"
#include "disk/fast_path.h"
#include "os/os.h"
#include "shared/naming.h"
#include "shared/proc_lock.h"
#include "zrfs/df.h"
#include "zrfs/fsc.h"

namespace zrfs {
namespace {

constexpr uint32_t kHeaderPieces = kHeaderAreaSize / kScanPieceBytes;  // 4
constexpr uint32_t kSlotsPerPiece = kScanPieceBytes / kSectorSize;     // 1024

bool HoldsRecordHeader(const uint8_t *slot) {
  return HasRecordMagic(*reinterpret_cast<const TfFileHeader *>(slot));
}

// Reads one piece of the header area; a short read leaves the rest zero
// and clears *whole, since headers in the part not read were not seen.
bool ReadHeaderPiece(BfHandle *h, uint32_t piece, uint8_t *buffer, bool *whole) {
  memset(buffer, 0, kScanPieceBytes);
  uint64_t address = static_cast<uint64_t>(h->share->blkaddr) + uint64_t{piece} * kScanPieceBytes;
  ssize_t n = ReadFully(h->Fd, buffer, kScanPieceBytes, address);
  if (n < 0) {
    ReportBadBlock(static_cast<unsigned>(h->share->diskid), h->share->blkid);
    return false;
  }
  if (n != static_cast<ssize_t>(kScanPieceBytes)) *whole = false;
  return true;
}

// Attaches the block a caller names by disk path and number.
BfHandle *AttachNamedBlock(const char *diskPath, int blk) {
  int32_t diskAndBlock[2] = {DiskNumberOfPath(diskPath), blk};
  return AttachBlock(diskAndBlock);
}

}  // namespace

Status UnlinkRecordFile(const char *name) {
  if (name == nullptr) return Status::kBadArgument;
  ProcessLockGuard createLock(g_tBlkMutex, LockLevel::kBlockCreate);
  if (!createLock.ok()) return Status::kNoLock;
  RecordName parsed;
  if (!ParseRecordName(name, &parsed)) return Status::kBadArgument;
  int32_t diskAndBlock[2] = {parsed.disk, parsed.blk};
  BfHandle *h = AttachBlock(diskAndBlock);
  if (h == nullptr) return NotedOr(Status::kNotMounted);

  Status result = Status::kNotFound;
  {
    ProcessLockGuard blockLock(h->lockId, LockLevel::kBlock);
    TfFileHeader file{};  // a short read leaves zeros, whose tag matches no name
    if (blockLock.ok() && h->share != nullptr &&
        ReadBlockSector(h, uint64_t{parsed.fileNo} * kSectorSize, &file) &&
        strncasecmp(parsed.tag, file.tag, 4) == 0) {
      BfShareEntry &entry = *h->share;
      uint32_t ichan = file.ichan;
      bool heldNewest = file.modifyTime == entry.head.modifyTime;
      // The slot keeps only its file number, which is not handed out again
      // while the block stays allocated.
      memset(&file, 0, sizeof file);
      file.fileNo = parsed.fileNo;
      result = Status::kIoError;
      if (WriteFileHeader(&file, h) != 0) {
        ReportBadBlock(static_cast<unsigned>(entry.diskid), entry.blkid);
      } else {
        entry.head.fileNum -= 1;
        if (heldNewest && entry.head.fileNum != 0) {
          int64_t newest = NewestModifyTime(h, parsed.fileNo, 0);
          if (newest >= 0) entry.head.modifyTime = newest;
        }
        if (WriteBlkHeader(h) != 0) {
          ReportBadBlock(static_cast<unsigned>(entry.diskid), entry.blkid);
        } else {
          MarkForFlush(static_cast<unsigned>(entry.diskid));
          bool released = entry.head.fileNum != 0 ||
                          Ok(ReleaseBlock(static_cast<unsigned>(entry.diskid), entry.blkid,
                                          static_cast<int>(ichan), entry.head.blkType));
          result = released ? Status::kOk : Status::kIoError;
        }
      }
    }
  }
  DetachBlock(h);
  return Ok(result) ? result : NotedOr(result);
}

Status CountBlockFiles(const char *diskPath, int blk, int *count) {
  *count = 0;
  if (diskPath == nullptr) return Status::kBadArgument;
  ProcessLockGuard createLock(g_tBlkMutex, LockLevel::kBlockCreate);
  if (!createLock.ok()) return Status::kNoLock;
  BfHandle *h = AttachNamedBlock(diskPath, blk);
  if (h == nullptr) return NotedOr(Status::kNotMounted);
  Status result = Status::kNoLock;
  {
    ProcessLockGuard blockLock(h->lockId, LockLevel::kBlock);
    if (blockLock.ok() && h->share != nullptr) {
      *count = static_cast<int>(h->share->head.fileNum);
      result = Status::kOk;
    }
  }
  DetachBlock(h);
  return result;
}

Status StatBlockFiles(const char *diskPath, int blk, TfFileStat *st, int max, int *filledOut) {
  *filledOut = 0;
  if (diskPath == nullptr || st == nullptr) return Status::kBadArgument;
  uint8_t *scan = HeaderScanBuffer();
  if (scan == nullptr) return Status::kNoMemory;
  ProcessLockGuard createLock(g_tBlkMutex, LockLevel::kBlockCreate);
  if (!createLock.ok()) return Status::kNoLock;
  BfHandle *h = AttachNamedBlock(diskPath, blk);
  if (h == nullptr) return NotedOr(Status::kNotMounted);

  int filled = 0;
  bool failed = false;
  bool whole = true;  // every piece was read in full
  bool anyHeader = false;
  {
    ProcessLockGuard blockLock(h->lockId, LockLevel::kBlock);
    failed = !blockLock.ok() || h->share == nullptr;
    for (uint32_t piece = 0; !failed && piece < kHeaderPieces; ++piece) {
      if (!ReadHeaderPiece(h, piece, scan, &whole)) {
        failed = true;
        break;
      }
      for (uint32_t i = 0; i < kSlotsPerPiece; ++i) {
        const uint8_t *slot = scan + size_t{i} * kSectorSize;
        if (!HoldsRecordHeader(slot)) continue;
        anyHeader = true;
        if (filled >= max) continue;
        TfFileHeader file;
        memcpy(&file, slot, sizeof file);
        FillListedFileStat(static_cast<uint32_t>(h->share->diskid),
                           static_cast<uint32_t>(h->share->blkid), file, &st[filled++]);
      }
    }
    const BlkHeader &head = h->share != nullptr ? h->share->head : BlkHeader{};
    // A block marked in use with files but holding no file header is lost
    // space: give it back.  Only a scan that read the whole header area may
    // conclude that: after a short read, the files may sit in the part that
    // was not read, and giving the block back would lose them.
    // A release that fails leaves the block for the next scan or a check;
    // the listing itself stands.
    if (!failed && whole && !anyHeader && head.inUse != 0 && head.fileNum != 0)
      (void)ReleaseBlock(static_cast<unsigned>(DiskNumberOfPath(diskPath)), blk,
                         static_cast<int>(head.ichan), head.blkType);
  }
  DetachBlock(h);
  *filledOut = filled;
  return failed ? Status::kIoError : Status::kOk;
}

}  // namespace zrfs
