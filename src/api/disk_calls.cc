// Calls on whole disks and on the library's options: null checks, then the
// disk or block-file layer.
#include "block/block_file.h"
#include "disk/disk.h"
#include "disk/policy.h"
#include "shared/call_reason.h"
#include "zrfs.h"
#include "zrfs/df.h"

using namespace zrfs;

namespace {

constexpr uint64_t kPresenceCheckOff = 1;  // the only option there is

}  // namespace

extern "C" int zrfs_Format(const char *diskPath) {
  CallReason reason;
  return diskPath == nullptr ? reason.Refuse(Status::kBadArgument)
                             : reason.Answer(FormatDisk(diskPath));
}

extern "C" int zrfs_Mount(const char *diskPath) {
  CallReason reason;
  return diskPath == nullptr ? reason.Refuse(Status::kBadArgument)
                             : reason.Answer(MountDisk(diskPath));
}

extern "C" int zrfs_UnMount(const char *diskPath) {
  CallReason reason;
  return diskPath == nullptr ? reason.Refuse(Status::kBadArgument)
                             : reason.Answer(UnmountDisk(diskPath));
}

extern "C" int zrfs_Statfs(const char *diskPath, DfStatfs *st) {
  CallReason reason;
  return diskPath == nullptr || st == nullptr ? reason.Refuse(Status::kBadArgument)
                                              : reason.Answer(DiskTotals(diskPath, st));
}

// 0 for a disk that is not mounted, as it always has been.
extern "C" int zrfs_GetUsedBlockNum(const char *diskPath) {
  CallReason reason;
  if (diskPath == nullptr) return reason.Refuse(Status::kBadArgument);
  int blocks = DiskBlockCount(diskPath);
  return reason.Give(blocks, blocks > 0, Status::kNotMounted);
}

extern "C" int zrfs_GetBlockInfo(const char *diskPath, DfBlockInfo *info, int max) {
  CallReason reason;
  if (diskPath == nullptr || info == nullptr) return reason.Refuse(Status::kBadArgument);
  int filled = ListUsedBlocks(diskPath, info, max);
  return reason.Give(filled, filled >= 0, Status::kNotMounted);
}

extern "C" int zrfs_GetUsedSizeOfDataType(const char *diskPath, uint32_t chan, int dataType) {
  CallReason reason;
  if (diskPath == nullptr) return reason.Refuse(Status::kBadArgument);
  // No per-type counts on this disk (or it is not attached here).
  if (df_GetDiskVersion(diskPath) <= 1) return reason.Give(-2, false, Status::kNotMounted);
  int mib = MiBOfDataType(diskPath, chan, dataType);
  return reason.Give(mib, mib >= 0, Status::kNotMounted);
}

extern "C" int zrfs_BlockStat(const char *diskPath, int blk, TfFileStat *st, int max) {
  CallReason reason;
  int filled = 0;
  Status status = StatBlockFiles(diskPath, blk, st, max, &filled);
  return Ok(status) ? reason.Give(filled, true, status) : reason.Answer(status);
}

extern "C" int zrfs_TagBadUnit(const char *diskPath, uint64_t offset, uint32_t len) {
  CallReason reason;
  return diskPath == nullptr ? reason.Refuse(Status::kBadArgument)
                             : reason.Answer(TagBadUnit(diskPath, offset, len));
}

extern "C" int zrfs_Flush(const char *diskPath) {
  CallReason reason;
  return diskPath == nullptr ? reason.Refuse(Status::kBadArgument)
                             : reason.Answer(FlushDisk(diskPath));
}

extern "C" int zrfs_SetFlushInterval(unsigned milliseconds) {
  CallReason reason;
  SetFlushInterval(milliseconds);
  return reason.Answer(Status::kOk);
}

extern "C" int zrfs_SetRetention(const char *diskPath, int mode) {
  CallReason reason;
  return diskPath == nullptr ? reason.Refuse(Status::kBadArgument)
                             : reason.Answer(SetRetention(diskPath, mode));
}

extern "C" int zrfs_SetChannelQuota(const char *diskPath, unsigned chan, unsigned blocks) {
  CallReason reason;
  return diskPath == nullptr ? reason.Refuse(Status::kBadArgument)
                             : reason.Answer(SetChannelQuota(diskPath, chan, blocks));
}

extern "C" int zrfs_SetOpt(uint64_t options) {
  CallReason reason;
  if (!(options & kPresenceCheckOff)) return reason.Refuse(Status::kBadArgument);
  SetPresenceCheck(false);
  return reason.Answer(Status::kOk);
}
