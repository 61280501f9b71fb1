// Moving record data between callers' buffers and a block, and bringing the
// headers up to date.  Data goes straight between the caller's buffer and
// the device: one seek, then as few read or write calls as the device needs.
#include <errno.h>
#include <unistd.h>

#include "block/block_file.h"
#include "os/os.h"
#include "shared/proc_lock.h"
#include "zrfs/df.h"

namespace zrfs {
namespace {

bool DiskReady(BfHandle *h) {
  return df_IsDiskReady(static_cast<unsigned>(h->share->diskid)) == 0;
}

void ReportBadBlock(BfHandle *h) {
  if (h->share != nullptr) df_TagBadBlock(static_cast<unsigned>(h->share->diskid), h->share->blkid);
}

// Ring pointers a header may carry: none at all, or a whole fixed ring.
bool PreRecordFieldsSound(const TfFileHeader &file, uint64_t unit) {
  bool none =
      file.preStart == 0 && file.preEnd == 0 && file.preRecStartPtr == 0 && file.preRecEndPtr == 0;
  bool fixed = file.preStart != 0 && file.preEnd != 0 && file.preRecStartPtr != 0 &&
               file.preRecEndPtr != 0 && file.preRecStartPtr < unit && file.preRecEndPtr < unit;
  return none || fixed;
}

}  // namespace
}  // namespace zrfs

using namespace zrfs;

extern "C" int bf_Read(uint32_t offset, void *buf, uint32_t len, BfHandle *h) {
  if (h == nullptr || buf == nullptr || h->share == nullptr) return -1;
  if (!DiskReady(h)) {
    SetErrNo(h, kEioError);
    return -1;
  }
  if (offset >= df_GetDiskUnitSize()) return -1;
  ProcessLockGuard blockLock(h->lockId, LockLevel::kBlock);
  if (!blockLock.ok()) return -1;
  auto *bytes = static_cast<uint8_t *>(buf);
  uint32_t done = 0;
  if (os().Seek(h->Fd, h->share->blkaddr + offset, SEEK_SET) >= 0) {
    while (done < len) {
      ssize_t n = os().Read(h->Fd, bytes + done, len - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      done += static_cast<uint32_t>(n);
      SetErrNo(h, 0);
    }
  }
  if (done < len) {
    ReportBadBlock(h);
    SetErrNo(h, kEioError);
  }
  return done == 0 ? -1 : static_cast<int>(done);
}

extern "C" int bf_Write(uint32_t offset, const void *buf, uint32_t len, BfHandle *h) {
  int refused = len == 0 ? 0 : -1;
  if (h == nullptr || buf == nullptr || h->share == nullptr) return refused;
  if (!DiskReady(h)) {
    SetErrNo(h, kEioError);
    return refused;
  }
  uint64_t unit = df_GetDiskUnitSize();
  if (offset >= unit) return refused;
  if (uint64_t{offset} + len > unit) {  // past the end of the block: nothing is written
    SetErrNo(h, kNoSpaceError);
    return refused;
  }
  ProcessLockGuard blockLock(h->lockId, LockLevel::kBlock);
  if (!blockLock.ok()) return refused;
  const auto *bytes = static_cast<const uint8_t *>(buf);
  uint32_t left = len;
  if (os().Seek(h->Fd, h->share->blkaddr + offset, SEEK_SET) < 0) {
    SetErrNo(h, kEioError);
  } else {
    while (left > 0) {
      if (df_IsDiskOnline(h->Fd) == 0) {
        SetErrNo(h, kEioError);
        break;
      }
      ssize_t n = os().Write(h->Fd, bytes + (len - left), left);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        ReportBadBlock(h);
        SetErrNo(h, kEioError);
        break;
      }
      left -= static_cast<uint32_t>(n);
      SetErrNo(h, 0);
    }
  }
  // A write that started in the block's last 2 MiB warns that it is full.
  if (unit <= uint64_t{offset} + kHeaderAreaSize + left) SetErrNo(h, kNoSpaceError);
  return left == 0 ? static_cast<int>(len) : -1;
}

extern "C" int bf_Sync(const void *header, BfHandle *h) {
  if (header == nullptr || h == nullptr || h->share == nullptr) return -1;
  const auto &file = *static_cast<const TfFileHeader *>(header);
  ProcessLockGuard blockLock(h->lockId, LockLevel::kBlock);
  if (!blockLock.ok() || !DiskReady(h)) return -1;  // asked once for both header writes
  BlkHeader &block = h->share->head;
  uint64_t unit = df_GetDiskUnitSize();
  bool sound = PreRecordFieldsSound(file, unit);
  bool blockChanged = false;
  if (sound && file.EndAddr < unit && file.EndAddr > static_cast<uint64_t>(block.appendPos)) {
    uint64_t aligned = (file.EndAddr + kAppendAlign - 1) / kAppendAlign * kAppendAlign;
    block.appendPos = static_cast<int64_t>(aligned);
    blockChanged = true;
  }
  if (sound && static_cast<uint64_t>(file.modifyTime) > static_cast<uint64_t>(block.modifyTime)) {
    block.modifyTime = file.modifyTime;
    blockChanged = true;
  }
  // The raised append position reaches the disk before the file's new end:
  // a crash between the two then wastes space instead of letting the next
  // file of the block start inside this one's data.
  if (blockChanged && WriteBlkHeaderOnReadyDisk(h) != 0) return -1;
  if (WriteFileHeaderOnReadyDisk(&file, h) != 0) return -1;
  df_SetSyncMark(static_cast<unsigned>(h->share->diskid), 1);
  return 0;
}
