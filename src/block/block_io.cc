// Moving record data between callers' buffers and a block, and bringing the
// headers up to date.  Data goes straight between the caller's buffer and
// the device in one positional call, repeated only after a short transfer.
#include <strings.h>

#include "block/block_file.h"
#include "disk/disk.h"
#include "disk/fast_path.h"
#include "format/record_header.h"
#include "os/os.h"
#include "shared/pool.h"
#include "shared/proc_lock.h"
#include "zrfs/df.h"

namespace zrfs {
namespace {

// The handle may carry data: its disk is mounted and its entry not retired.
// Asked without the disk's lock (fast_path.h).
bool Usable(BfHandle *h) {
  return DiskReadyNow(static_cast<unsigned>(h->share->diskid)) && !Retired(h);
}

// The first checks of every transfer: a handle with an entry and a buffer
// (else no error number), and a usable handle (else error 5).
bool MayTransfer(BfHandle *h, const void *buf) {
  if (h == nullptr || buf == nullptr || h->share == nullptr) return false;
  if (Usable(h)) return true;
  SetErrNo(h, kEioError);
  return false;
}

void TagHandleBad(BfHandle *h) {
  if (h->share != nullptr) ReportBadBlock(static_cast<unsigned>(h->share->diskid), h->share->blkid);
}

// Ring pointers a header may carry: none at all, or a whole fixed ring.
bool PreRecordFieldsSound(const TfFileHeader &file, uint64_t unit) {
  bool none =
      file.preStart == 0 && file.preEnd == 0 && file.preRecStartPtr == 0 && file.preRecEndPtr == 0;
  bool fixed = file.preStart != 0 && file.preEnd != 0 && file.preRecStartPtr != 0 &&
               file.preRecEndPtr != 0 && file.preRecStartPtr < unit && file.preRecEndPtr < unit;
  return none || fixed;
}

uint64_t RoundUpToAppendAlign(uint64_t offset) {
  return (offset + kAppendAlign - 1) / kAppendAlign * kAppendAlign;
}

// The first byte a file's data may occupy: its ring, or its main window.
uint64_t FileDataStart(const TfFileHeader &file) {
  return file.preStart != 0 ? file.preStart : file.StartAddr;
}

// How far file fileNo may reach.  The block's newest file may grow to the
// block's end: every other file lies before it.  An older file stops where
// the next file that still exists begins; with none left it stops where the
// next new file will begin.  Files are placed in the order of their
// numbers, each behind everything its predecessors reserved, so the next
// existing number holds the nearest start.  False when the header area
// cannot be read (the block is then reported bad).  Callers hold the lock.
bool GrowthLimit(BfHandle *h, uint32_t fileNo, uint64_t unit, uint64_t *limit) {
  AssertHeld(LockLevel::kBlock);
  const BfShareEntry &entry = *h->share;
  uint32_t newest = entry.head.lastFileNo;
  if (fileNo >= newest) {
    *limit = unit;
    return true;
  }
  uint32_t last = newest < kMaxFileNo ? newest : kMaxFileNo;
  for (uint32_t n = fileNo + 1; n <= last; ++n) {
    TfFileHeader next{};
    if (!ReadBlockSector(h, uint64_t{n} * kSectorSize, &next)) return false;
    if (!HoldsFile(next, n)) continue;  // removed
    *limit = FileDataStart(next);
    return true;
  }
  *limit = NextFileStart(h, nullptr);
  return true;
}

// Reads len bytes at offset.  Callers hold the lock.  Returns the bytes
// read; a failure midway reports the block and sets error 5.
uint32_t ReadLocked(BfHandle *h, uint32_t offset, void *buf, uint32_t len) {
  AssertHeld(LockLevel::kBlock);
  ssize_t n = ReadFully(h->Fd, buf, len, static_cast<uint64_t>(h->share->blkaddr) + offset);
  uint32_t done = n > 0 ? static_cast<uint32_t>(n) : 0;
  if (done > 0) SetErrNo(h, 0);
  if (done < len) {
    TagHandleBad(h);
    SetErrNo(h, kEioError);
  }
  return done;
}

// Writes len bytes at offset, once the disk has answered present (one
// question per transfer, whatever the headers written with it).  Callers
// hold the lock and have checked that the range lies in the block.
// Returns the bytes left unwritten.
uint32_t WriteLocked(BfHandle *h, uint32_t offset, const void *buf, uint32_t len, uint64_t unit) {
  AssertHeld(LockLevel::kBlock);
  uint32_t left = len;
  if (!DiskPresent(h->Fd)) {
    SetErrNo(h, kEioError);  // absent: nothing is written, the block is not to blame
  } else {
    uint64_t address = static_cast<uint64_t>(h->share->blkaddr) + offset;
    ssize_t n = WriteFully(h->Fd, buf, len, address);
    if (n > 0) {
      left -= static_cast<uint32_t>(n);
      SetErrNo(h, 0);
      NoteWrittenData(static_cast<unsigned>(h->share->diskid), address, static_cast<uint64_t>(n));
    }
    if (left > 0) {
      TagHandleBad(h);
      SetErrNo(h, kEioError);
    }
  }
  // A write that started in the block's last 2 MiB warns that it is full.
  if (unit <= uint64_t{offset} + kHeaderAreaSize + left) SetErrNo(h, kNoSpaceError);
  return left;
}

// File fileNo's header on disk holds the block's newest modification time.
bool HeldNewestTime(BfHandle *h, uint32_t fileNo, int64_t newest) {
  TfFileHeader old;
  uint64_t address = static_cast<uint64_t>(h->share->blkaddr) + uint64_t{fileNo} * kSectorSize;
  return ReadFully(h->Fd, &old, sizeof old, address) == static_cast<ssize_t>(sizeof old) &&
         HoldsFile(old, fileNo) && old.modifyTime == newest;
}

// Writes a record file's header to its sector and brings the block header
// up to date.  Callers hold the lock and have found the disk ready and
// present.
int SyncLocked(BfHandle *h, const TfFileHeader &file, uint64_t unit) {
  AssertHeld(LockLevel::kBlock);
  BlkHeader &block = h->share->head;
  bool sound = PreRecordFieldsSound(file, unit);
  bool blockChanged = false;
  if (sound && file.EndAddr < unit && file.EndAddr > static_cast<uint64_t>(block.appendPos)) {
    block.appendPos = static_cast<int64_t>(RoundUpToAppendAlign(file.EndAddr));
    blockChanged = true;
  }
  if (sound && static_cast<uint64_t>(file.modifyTime) > static_cast<uint64_t>(block.modifyTime)) {
    block.modifyTime = file.modifyTime;
    blockChanged = true;
  } else if (sound && file.modifyTime < block.modifyTime &&
             HeldNewestTime(h, file.fileNo, block.modifyTime)) {
    // This file's time was set back, and it was the block's newest: the
    // block's newest is its files' newest again (what retention orders by).
    int64_t newest = NewestModifyTime(h, file.fileNo, file.modifyTime);
    if (newest >= 0 && newest < block.modifyTime) {
      block.modifyTime = newest;
      blockChanged = true;
    }
  }
  // The raised append position reaches the disk before the file's new end:
  // a crash between the two then wastes space instead of letting the next
  // file of the block start inside this one's data.
  if (blockChanged && WriteBlkHeaderOnPresentDisk(h) != 0) return -1;
  if (WriteFileHeaderOnPresentDisk(&file, h) != 0) return -1;
  MarkForFlush(static_cast<unsigned>(h->share->diskid));
  return 0;
}

}  // namespace

int64_t NewestModifyTime(BfHandle *h, uint32_t fileNo, int64_t own) {
  AssertHeld(LockLevel::kBlock);
  // A few sectors at a time on the stack: this runs only when a newest time
  // goes, and a thread stack on the recorder is small.
  uint8_t sectors[16 * kSectorSize];
  int64_t newest = 0;
  bool read = EachFileSlot(h, sectors, sizeof sectors, h->share->head.lastFileNo,
                           [&](const uint8_t *piece, uint32_t first, uint32_t count) {
                             for (uint32_t i = 0; i < count; ++i) {
                               const auto *file = reinterpret_cast<const TfFileHeader *>(
                                   piece + size_t{i} * kSectorSize);
                               int64_t time = first + i == fileNo           ? own
                                              : HoldsFile(*file, first + i) ? file->modifyTime
                                                                            : 0;
                               if (time > newest) newest = time;
                             }
                             return true;
                           });
  return read ? newest : -1;
}

void ReserveRoom(BfShareEntry &entry, uint64_t end) {
  AssertHeld(LockLevel::kBlock);
  constexpr uint64_t kLargest = 0xFFFFFFFFu / kAppendAlign * kAppendAlign;
  uint64_t rounded = RoundUpToAppendAlign(end);
  if (rounded > kLargest) rounded = kLargest;
  if (rounded > entry.reservedEnd) entry.reservedEnd = static_cast<uint32_t>(rounded);
}

bool Retired(const BfHandle *h) {
  return h->share == nullptr || SlotRetired(h->share->poolSlot);
}

uint64_t NextFileStart(BfHandle *h, uint8_t *scan) {
  AssertHeld(LockLevel::kBlock);
  if (h->share->filesCovered == 0) (void)CoverFiles(h, scan);  // else as the header says
  const BfShareEntry &entry = *h->share;
  uint64_t append = static_cast<uint64_t>(entry.head.appendPos);
  uint64_t start = append > entry.reservedEnd ? append : entry.reservedEnd;
  if (start < kHeaderAreaSize) start = kHeaderAreaSize;
  return RoundUpToAppendAlign(start);
}

int WriteFileData(BfHandle *h, uint32_t fileNo, uint32_t offset, const void *buf, uint32_t len,
                  const EndUpdate *endUpdate) {
  int refused = len == 0 ? 0 : -1;
  if (!MayTransfer(h, buf)) return refused;
  uint64_t unit = UnitSize();
  ProcessLockGuard blockLock(h->lockId, LockLevel::kBlock);
  if (!blockLock.ok()) return refused;
  uint64_t limit = 0;
  if (!GrowthLimit(h, fileNo, unit, &limit) || offset < kHeaderAreaSize) {
    SetErrNo(h, kEioError);  // unreadable headers, or a header pointing into them
    return refused;
  }
  uint64_t end = uint64_t{offset} + len;
  if (end > limit) {  // past the next file or the block: nothing is written
    SetErrNo(h, kNoSpaceError);
    return refused;
  }
  // Reserved before the data goes out: a file created meanwhile (after this
  // lock is let go) starts behind these bytes even before any header says so.
  ReserveRoom(*h->share, end);
  if (WriteLocked(h, offset, buf, len, unit) != 0) return -1;
  // A write that moves the file's end writes both headers under this same
  // hold of the lock.  Their outcome is not the write's: the data is there.
  if (endUpdate != nullptr && end < unit && end > endUpdate->header->EndAddr) {
    endUpdate->header->EndAddr = end;
    endUpdate->header->modifyTime = endUpdate->now;
    (void)SyncLocked(h, *endUpdate->header, unit);
  }
  return static_cast<int>(len);
}

int ReadFileData(BfHandle *h, uint32_t fileNo, bool toGrowthLimit, uint32_t offset, void *buf,
                 uint32_t len) {
  if (!MayTransfer(h, buf)) return -1;
  uint64_t unit = UnitSize();
  ProcessLockGuard blockLock(h->lockId, LockLevel::kBlock);
  if (!blockLock.ok()) return -1;
  uint64_t bound = unit;
  if (toGrowthLimit && !GrowthLimit(h, fileNo, unit, &bound)) {
    SetErrNo(h, kEioError);
    return -1;
  }
  if (offset < kHeaderAreaSize || offset >= bound) return -1;  // nothing of the file there
  if (uint64_t{offset} + len > bound) len = static_cast<uint32_t>(bound - offset);
  uint32_t done = ReadLocked(h, offset, buf, len);
  return done == 0 ? -1 : static_cast<int>(done);
}

int ClaimFileRoom(BfHandle *h, uint32_t fileNo, uint64_t end) {
  if (h == nullptr || h->share == nullptr || !Usable(h)) return -1;
  uint64_t unit = UnitSize();
  ProcessLockGuard blockLock(h->lockId, LockLevel::kBlock);
  uint64_t limit = 0;
  if (!blockLock.ok() || !GrowthLimit(h, fileNo, unit, &limit) || end > limit) return -1;
  ReserveRoom(*h->share, end);
  return 0;
}

void AddWriter(BfHandle *h) {
  AddToLiveCount(h->lockId, 1, kWritersCount);
}

void DropWriter(BfHandle *h) {
  AddToLiveCount(h->lockId, -1, kWritersCount);
}

int LiveWriters(BfHandle *h) {
  int count = LiveCount(h->lockId, kWritersCount);
  return count > 0 ? count : 0;
}

Status ReadBlock(BfHandle *h, uint32_t offset, void *buf, uint32_t len, uint32_t *done) {
  *done = 0;
  if (!MayTransfer(h, buf))
    return Status::kIoError;  // unmounted, formatted again or absent: error 5
  if (offset >= UnitSize()) return Status::kNoSpace;
  ProcessLockGuard blockLock(h->lockId, LockLevel::kBlock);
  if (!blockLock.ok()) return Status::kNoLock;
  *done = ReadLocked(h, offset, buf, len);
  return *done == 0 ? Status::kIoError : Status::kOk;
}

Status WriteBlock(BfHandle *h, uint32_t offset, const void *buf, uint32_t len) {
  if (!MayTransfer(h, buf))
    return Status::kIoError;  // unmounted, formatted again or absent: error 5
  uint64_t unit = UnitSize();
  if (offset >= unit) return Status::kNoSpace;
  if (uint64_t{offset} + len > unit) {  // past the end of the block: nothing is written
    SetErrNo(h, kNoSpaceError);
    return Status::kNoSpace;
  }
  ProcessLockGuard blockLock(h->lockId, LockLevel::kBlock);
  if (!blockLock.ok()) return Status::kNoLock;
  return WriteLocked(h, offset, buf, len, unit) == 0 ? Status::kOk : Status::kIoError;
}

Status SyncHeaders(BfHandle *h, const TfFileHeader &header) {
  if (h == nullptr || h->share == nullptr) return Status::kBadArgument;
  ProcessLockGuard blockLock(h->lockId, LockLevel::kBlock);
  if (!blockLock.ok()) return Status::kNoLock;
  if (!Usable(h) || !DiskPresent(h->Fd))
    return Status::kIoError;  // unmounted, formatted again or absent: error 5
  return SyncLocked(h, header, UnitSize()) == 0 ? Status::kOk : Status::kIoError;
}

}  // namespace zrfs
