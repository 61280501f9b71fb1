// Creating a record file in the block the disk layer picks, and opening one
// again by its name.
#include <strings.h>

#include <cstring>

#include "block/block_file.h"
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
  }
  block.ichan = param.ichan;
  block.blkType = fsc_GetBlkType(param.kind);
  uint64_t start = static_cast<uint64_t>(block.appendPos);
  if (param.kind == kRingKind) {
    file.preStart = start;
    file.preEnd = start + static_cast<uint64_t>(static_cast<int64_t>(param.preRecSize));
  } else {
    if (param.kind == kLockedKind) file.lockFlag = kLockedAtCreation;
    file.StartAddr = start;
    file.EndAddr = start;
  }
  file.fileNo = n;
  file.reserved1 = 0;
}

}  // namespace
}  // namespace zrfs

using namespace zrfs;

extern "C" BfHandle *bf_CreateFile(const FileCreateParam *param, char *name, void *header) {
  if (param == nullptr || name == nullptr || header == nullptr) return nullptr;
  ProcessLockGuard createLock(g_tBlkMutex, LockLevel::kBlockCreate);
  if (!createLock.ok()) return nullptr;
  DfFileBlk where;
  if (df_GetFileBlkId(param, &where) != 0) return nullptr;
  int32_t diskAndBlock[2] = {static_cast<int32_t>(where.diskNo), where.blkId};
  BfHandle *h = bf_AttachBlock(diskAndBlock);
  if (h == nullptr) return nullptr;

  ProcessLockGuard blockLock(h->lockId, LockLevel::kBlock);
  if (!blockLock.ok() || h->share == nullptr) {
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
  return h;
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
