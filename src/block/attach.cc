// Attaching blocks: the per-process table of block handles, the shared block
// entries, and the header sectors they write back.
#include <errno.h>
#include <fcntl.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "block/block_file.h"
#include "disk/disk.h"
#include "disk/fast_path.h"
#include "format/record_header.h"
#include "os/os.h"
#include "shared/keys.h"
#include "shared/pool.h"
#include "shared/proc_lock.h"
#include "zrfs/df.h"
#include "zrfs/fsc.h"

extern "C" {
int g_tBlkFileMutex = -1;
int g_tBlkMutex = -1;
}

namespace zrfs {

BfHandle *g_stBlkFileTable[kBlockFileSlots];

namespace {

constexpr uint64_t kOneGiB = 0x40000000;

uint64_t BlockKey(int32_t disk, int32_t blk) {
  return static_cast<uint64_t>(disk) << 40 |
         static_cast<uint64_t>(static_cast<int64_t>(blk)) << 16 | 0xFFFF;
}

// Writes a header sector; the callers have found the disk mounted here and
// present.  A short write marks the block bad.
int WriteHeaderSector(BfHandle *h, uint64_t blockOffset, const void *sector) {
  BfShareEntry *entry = h->share;
  if (entry == nullptr || Retired(h)) {  // a block of an earlier format
    NoteFailure(Status::kIoError);
    return -1;
  }
  uint64_t address = static_cast<uint64_t>(entry->blkaddr) + blockOffset;
  if (WriteFully(h->Fd, sector, kSectorSize, address) != static_cast<ssize_t>(kSectorSize)) {
    NoteFailure(Status::kIoError);
    ReportBadBlock(static_cast<unsigned>(entry->diskid), entry->blkid);
    return -1;
  }
  return 0;
}

// Counts one attachment of h's block by this process, or takes one back.
// When this process's handle is made or goes (resync), ShrRef is set to
// the live count, so attachments of killed processes drop out then; in
// between, a repeated attachment costs one semaphore operation.  A set
// without the count keeps ShrRef alone.  Under the block-file table lock.
void CountAttachment(BfHandle *h, short delta, bool resync) {
  (void)AddToLiveCount(h->lockId, delta, kAttachmentsCount);  // without a count, ShrRef alone
  h->share->ShrRef += delta;
  int live = resync ? LiveCount(h->lockId, kAttachmentsCount) : -1;
  if (live >= 0) h->share->ShrRef = live;
}

void FreeHandle(BfHandle *h) {
  if (h->Fd >= 0) os().Close(h->Fd);
  h->Fd = -1;
  zrfs_Free(h);
}

}  // namespace

// After a crash the block header may lag behind its files: a file's header
// (with its new end) can reach the disk without the raised append position,
// and a cleared slot without the lowered count.
// So the first time an entry made from disk is asked where its next file
// starts, the append position is raised to cover every file's data, and the
// reservation also covers every ring's room (a ring not fixed yet does not
// move the append position), so no new file is placed over either.
bool CoverFiles(BfHandle *h, uint8_t *scan) {
  AssertHeld(LockLevel::kBlock);
  BlkHeader &head = h->share->head;
  // Without the shared scan buffer, a few sectors at a time on the stack:
  // this runs once per entry, and a thread stack on the recorder is small.
  uint8_t small[16 * kSectorSize];
  uint32_t scanBytes = scan != nullptr ? kScanPieceBytes : sizeof small;
  if (scan == nullptr) scan = small;
  uint64_t unit = UnitSize();
  uint64_t highest = 0;
  uint64_t claimed = 0;
  uint32_t held = 0;
  bool read = EachFileSlot(
      h, scan, scanBytes, head.lastFileNo,
      [&](const uint8_t *sectors, uint32_t first, uint32_t count) {
        for (uint32_t i = 0; i < count; ++i) {
          const auto *file =
              reinterpret_cast<const TfFileHeader *>(sectors + size_t{i} * kSectorSize);
          if (!HoldsFile(*file, first + i)) continue;
          ++held;
          if (file->EndAddr < unit && file->EndAddr > highest) highest = file->EndAddr;
          if (file->preStart != 0 && file->preEnd <= unit && file->preEnd > claimed)
            claimed = file->preEnd;
        }
        return true;
      });
  if (!read) return false;
  uint64_t covered = (highest + kAppendAlign - 1) / kAppendAlign * kAppendAlign;
  if (head.inUse != 0 && covered > static_cast<uint64_t>(head.appendPos))
    head.appendPos = static_cast<int64_t>(covered);
  if (head.inUse != 0 && claimed > h->share->reservedEnd)
    h->share->reservedEnd = static_cast<uint32_t>(claimed);
  // An unlink cut short after clearing a file's slot and before counting
  // it out leaves the count one too high; the next file's header write
  // puts the count the slots show on the disk.
  if (head.inUse != 0) head.fileNum = held;
  h->share->filesCovered = 1;
  return true;
}

uint8_t *HeaderScanBuffer() {
  static std::atomic<uint8_t *> buffer{nullptr};
  uint8_t *current = buffer.load(std::memory_order_acquire);
  if (current != nullptr) return current;
  auto *made = static_cast<uint8_t *>(malloc(kScanPieceBytes));
  if (made == nullptr) return nullptr;
  // Two threads making their first scan together: one buffer wins, the
  // other is given back.
  if (!buffer.compare_exchange_strong(current, made, std::memory_order_acq_rel)) {
    free(made);
    return current;
  }
  return made;
}

bool ReadBlockSector(BfHandle *h, uint64_t blockOffset, void *sector) {
  BfShareEntry *entry = h->share;
  uint64_t address = static_cast<uint64_t>(entry->blkaddr) + blockOffset;
  if (ReadFully(h->Fd, sector, kSectorSize, address) < 0) {
    NoteFailure(Status::kIoError);
    ReportBadBlock(static_cast<unsigned>(entry->diskid), entry->blkid);
    return false;
  }
  return true;  // a short read leaves the rest of the sector as it was
}

BfHandle *AttachBlock(const int32_t diskAndBlock[2]) {
  int32_t disk = diskAndBlock[0];
  int32_t blk = diskAndBlock[1];
  if (!DiskReadyNow(static_cast<unsigned>(disk))) {
    NoteFailure(Status::kNotMounted);
    return nullptr;
  }
  // A block the disk does not have has no address; attaching it would read
  // (and an unlink would write) the start of the device.
  uint64_t address = BlockAddressOf(static_cast<unsigned>(disk), blk);
  if (address == 0) {
    NoteFailure(Status::kNotFound);
    return nullptr;
  }

  ProcessLockGuard tableLock(g_tBlkFileMutex, LockLevel::kBlock);
  if (!tableLock.ok()) return nullptr;
  int freeSlot = -1;
  for (int slot = 0; slot < kBlockFileSlots; ++slot) {
    BfHandle *h = g_stBlkFileTable[slot];
    if (h == nullptr) {
      if (freeSlot < 0) freeSlot = slot;
      continue;
    }
    // A retired handle stands for the block of an earlier format: never
    // hand it out again.
    if (h->share != nullptr && h->share->diskid == disk && h->share->blkid == blk && !Retired(h)) {
      CountAttachment(h, +1, /*resync=*/false);
      h->InRef += 1;
      return h;
    }
  }
  if (freeSlot < 0) {
    NoteFailure(Status::kTableFull);
    return nullptr;
  }

  char path[256] = {};
  if (UnitSize() == kOneGiB) {
    snprintf(path, sizeof path, "/dev/scsi/host%02d/part1", disk);
  } else {
    snprintf(path, sizeof path, "/dev/scsi/host%dp2", disk);
  }
  int fd = os().Open(path, O_RDWR | O_CLOEXEC, 0);
  if (fd < 0) {  // the disk went away since it was mounted
    NoteFailure(Status::kIoError);
    return nullptr;
  }
  auto *h = static_cast<BfHandle *>(zrfs_Malloc(sizeof(BfHandle)));
  if (h == nullptr) {
    os().Close(fd);
    return nullptr;
  }
  *h = BfHandle{fd, 0, freeSlot, 0, nullptr, -1};
  uint64_t key = BlockKey(disk, blk);
  auto *entry = static_cast<BfShareEntry *>(AcquireBlockEntry(
      static_cast<uint32_t>(key), static_cast<uint32_t>(key >> 32), kBlockEntrySize));
  if (entry == nullptr) {
    FreeHandle(h);
    return nullptr;
  }
  int lockKey = SlotKey(static_cast<int>(entry->poolSlot));
  // The block's lock set also counts the block's live writers.
  h->lockId = lockKey == -1
                  ? -1
                  : ProcLockWithCountsInit(lockKey + kObjectLockKeyOffset, kAttachmentsCount);
  if (h->lockId < 0) {
    NoteFailure(Status::kNoLock);
    ReleaseBlockEntry(entry);
    FreeHandle(h);
    return nullptr;
  }
  h->share = entry;
  // An entry only killed processes held is kept as they left it: a change
  // is made in the entry before its header write, so the entry is never
  // behind the disk, while the disk may be behind the entry.
  // Only the attachment that makes the entry reads the block header: other
  // processes may hold the entry and have raised its append position since
  // the header was last written, and an older copy must not come back.
  bool made = entry->ShrRef <= 0;
  if (made) {
    entry->diskid = disk;
    entry->blkid = blk;
    entry->blkaddr = static_cast<int64_t>(address);
    if (!ReadBlockSector(h, 0, &entry->head)) {
      ReleaseBlockEntry(entry);
      FreeHandle(h);
      return nullptr;
    }
  }
  g_stBlkFileTable[freeSlot] = h;
  CountAttachment(h, +1, /*resync=*/true);
  h->InRef = 1;
  return h;
}

void DetachBlock(BfHandle *h) {
  if (h == nullptr || static_cast<unsigned>(h->blkidx) >= kBlockFileSlots) return;
  ProcessLockGuard tableLock(g_tBlkFileMutex, LockLevel::kBlock);
  if (!tableLock.ok()) return;
  h->InRef -= 1;
  if (h->share != nullptr) CountAttachment(h, -1, /*resync=*/h->InRef <= 0);
  if (h->InRef <= 0) {
    ReleaseBlockEntry(h->share);
    h->share = nullptr;
    g_stBlkFileTable[h->blkidx] = nullptr;
    FreeHandle(h);
  }
}

int WriteFileHeaderOnPresentDisk(const TfFileHeader *header, BfHandle *h) {
  // Sector 0 is the block header and sectors past 4095 are data.
  if (header->fileNo == 0 || header->fileNo > kMaxFileNo) return -1;
  return WriteHeaderSector(h, uint64_t{header->fileNo} * kSectorSize, header);
}

int WriteBlkHeaderOnPresentDisk(BfHandle *h) {
  if (h->share == nullptr) return -1;
  return WriteHeaderSector(h, 0, &h->share->head);
}

namespace {

bool DiskReadyAndPresent(const BfHandle *h) {
  if (h->share == nullptr || !DiskReadyNow(static_cast<unsigned>(h->share->diskid))) {
    NoteFailure(Status::kNotMounted);
    return false;
  }
  if (!DiskPresent(h->Fd)) {
    NoteFailure(Status::kIoError);
    return false;
  }
  return true;
}

}  // namespace

int WriteFileHeader(const TfFileHeader *header, BfHandle *h) {
  return DiskReadyAndPresent(h) ? WriteFileHeaderOnPresentDisk(header, h) : -1;
}

int WriteBlkHeader(BfHandle *h) {
  return DiskReadyAndPresent(h) ? WriteBlkHeaderOnPresentDisk(h) : -1;
}

Status StartBlockLayer() {
  for (BfHandle *&slot : g_stBlkFileTable) slot = nullptr;
  ForgetKnownLockSets();
  g_tBlkFileMutex = ProcLockInit(LayerKey(kBlockTableLockProjId));
  g_tBlkMutex = ProcLockInit(LayerKey(kBlockCreateLockProjId));
  return StartDiskLayer();
}

}  // namespace zrfs
