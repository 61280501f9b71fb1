// Calls on whole disks and on the library's options: null checks, then the
// disk or block-file layer.
#include "block/block_file.h"
#include "disk/disk.h"
#include "zrfs.h"
#include "zrfs/df.h"

using namespace zrfs;

namespace {

constexpr uint64_t kPresenceCheckOff = 1;  // the only option there is

}  // namespace

extern "C" int zrfs_Format(const char *diskPath) {
  return diskPath == nullptr ? -1 : ToAbi(FormatDisk(diskPath));
}

extern "C" int zrfs_Mount(const char *diskPath) {
  return diskPath == nullptr ? -1 : ToAbi(MountDisk(diskPath));
}

extern "C" int zrfs_UnMount(const char *diskPath) {
  return diskPath == nullptr ? -1 : ToAbi(UnmountDisk(diskPath));
}

extern "C" int zrfs_Statfs(const char *diskPath, DfStatfs *st) {
  return diskPath == nullptr || st == nullptr ? -1 : ToAbi(DiskTotals(diskPath, st));
}

extern "C" int zrfs_GetUsedBlockNum(const char *diskPath) {
  return diskPath == nullptr ? -1 : DiskBlockCount(diskPath);
}

extern "C" int zrfs_GetBlockInfo(const char *diskPath, DfBlockInfo *info, int max) {
  return diskPath == nullptr || info == nullptr ? -1 : ListUsedBlocks(diskPath, info, max);
}

extern "C" int zrfs_GetUsedSizeOfDataType(const char *diskPath, uint32_t chan, int dataType) {
  if (diskPath == nullptr) return -1;
  if (df_GetDiskVersion(diskPath) <= 1) return -2;  // no per-type counts on this disk
  return MiBOfDataType(diskPath, chan, dataType);
}

extern "C" int zrfs_BlockStat(const char *diskPath, int blk, TfFileStat *st, int max) {
  int filled = 0;
  return Ok(StatBlockFiles(diskPath, blk, st, max, &filled)) ? filled : -1;
}

extern "C" int zrfs_TagBadUnit(const char *diskPath, uint64_t offset, uint32_t len) {
  return diskPath == nullptr ? -1 : ToAbi(TagBadUnit(diskPath, offset, len));
}

extern "C" int zrfs_SetOpt(uint64_t options) {
  if (!(options & kPresenceCheckOff)) return -1;
  SetPresenceCheck(false);
  return 0;
}
