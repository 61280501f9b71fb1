// The disk layer's C interface: each function calls the layer's core
// (disk.h) and turns the result into the interface's value.
#include "disk/disk.h"

using namespace zrfs;

extern "C" int df_Init(void) {
  return ToAbi(StartDiskLayer());
}

extern "C" int df_Uninit(void) {
  return 0;
}

extern "C" int df_DiskFormat(const char *path) {
  return ToAbi(FormatDisk(path));
}

extern "C" int df_DiskMount(const char *path) {
  return ToAbi(MountDisk(path));
}

extern "C" int df_DiskUnmout(const char *path) {
  return ToAbi(UnmountDisk(path));
}

extern "C" int df_IsDiskReady(unsigned disk) {
  return ToAbi(CheckDiskReady(disk));
}

extern "C" int df_GetDiskVersion(const char *path) {
  return DiskVersion(path);
}

extern "C" uint64_t df_GetDiskUnitSize(void) {
  return UnitSize();
}

extern "C" int df_SetSyncMark(unsigned disk, int mark) {
  return ToAbi(SetSyncMark(disk, mark));
}

extern "C" int df_IsDiskOnline(int fd) {
  return DiskPresent(fd) ? 1 : 0;
}

// Values other than 0 and 1 leave the setting as it is.
extern "C" int df_SetOnlineCheck(unsigned on) {
  if (on <= 1) SetPresenceCheck(on == 1);
  return 0;
}

extern "C" int df_GetFileBlkId(const FileCreateParam *param, DfFileBlk *out) {
  return ToAbi(ChooseFileBlock(param, out));
}

extern "C" int df_ReleaseBlock(unsigned disk, int blk, int chan, unsigned type) {
  return ToAbi(ReleaseBlock(disk, blk, chan, type));
}

extern "C" uint64_t df_GetBlkAddr(unsigned disk, int blk) {
  return BlockAddressOf(disk, blk);
}

extern "C" int df_TagBadBlock(unsigned disk, int blk) {
  return ToAbi(TagBadBlock(disk, blk));
}

extern "C" int df_TagBadUnit(const char *path, uint64_t offset, uint32_t length) {
  return ToAbi(TagBadUnit(path, offset, length));
}

extern "C" int df_UntagBadUnit(const char *path, uint64_t offset, uint32_t length) {
  return ToAbi(UntagBadUnit(path, offset, length));
}

extern "C" int df_DiskStatfs(const char *path, DfStatfs *out) {
  return ToAbi(DiskTotals(path, out));
}

extern "C" int df_GetBlockInfo(const char *path, DfBlockInfo *out, int max) {
  return ListUsedBlocks(path, out, max);
}

extern "C" int df_GetBlockNumOfDataType(const char *path, unsigned chan, int dataType) {
  return MiBOfDataType(path, chan, dataType);
}

extern "C" int df_GetDiskUsedBlockNum(const char *path) {
  return DiskBlockCount(path);
}

extern "C" int df_GetDebugInfo(char *buf, int size) {
  return DumpDisks(buf, size);
}
