// The disk layer's core: what the layers above call, and what its C
// functions (c_api.cc) turn into the interface's values.
#pragma once

#include <cstdint>

#include "shared/status.h"
#include "zrfs/df.h"

namespace zrfs {

// df_Init: the 24 disk slots and their locks, and the flush thread.
Status StartDiskLayer();

// df_DiskFormat, df_DiskMount, df_DiskUnmout.
Status FormatDisk(const char *path);
Status MountDisk(const char *path);
Status UnmountDisk(const char *path);

// df_IsDiskReady: mounted here and usable (under the disk's lock).
Status CheckDiskReady(unsigned disk);
// df_GetDiskVersion: the format version, 1 when it cannot be told.
int DiskVersion(const char *path);
// df_GetDiskUnitSize: the unit size of the disk mounted last here, or 0.
uint64_t UnitSize();
// df_SetSyncMark: asks the flush thread for a flush (1) or an urgent one (2).
Status SetSyncMark(unsigned disk, int mark);
// zrfs_Flush: every write to the disk that has returned is on the device.
Status FlushDisk(const char *path);
// zrfs_SetFlushInterval: the flush thread flushes a disk this process wrote
// to within this many milliseconds (0: its visit cadence alone).
void SetFlushInterval(uint32_t milliseconds);

// df_IsDiskOnline (always true while the check is off), df_SetOnlineCheck.
bool DiskPresent(int fd);
void SetPresenceCheck(bool on);

// df_GetFileBlkId, df_ReleaseBlock, df_GetBlkAddr (0 for no such block).
Status ChooseFileBlock(const FileCreateParam *param, DfFileBlk *out);
Status ReleaseBlock(unsigned disk, int blk, int chan, unsigned type);
uint64_t BlockAddressOf(unsigned disk, int blk);

// df_TagBadBlock, df_TagBadUnit.
Status TagBadBlock(unsigned disk, int blk);
Status TagBadUnit(const char *path, uint64_t offset, uint32_t length);
Status UntagBadUnit(const char *path, uint64_t offset, uint32_t length);  // df_UntagBadUnit
// A transfer on the block failed: tag it bad.  When even that cannot be
// recorded the caller's own failure already says what went wrong.
inline void ReportBadBlock(unsigned disk, int blk) {
  (void)TagBadBlock(disk, blk);
}

// df_DiskStatfs, df_GetBlockInfo (count, -1 when unreadable),
// df_GetBlockNumOfDataType (MiB, -1), df_GetDiskUsedBlockNum (blocks, 0).
Status DiskTotals(const char *path, DfStatfs *out);
int ListUsedBlocks(const char *path, DfBlockInfo *out, int max);
int MiBOfDataType(const char *path, unsigned chan, int dataType);
int DiskBlockCount(const char *path);

// df_GetDebugInfo: the disk table as text.
int DumpDisks(char *buf, int size);

}  // namespace zrfs
