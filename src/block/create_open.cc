// Creating a record file in the block the disk layer picks, and opening one
// again by its name.
#include <strings.h>

#include <cstring>

#include "block/block_file.h"
#include "block/parked_blocks.h"
#include "disk/allocate.h"
#include "shared/proc_lock.h"
#include "zrfs/df.h"
#include "zrfs/fsc.h"

namespace zrfs {
namespace {

constexpr uint32_t kRingKind = 1;
constexpr uint32_t kLockedKind = 2;
constexpr uint32_t kLockedAtCreation = 2;
constexpr size_t kHeaderExtChars = 7;

// A ring's room belongs to its file from the start: files created later
// begin behind it even before a byte of the ring is written.
void ClaimRing(BfShareEntry &entry, uint64_t preEnd) {
  uint64_t rounded = (preEnd + kAppendAlign - 1) / kAppendAlign * kAppendAlign;
  if (rounded > entry.reservedEnd && rounded <= 0xFFFFF000u)
    entry.reservedEnd = static_cast<uint32_t>(rounded);
}

// Room a new file needs behind its start, as the disk layer counts it.
constexpr uint64_t kSpareBytes = 0x300000;

// Fills a fresh header and the block header for file number n of the block.
// The file starts behind everything the block's files have written or
// claimed; a ring claims its whole room at once.
void PlaceNewFile(const FileCreateParam &param, BfShareEntry &entry, TfFileHeader &file,
                  uint32_t n) {
  BlkHeader &block = entry.head;
  file.ichan = param.ichan;
  file.createTime = param.createTime;
  file.recType = param.recType;
  block.fileNum += 1;
  block.lastFileNo = n;
  if (block.fileNum == 1) {  // the block's first record file
    block.hdrAreaSize = kHeaderAreaSize;
    block.inUse = 1;
    block.createTime = param.createTime;
    block.dataOffset = kHeaderAreaSize;
    block.appendPos = kHeaderAreaSize;
    entry.reservedEnd = 0;  // nothing else in the block holds data
  }
  block.ichan = param.ichan;
  block.blkType = fsc_GetBlkType(param.kind);
  uint64_t start = NextFileStart(entry);
  if (param.kind == kRingKind) {
    file.preStart = start;
    file.preEnd = start + static_cast<uint64_t>(static_cast<int64_t>(param.preRecSize));
    ClaimRing(entry, file.preEnd);
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
  return bf_AttachBlock(diskAndBlock);
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
  uint64_t start = h->share->head.fileNum == 0 ? kHeaderAreaSize : NextFileStart(*h->share);
  uint64_t ring = param.preRecSize > 0 ? static_cast<uint64_t>(param.preRecSize) : 0;
  uint64_t unit = df_GetDiskUnitSize();
  return start < unit && unit - start > ring + kSpareBytes ? Fit::kTakes : Fit::kFull;
}

// A block nobody writes to.  Only attached to look.
bool Idle(int32_t disk, int32_t blk) {
  int32_t diskAndBlock[2] = {disk, blk};
  BfHandle *h = bf_AttachBlock(diskAndBlock);
  if (h == nullptr) return false;
  bool idle = LiveWriters(h) == 0;
  bf_DetachBlock(h);
  return idle;
}

// The block for a new file, attached: the channel's current block, or when
// that one is busy or full, the block the channel left earlier (once it is
// idle) or a fresh one.  A busy block is remembered, so the channel can come
// back to its room.
BfHandle *AttachBlockForNewFile(const FileCreateParam &param) {
  DfFileBlk where;
  if (df_GetFileBlkId(&param, &where) != 0) return nullptr;
  BfHandle *h = Attach(where);
  if (h == nullptr) return nullptr;
  Fit fit = FitForNewFile(h, param);
  if (fit == Fit::kTakes) return h;
  bf_DetachBlock(h);

  auto disk = static_cast<int32_t>(where.diskNo);
  uint32_t type = fsc_GetBlkType(param.kind);
  int32_t left = where.blkId;
  int32_t parked = TakeParkedBlock(disk, type, param.ichan);
  if (parked >= 0 && !Idle(disk, parked)) parked = -1;
  if (ChooseOtherFileBlock(&param, left, parked, &where) != 0) return nullptr;
  if (fit == Fit::kBusy) ParkBlock(disk, type, param.ichan, left);
  h = Attach(where);
  if (h != nullptr && where.blkId == parked && FitForNewFile(h, param) != Fit::kTakes) {
    // Became busy or full since it was looked at: a fresh block after all.
    bf_DetachBlock(h);
    if (ChooseOtherFileBlock(&param, parked, -1, &where) != 0) return nullptr;
    h = Attach(where);
  }
  return h;
}

// The extension goes whole into the name, which must fit ZRFS_NAME_MAX
// bytes: one without its NUL inside the field is refused.
bool ExtensionTerminated(const FileCreateParam &param) {
  return memchr(param.extName, '\0', sizeof param.extName) != nullptr;
}

}  // namespace

BfHandle *CreateRecordFile(const FileCreateParam *param, char *name, void *header,
                           bool countWriter) {
  if (param == nullptr || name == nullptr || header == nullptr) return nullptr;
  if (!ExtensionTerminated(*param)) return nullptr;
  ProcessLockGuard createLock(g_tBlkMutex, LockLevel::kBlockCreate);
  if (!createLock.ok()) return nullptr;
  BfHandle *h = AttachBlockForNewFile(*param);
  if (h == nullptr) return nullptr;

  ProcessLockGuard blockLock(h->lockId, LockLevel::kBlock);
  if (!blockLock.ok() || h->share == nullptr || Retired(h)) {
    blockLock.Unlock();
    bf_DetachBlock(h);
    return nullptr;
  }
  auto *file = static_cast<TfFileHeader *>(header);
  memset(file, 0, sizeof *file);
  BfShareEntry &entry = *h->share;
  uint32_t n = entry.head.lastFileNo + 1;
  char *identity = reinterpret_cast<char *>(file) + offsetof(TfFileHeader, magic);
  bf_MakeFileName(static_cast<uint32_t>(entry.diskid), static_cast<uint32_t>(entry.blkid), n, name,
                  identity, param->kind == kLockedKind ? kLockedAtCreation : 0);
  size_t extLen = strnlen(param->extName, sizeof param->extName);
  memcpy(name + strlen(name), param->extName, extLen);
  name[24 + extLen] = '\0';
  memcpy(file->extName, param->extName, extLen < kHeaderExtChars ? extLen : kHeaderExtChars);
  PlaceNewFile(*param, entry, *file, n);

  if (bf_WriteFileHeader(file, h) != 0 || bf_WriteBlkHeader(h) != 0) {
    blockLock.Unlock();
    bf_DetachBlock(h);
    return nullptr;
  }
  df_SetSyncMark(static_cast<unsigned>(entry.diskid), 1);
  // Counted before the creation lock goes: the next create already sees
  // the block busy.
  if (countWriter) AddWriter(h);
  return h;
}

}  // namespace zrfs

using namespace zrfs;

extern "C" BfHandle *bf_CreateFile(const FileCreateParam *param, char *name, void *header) {
  return CreateRecordFile(param, name, header, false);
}

extern "C" BfHandle *bf_OpenFile(const char *name, void *header) {
  if (name == nullptr || header == nullptr) return nullptr;
  ProcessLockGuard createLock(g_tBlkMutex, LockLevel::kBlockCreate);
  if (!createLock.ok()) return nullptr;
  RecordName parsed;
  if (!ParseRecordName(name, &parsed)) return nullptr;
  int32_t diskAndBlock[2] = {parsed.disk, parsed.blk};
  BfHandle *h = bf_AttachBlock(diskAndBlock);
  if (h == nullptr) return nullptr;

  ProcessLockGuard blockLock(h->lockId, LockLevel::kBlock);
  auto *file = static_cast<TfFileHeader *>(header);
  bool found = blockLock.ok() && h->share != nullptr &&
               ReadBlockSector(h, uint64_t{parsed.fileNo} * kSectorSize, file) &&
               strncasecmp(parsed.tag, file->tag, 4) == 0;
  if (!found) {
    blockLock.Unlock();
    bf_DetachBlock(h);
    return nullptr;
  }
  return h;
}

extern "C" int bf_CloseFile(BfHandle *h) {
  if (h == nullptr) return -1;
  bf_DetachBlock(h);
  return 0;
}

extern "C" int bf_GetErrorNo(BfHandle *h) {
  return h == nullptr ? 0 : LoadErrNo(h);
}
