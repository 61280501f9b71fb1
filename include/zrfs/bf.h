/* Exported from libzrfs.so like zrfs.h: the recorder's applications call the
 * bf_ functions directly and link against them, so these declarations are
 * part of the library's binary interface. */
/* zrfs block-file layer (the bf_ layer): a block of a mounted disk seen as a
 * file that holds record files.
 *
 * A block's first 2 MiB are its header area (the block header in sector 0,
 * the header of record file n in sector n, n = 1..4095); the record files'
 * data follows.  Every process has one BfHandle per block it uses (with its
 * own device descriptor); every block in use has one shared entry, counted
 * over all processes.
 *
 * Record-file names are 24 characters and an extension:
 *   "H" disk-character block(6 hex) fileNo(4 hex) tag(4 hex) attributes(7) "."
 * A name may stand behind a directory part without full stops.
 *
 * Conventions: 0 or a count for success, -1 or NULL for failure unless a call
 * says otherwise; nothing is printed and errno is not meant for the caller. */
#ifndef ZRFS_BF_H
#define ZRFS_BF_H

#include <stdint.h>

#include "zrfs.h"
#include "zrfs/export.h"

ZRFS_EXTERN_C_BEGIN

/* A process's handle of one block (opaque to callers). */
typedef struct BfHandle BfHandle;

/* Ids of the process locks of the block-file table and of record-file
 * creation and removal; -1 until bf_Init. */
ZRFS_API extern int g_tBlkFileMutex;
ZRFS_API extern int g_tBlkMutex;

/* Clears this process's block-file table, makes the two layer locks and
 * starts the disk layer.  Returns df_Init's result. */
ZRFS_API int bf_Init(void);
/* Does nothing; returns 0. */
ZRFS_API int bf_UnInit(void);

/* Writes the 24 leading characters of a record-file name and a NUL into name
 * (at least 25 bytes).  identity is bytes 8..15 of the file's header; when
 * its first byte is 0 a new identity ("ZRND" and a random tag) is made and
 * stored there.  lockFlag 1 marks the name 'L', 2 'B'.  Returns 0. */
ZRFS_API int bf_MakeFileName(uint32_t disk, uint32_t blk, uint32_t fileNo, char *name,
                             char *identity, uint32_t lockFlag);
/* Reads the disk and block number of a name into diskAndBlock[0] and [1].
 * -1 for a NULL argument or a string that is no record-file name. */
ZRFS_API int bf_ParseFileName(const char *name, int32_t *diskAndBlock);

/* Creates a record file in the block the disk layer picks for param; writes
 * its name into name (25 bytes plus the extension) and its 512-byte header
 * into header.  Returns the block's handle with one new attachment, or NULL. */
ZRFS_API BfHandle *bf_CreateFile(const FileCreateParam *param, char *name, void *header);
/* Finds the record file called name and reads its 512-byte header.  Returns
 * the block's handle with one new attachment, or NULL. */
ZRFS_API BfHandle *bf_OpenFile(const char *name, void *header);
/* Drops one attachment.  -1 for NULL, else 0. */
ZRFS_API int bf_CloseFile(BfHandle *h);
/* Error number of the handle's last transfer: 0, 5 (I/O failure, disk not
 * ready or absent) or 28 (block full); 0 for NULL. */
ZRFS_API int bf_GetErrorNo(BfHandle *h);

/* Reads len bytes at offset (from the block's start).  Bytes read (fewer
 * after a device failure), or -1 when nothing was read. */
ZRFS_API int bf_Read(uint32_t offset, void *buf, uint32_t len, BfHandle *h);
/* Writes len bytes at offset.  len when all were written, 0 for a refused
 * zero length, -1 otherwise.  A write that would pass the end of the block
 * writes nothing (error number 28). */
ZRFS_API int bf_Write(uint32_t offset, const void *buf, uint32_t len, BfHandle *h);
/* Writes a record file's 512-byte header to its sector and brings the block
 * header's append position and modification time up to date.  0 or -1. */
ZRFS_API int bf_Sync(const void *header, BfHandle *h);

/* Deletes the record file called name from its block; the block goes back
 * to the disk layer with its last file (then the result is the release's).
 * 0 or -1. */
ZRFS_API int bf_Unlink(const char *name);
/* Number of record files in block blk of the disk; 0 when it cannot be read. */
ZRFS_API int bf_GetBlockFileNum(const char *diskPath, int blk);
/* Status records of the record files found in block blk's header area, in
 * slot order, at most max.  The count, or -1. */
ZRFS_API int bf_BlockStat(const char *diskPath, int blk, TfFileStat *st, int max);

/* Text of this process's block files followed by the disk section; like
 * snprintf it returns the length the text has.  0 for NULL or size < 120. */
ZRFS_API int bf_GetDebugInfo(char *buf, int size);

ZRFS_EXTERN_C_END

#endif /* ZRFS_BF_H */
