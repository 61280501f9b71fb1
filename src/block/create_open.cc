// Creating a record file in the block the disk layer picks, and opening one
// again by its name.
#include <strings.h>

#include <cstring>

#include "block/block_file.h"
#include "disk/allocate.h"
#include "disk/disk.h"
#include "disk/fast_path.h"
#include "disk/policy.h"
#include "shared/naming.h"
#include "shared/proc_lock.h"
#include "zrfs/df.h"
#include "zrfs/fsc.h"

namespace zrfs {
namespace {

constexpr uint32_t kRingKind = 1;
constexpr uint32_t kLockedKind = 2;
constexpr uint32_t kLockedAtCreation = 2;
constexpr size_t kHeaderExtChars = 7;

// Fills a fresh header and the block header for file number n of the block.
// The file starts behind everything the block's files have written or
// claimed; a ring claims its whole room at once.
void PlaceNewFile(const FileCreateParam &param, BfHandle *h, TfFileHeader &file, uint32_t n) {
  AssertHeld(LockLevel::kBlock);
  BfShareEntry &entry = *h->share;
  BlkHeader &block = entry.head;
  uint8_t *scan = HeaderScanBuffer();
  if (entry.filesCovered == 0) (void)CoverFiles(h, scan);  // before the header changes
  file.ichan = param.ichan;
  file.createTime = param.createTime;
  file.recType = param.recType;
  bool neverUsed = block.lastFileNo == 0;
  block.fileNum += 1;
  block.lastFileNo = n;
  if (block.fileNum == 1) {  // the block's first record file
    block.hdrAreaSize = kHeaderAreaSize;
    block.inUse = 1;
    block.createTime = param.createTime;
    block.dataOffset = kHeaderAreaSize;
    // A block that counts no file but has handed out numbers may still hold
    // their headers and data (an unlink cut short by a power cut): its
    // append position and reservation stay, so nothing lands on them.
    if (neverUsed || block.appendPos < int64_t{kHeaderAreaSize}) block.appendPos = kHeaderAreaSize;
    if (neverUsed) entry.reservedEnd = 0;
  }
  block.ichan = param.ichan;
  block.blkType = BlockTypeOf(param.kind);
  uint64_t start = NextFileStart(h, scan);
  if (param.kind == kRingKind) {
    file.preStart = start;
    file.preEnd = start + static_cast<uint64_t>(static_cast<int64_t>(param.preRecSize));
    ReserveRoom(entry, file.preEnd);  // a ring's room is its file's from the start
  } else {
    if (param.kind == kLockedKind) file.lockFlag = kLockedAtCreation;
    file.StartAddr = start;
    file.EndAddr = start;
  }
  file.fileNo = n;
  file.reserved1 = 0;
}

BfHandle *Attach(const DfFileBlk &where) {
  int32_t diskAndBlock[2] = {static_cast<int32_t>(where.diskNo), where.blkId};
  return AttachBlock(diskAndBlock);
}

enum class Fit { kTakes, kBusy, kFull };

// Whether the block can take a new file now.  It cannot while a live
// process writes one of its files (the newest could grow into the new one),
// nor when what its files reserved leaves less room than the disk layer
// asks of a block.
Fit FitForNewFile(BfHandle *h, const FileCreateParam &param) {
  if (LiveWriters(h) > 0) return Fit::kBusy;
  ProcessLockGuard blockLock(h->lockId, LockLevel::kBlock);
  if (!blockLock.ok() || h->share == nullptr) return Fit::kFull;
  uint64_t start =
      h->share->head.fileNum == 0 ? kHeaderAreaSize : NextFileStart(h, HeaderScanBuffer());
  uint64_t ring = param.preRecSize > 0 ? static_cast<uint64_t>(param.preRecSize) : 0;
  uint64_t unit = UnitSize();
  return start < unit && unit - start > ring + kNewFileSpareBytes ? Fit::kTakes : Fit::kFull;
}

// A block nobody writes to.  Only attached to look.
bool Idle(int32_t disk, int32_t blk) {
  int32_t diskAndBlock[2] = {disk, blk};
  BfHandle *h = AttachBlock(diskAndBlock);
  if (h == nullptr) return false;
  bool idle = LiveWriters(h) == 0;
  DetachBlock(h);
  return idle;
}

// The block a busy block's channel left for it earlier, or -1.
int32_t ReturnBlock(BfHandle *h) {
  ProcessLockGuard blockLock(h->lockId, LockLevel::kBlock);
  if (!blockLock.ok() || h->share == nullptr) return -1;
  return static_cast<int32_t>(h->share->head.returnBlk) - 1;
}

struct NewFileBlock {
  BfHandle *handle;  // attached; null on failure
  int32_t left;      // the busy block the channel left for it, or -1
};

// The block for a new file: the channel's current block, or when that one
// is busy or full, the block the busy one's channel left before (once
// nothing there grows) or a fresh one.  A channel recording two files at
// once so has its two blocks take turns, and strands neither's room; the
// link lives in the block headers, so it outlasts the processes.
NewFileBlock AttachBlockForNewFile(const FileCreateParam &param) {
  DfFileBlk where;
  if (!Ok(ChooseFileBlock(&param, &where))) return {nullptr, -1};
  BfHandle *h = Attach(where);
  if (h == nullptr) return {nullptr, -1};
  Fit fit = FitForNewFile(h, param);
  if (fit == Fit::kTakes) return {h, -1};
  int32_t left = fit == Fit::kBusy ? where.blkId : -1;
  int32_t back = fit == Fit::kBusy ? ReturnBlock(h) : -1;
  DetachBlock(h);

  auto disk = static_cast<int32_t>(where.diskNo);
  if (back >= 0 && !Idle(disk, back)) back = -1;
  if (ChooseOtherFileBlock(&param, where.blkId, back, &where) != 0) return {nullptr, -1};
  h = Attach(where);
  if (h != nullptr && where.blkId == back && FitForNewFile(h, param) != Fit::kTakes) {
    // Busy or full since it was looked at: a fresh block after all.
    DetachBlock(h);
    if (ChooseOtherFileBlock(&param, back, -1, &where) != 0) return {nullptr, -1};
    h = Attach(where);
  }
  return {h, left};
}

// The extension goes whole into the name, which must fit ZRFS_NAME_MAX
// bytes: one without its NUL inside the field is refused.
bool ExtensionTerminated(const FileCreateParam &param) {
  return memchr(param.extName, '\0', sizeof param.extName) != nullptr;
}

// A ring must fit an empty block beside the room every new file keeps
// spare.  A negative size would put the ring's end before its start, and a
// larger one fits no block: the create would take a fresh block for nothing.
bool RingFitsABlock(const FileCreateParam &param) {
  if (param.kind != kRingKind) return true;
  if (param.preRecSize < 0) return false;
  uint64_t unit = UnitSize();  // 0 before any mount, which the disk layer then refuses
  return unit == 0 ||
         static_cast<uint64_t>(param.preRecSize) + kHeaderAreaSize + kNewFileSpareBytes < unit;
}

}  // namespace

BfHandle *CreateRecordFile(const FileCreateParam *param, char *name, TfFileHeader *header,
                           bool countWriter) {
  if (param == nullptr || name == nullptr || header == nullptr || !ExtensionTerminated(*param) ||
      !RingFitsABlock(*param)) {
    NoteFailure(Status::kBadArgument);
    return nullptr;
  }
  ProcessLockGuard createLock(g_tBlkMutex, LockLevel::kBlockCreate);
  if (!createLock.ok()) return nullptr;
  NewFileBlock chosen = AttachBlockForNewFile(*param);
  // No room, and the disk's policy lets one recorded block go: the oldest
  // unprotected one goes, and the choice is made once more.  Never more
  // than one block per create.
  if (chosen.handle == nullptr && Ok(GiveBackOldestBlock(LastRoomRefusal())))
    chosen = AttachBlockForNewFile(*param);
  auto [h, left] = chosen;
  if (h == nullptr) {
    NoteFailure(Status::kNoSpace);  // unless the choice or the give-back noted why
    return nullptr;
  }

  ProcessLockGuard blockLock(h->lockId, LockLevel::kBlock);
  if (!blockLock.ok() || h->share == nullptr || Retired(h)) {
    NoteFailure(Status::kIoError);  // formatted meanwhile
    blockLock.Unlock();
    DetachBlock(h);
    return nullptr;
  }
  TfFileHeader *file = header;
  memset(file, 0, sizeof *file);
  BfShareEntry &entry = *h->share;
  uint32_t n = entry.head.lastFileNo + 1;
  char *identity = reinterpret_cast<char *>(file) + offsetof(TfFileHeader, magic);
  MakeFileName(static_cast<uint32_t>(entry.diskid), static_cast<uint32_t>(entry.blkid), n, name,
               identity, param->kind == kLockedKind ? kLockedAtCreation : 0);
  size_t extLen = strnlen(param->extName, sizeof param->extName);
  memcpy(name + strlen(name), param->extName, extLen);
  name[24 + extLen] = '\0';
  memcpy(file->extName, param->extName, extLen < kHeaderExtChars ? extLen : kHeaderExtChars);
  PlaceNewFile(*param, h, *file, n);
  if (left >= 0) entry.head.returnBlk = static_cast<uint32_t>(left) + 1;

  if (WriteFileHeader(file, h) != 0 || WriteBlkHeader(h) != 0) {
    blockLock.Unlock();
    DetachBlock(h);
    return nullptr;
  }
  MarkForFlush(static_cast<unsigned>(entry.diskid));
  // Counted before the creation lock goes: the next create already sees
  // the block busy.
  if (countWriter) AddWriter(h);
  return h;
}

// Opening takes no creation lock: it changes nothing that creation or
// removal decide on, and the file's header is read under the block's lock,
// which a create or an unlink holds while it writes that header.
BfHandle *OpenRecordFile(const char *name, TfFileHeader *header) {
  RecordName parsed;
  if (name == nullptr || header == nullptr || !ParseRecordName(name, &parsed)) {
    NoteFailure(Status::kBadArgument);
    return nullptr;
  }
  int32_t diskAndBlock[2] = {parsed.disk, parsed.blk};
  BfHandle *h = AttachBlock(diskAndBlock);
  if (h == nullptr) return nullptr;

  ProcessLockGuard blockLock(h->lockId, LockLevel::kBlock);
  bool found = blockLock.ok() && h->share != nullptr &&
               ReadBlockSector(h, uint64_t{parsed.fileNo} * kSectorSize, header) &&
               strncasecmp(parsed.tag, header->tag, 4) == 0;
  if (!found) {
    NoteFailure(Status::kNotFound);  // after any lock or read failure noted first
    blockLock.Unlock();
    DetachBlock(h);
    return nullptr;
  }
  return h;
}

}  // namespace zrfs
