/* Exported from libzrfs.so like zrfs.h: the recorder's applications call the
 * df_ functions directly and link against them, so these declarations are
 * part of the library's binary interface. */
/* zrfs disk layer (the df_ layer): formatting, mounting, block allocation and
 * release, bad blocks, disk statistics and the background flush thread.
 *
 * A disk is named by its device path, which contains "/dev/scsi/host"
 * followed by the disk number 0..23.  A formatted partition is an array of
 * equal blocks (1 GiB each) behind two mirrored metadata copies; each disk's
 * shared image lives in its own shared-memory segment, guarded by the disk's
 * own process lock, and every process that formats or mounts the disk
 * attaches the same image.
 *
 * Block ids are signed: 0 <= id < the disk's block count; -1 means none.
 * Channels are 0..1023; block types 0..15 (see fsc_GetBlkType).
 *
 * Conventions: 0 or a count for success, -1 for failure unless a call says
 * otherwise; nothing is printed and errno is not meant for the caller. */
#ifndef ZRFS_DF_H
#define ZRFS_DF_H

#include <stddef.h>
#include <stdint.h>

#include "zrfs.h"
#include "zrfs/export.h"

ZRFS_EXTERN_C_BEGIN

/* Where a new record file goes: filled by df_GetFileBlkId. */
typedef struct DfFileBlk {
  uint32_t diskNo;
  int32_t blkId; /* -1 when no block could be given */
} DfFileBlk;
ZRFS_LAYOUT_CHECK(sizeof(DfFileBlk) == 8, df_file_blk_size);
ZRFS_LAYOUT_CHECK(offsetof(DfFileBlk, blkId) == 4, df_file_blk_blk_id);

/* ---- Start-up and the flush thread ---------------------------------------- */

/* Resets the 24 disk slots of this process, obtains their process locks and
 * starts the flush thread (once per process).  0, or -1 when a lock could
 * not be obtained. */
ZRFS_API int df_Init(void);
/* Does nothing; returns 0. */
ZRFS_API int df_Uninit(void);
/* Asks the flush thread to flush the disk: mark 1 at its next periodic
 * flush, 2 or more at its next visit.  -1 for a disk number above 23. */
ZRFS_API int df_SetSyncMark(unsigned disk, int mark);
/* 1 when the disk behind fd is present (always 1 with the check off), else
 * 0. */
ZRFS_API int df_IsDiskOnline(int fd);
/* Switches the presence check on (1) or off (0); other values are ignored.
 * Returns 0. */
ZRFS_API int df_SetOnlineCheck(unsigned on);

/* ---- Format, mount and queries ---------------------------------------------- */

/* Writes a fresh layout (header, empty map and tables in both copies). */
ZRFS_API int df_DiskFormat(const char *path);
/* Loads a formatted disk into its shared image (bringing versions 0 and 1
 * to 2) and counts this process as a user of it. */
ZRFS_API int df_DiskMount(const char *path);
/* Lets go of the disk in this process; the last user makes it not ready.
 * 0, or -1 for a null path or a disk number above 23. */
ZRFS_API int df_DiskUnmout(const char *path);
/* 0 when the disk is mounted and usable, else -1. */
ZRFS_API int df_IsDiskReady(unsigned disk);
/* Format version of the disk; 1 when it is not attached in this process. */
ZRFS_API int df_GetDiskVersion(const char *path);
/* Block size of the disk mounted last in this process (0 before any). */
ZRFS_API uint64_t df_GetDiskUnitSize(void);

/* ---- Blocks ----------------------------------------------------------------- */

/* Picks the block for a new record file of (param's channel, block type of
 * its kind; its pre-record size is weighed too): the channel's current block while it has room,
 * else the lowest free block, whose header area is zeroed first.  0 with out filled, or -1 (out's
 * block id is then -1, unless param or out is null or the path names no disk). */
ZRFS_API int df_GetFileBlkId(const FileCreateParam *param, DfFileBlk *out);
/* Frees a block: zeroes its header area, marks it free and, for a type of
 * 0..15, updates the (type, chan) count and current block. */
ZRFS_API int df_ReleaseBlock(unsigned disk, int blk, int chan, unsigned type);
/* Byte address of the block on the device, or 0 for a bad disk or block. */
ZRFS_API uint64_t df_GetBlkAddr(unsigned disk, int blk);

/* ---- Bad blocks and statistics ---------------------------------------------- */

/* Marks one block bad (after an I/O error in it). */
ZRFS_API int df_TagBadBlock(unsigned disk, int blk);
/* Marks bad every block touched by [offset, offset + length] of the device
 * (the block holding the byte just past the range included).  0 also when
 * nothing needed tagging. */
ZRFS_API int df_TagBadUnit(const char *path, uint64_t offset, uint32_t length);
/* Takes back df_TagBadUnit over the same range: every block it would touch
 * that is tagged (0xFE, not 0xFF: those failed an I/O) becomes used again
 * when it still holds record files its channel's block count accounts for,
 * else free (when two name the same channel and type and its count has
 * room for one, the channel's current block).  Only the map is written,
 * copy 0 then copy 1.  0 also when nothing was tagged; -1 for an offset off
 * the device, a range touching more than 8 blocks, a disk not ready, a
 * block header that cannot be read (nothing changed) or a map written to
 * neither copy. */
ZRFS_API int df_UntagBadUnit(const char *path, uint64_t offset, uint32_t length);
/* Fills the 32 bytes of out with the disk's totals.  The disk must be ready. */
ZRFS_API int df_DiskStatfs(const char *path, DfStatfs *out);
/* Fills out with up to max used blocks, lowest id first.  Returns the number
 * filled (at least 1), or -1 (also when there is none). */
ZRFS_API int df_GetBlockInfo(const char *path, DfBlockInfo *out, int max);
/* MiB held by the blocks of (chan, block type of dataType); chan 0..15 only.
 * -1 for bad arguments or a disk that is not ready. */
ZRFS_API int df_GetBlockNumOfDataType(const char *path, unsigned chan, int dataType);
/* Number of blocks of a ready disk (used or not), else 0. */
ZRFS_API int df_GetDiskUsedBlockNum(const char *path);

/* ---- Diagnostics ------------------------------------------------------------ */

/* Appends this process's disk table to buf as text (see the dump calls):
 * the characters the text would have had, like snprintf; 0 and nothing
 * written for a null buffer or a size below 100. */
ZRFS_API int df_GetDebugInfo(char *buf, int size);

ZRFS_EXTERN_C_END

#endif /* ZRFS_DF_H */
