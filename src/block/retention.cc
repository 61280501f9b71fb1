// Giving a recorded block back when a create finds no room: the oldest
// block that nothing protects, among all the disk's blocks (the disk
// overwrites its oldest) or the channel's own (the channel holds its
// quota).  Runs under the block creation lock, which every create and
// unlink holds, so no file of the disk is made or removed meanwhile.
#include <cstdint>
#include <cstring>

#include "block/block_file.h"
#include "disk/disk.h"
#include "disk/fast_path.h"
#include "disk/policy.h"
#include "format/record_header.h"
#include "os/os.h"
#include "shared/proc_lock.h"
#include "zrfs.h"

namespace zrfs {
namespace {

// A recording that must stay: locked, or with a ring not fixed yet (its
// recorder has not decided what it keeps).
bool Protected(const TfFileHeader &file) {
  return file.lockFlag != 0 || RingNotFixed(file);
}

// kKeptLocked: kept for a locked recording, which the caller's reason
// names, as unlocking is what gives the disk room again.
enum class Outcome { kGivenBack, kKept, kKeptLocked, kLater, kFailed };

// The time of a recording's newest bytes: its modification time, or its
// creation time while it has none.
int64_t NewestTime(const TfFileHeader &file) {
  return file.modifyTime > file.createTime ? file.modifyTime : file.createTime;
}

// Removes every recording of the block as unlinks would: each header slot
// cleared to its file number, the block header's count to 0, then the
// block released in the map, the counts and both metadata copies.  A kill
// in between leaves a used block without files, which the orphan search
// gives back.  Under the block's lock.
Outcome RemoveEveryFileLocked(BfHandle *h, uint32_t last, uint8_t *scan) {
  BfShareEntry &entry = *h->share;
  auto disk = static_cast<unsigned>(entry.diskid);
  bool cleared =
      EachFileSlot(h, scan, kScanPieceBytes, last, [&](uint8_t *piece, uint32_t first, uint32_t n) {
        for (uint32_t i = 0; i < n; ++i) {
          auto *file = reinterpret_cast<TfFileHeader *>(piece + size_t{i} * kSectorSize);
          if (!HasRecordMagic(*file)) continue;
          memset(file, 0, sizeof *file);
          file->fileNo = first + i;  // a removed file keeps only its number
        }
        size_t bytes = size_t{n} * kSectorSize;
        uint64_t at = static_cast<uint64_t>(entry.blkaddr) + uint64_t{first} * kSectorSize;
        return WriteFully(h->Fd, piece, bytes, at) == static_cast<ssize_t>(bytes);
      });
  if (!cleared) {
    ReportBadBlock(disk, entry.blkid);
    return Outcome::kFailed;
  }
  entry.head.fileNum = 0;
  if (WriteBlkHeader(h) != 0) return Outcome::kFailed;
  MarkForFlush(disk);
  bool released =
      Ok(ReleaseBlock(disk, entry.blkid, static_cast<int>(entry.head.ichan), entry.head.blkType));
  return released ? Outcome::kGivenBack : Outcome::kFailed;
}

// Looks at blk, whose recordings are no older than its block header says,
// and gives it back when nothing protects it and its newest recording is
// no newer than `bound` (the oldest any other block may be).  Protected: a
// process writes to it or has any of its files open (this attachment is
// the only one the system counts), or one of its recordings is locked or
// has a ring not fixed yet.  kLater with *newest set: it is newer than the
// bound, and the caller looks at the others first.
Outcome Consider(int disk, int32_t blk, int64_t bound, uint8_t *scan, int64_t *newest) {
  int32_t diskAndBlock[2] = {disk, blk};
  BfHandle *h = AttachBlock(diskAndBlock);
  if (h == nullptr) return Outcome::kKept;
  Outcome outcome = Outcome::kKept;
  {
    ProcessLockGuard blockLock(h->lockId, LockLevel::kBlock);
    bool alone = LiveCount(h->lockId, kWritersCount) == 0 &&
                 LiveCount(h->lockId, kAttachmentsCount) == 1 && h->InRef == 1;
    if (blockLock.ok() && h->share != nullptr && !Retired(h) && alone) {
      const BlkHeader &head = h->share->head;
      uint32_t last = head.lastFileNo;
      bool anyProtected = false, anyLocked = false;
      *newest = 0;
      bool read = EachFileSlot(
          h, scan, kScanPieceBytes, last, [&](const uint8_t *piece, uint32_t first, uint32_t n) {
            for (uint32_t i = 0; i < n; ++i) {
              const auto *file =
                  reinterpret_cast<const TfFileHeader *>(piece + size_t{i} * kSectorSize);
              if (!HoldsFile(*file, first + i)) continue;
              anyProtected |= Protected(*file);
              anyLocked |= file->lockFlag != 0;
              if (NewestTime(*file) > *newest) *newest = NewestTime(*file);
            }
            return !anyProtected;
          });
      if (read && !anyProtected)
        outcome = *newest > bound ? Outcome::kLater : RemoveEveryFileLocked(h, last, scan);
      else if (anyLocked)
        outcome = Outcome::kKeptLocked;
    }
  }
  DetachBlock(h);
  return outcome;
}

}  // namespace

Status GiveBackOldestBlock(const RoomRefusal &refused) {
  AssertHeld(LockLevel::kBlockCreate);
  if (refused.wanted == RoomWanted::kNo) return Status::kNoSpace;
  uint8_t *scan = HeaderScanBuffer();
  auto *ages = static_cast<int64_t *>(zrfs_Malloc(uint32_t(kMaxBlocks) * sizeof(int64_t)));
  if (scan == nullptr || ages == nullptr) {
    zrfs_Free(ages);
    return Fail(Status::kNoMemory);
  }
  int channel = refused.wanted == RoomWanted::kFromOwnChannel ? int(refused.chan) : -1;
  uint32_t blocks = 0;
  bool keptForLocks = false;
  Status result = ReadBlockAges(static_cast<unsigned>(refused.disk), channel, ages,
                                uint32_t(kMaxBlocks), &blocks);
  // Oldest first.  The block headers' times are lower bounds of their
  // blocks' newest recordings; a block looked at gets its exact time, and
  // goes once that is no newer than every other block's bound.
  while (Ok(result)) {
    int32_t oldest = -1;
    int64_t runnerUp = INT64_MAX;
    for (uint32_t blk = 0; blk < blocks; ++blk) {
      if (ages[blk] < 0) continue;
      if (oldest < 0 || ages[blk] < ages[oldest]) {
        if (oldest >= 0) runnerUp = ages[oldest];
        oldest = int32_t(blk);
      } else if (ages[blk] < runnerUp) {
        runnerUp = ages[blk];
      }
    }
    if (oldest < 0) {  // every block is protected or in use
      result = Fail(keptForLocks ? Status::kLocked : Status::kNoSpace);
      break;
    }
    int64_t newest = -1;
    Outcome outcome = Consider(refused.disk, oldest, runnerUp, scan, &newest);
    if (outcome == Outcome::kGivenBack) break;
    if (outcome == Outcome::kFailed) result = Fail(Status::kIoError);
    keptForLocks |= outcome == Outcome::kKeptLocked;
    ages[oldest] = outcome == Outcome::kLater ? newest : -1;
  }
  zrfs_Free(ages);
  return result;
}

}  // namespace zrfs
