/* Exported from libzrfs.so like zrfs.h: the recorder's applications call the
 * tf_ functions directly and link against them, so these declarations are
 * part of the library's binary interface. */
/* zrfs record-file layer (the tf_ layer): named recordings inside a block.
 *
 * A record file reads as its pre-record ring's valid bytes (oldest first,
 * possibly wrapping round the ring's end) followed by its main data.  Every
 * process that has a file open holds one TfHandle for it; all processes
 * share one entry per open file, with its header, name and a reference
 * count, and one process lock that serialises every operation on the file.
 *
 * Conventions: 0 or a count for success, -1 or NULL for failure unless a call
 * says otherwise; nothing is printed and errno is not meant for the caller. */
#ifndef ZRFS_TF_H
#define ZRFS_TF_H

#include <stdint.h>

#include "zrfs.h"
#include "zrfs/export.h"

ZRFS_EXTERN_C_BEGIN

/* A process's handle of one open record file (opaque to callers). */
typedef struct TfHandle TfHandle;

/* Id of the process lock of the record-file table; -1 until tf_Init. */
ZRFS_API extern int g_zrFileMutex;

/* Clears this process's record-file table, makes its lock, attaches the
 * shared segments and starts the block-file and disk layers.  Returns
 * bf_Init's result. */
ZRFS_API int tf_Init(void);
/* Drops one reference of every handle of this process.  Returns 0. */
ZRFS_API int tf_Uninit(void);

/* With param: creates a record file and writes its name into name (25 bytes
 * plus the extension).  Without: opens the record file called name.  A file
 * already open in this process gives the same handle again.  NULL on
 * failure. */
ZRFS_API TfHandle *tf_OpenFile(const FileCreateParam *param, char *name);
/* Drops one reference.  -1 for NULL, else 0. */
ZRFS_API int tf_CloseFile(TfHandle *h);
/* Error number of the last read or write: 0, 5 or 28; -1 for NULL. */
ZRFS_API int tf_GetErrorNo(TfHandle *h);
/* Writes the file's header through.  0 or -1. */
ZRFS_API int tf_SyncFile(TfHandle *h);

/* Reads at a logical position: bytes read, or -1 (also at or past the end). */
ZRFS_API int tf_Read(uint32_t pos, void *buf, uint32_t len, TfHandle *h);
/* Writes at a logical position: len, or -1.  A write past the end extends
 * the file and writes its header at once. */
ZRFS_API int tf_Write(uint32_t pos, const void *buf, uint32_t len, TfHandle *h);

/* Status record of an open file; the name and the unfilled stat64 bytes are
 * as documented in zrfs.h.  0 or -1. */
ZRFS_API int tf_GetFileStat(TfFileStat *st, TfHandle *h);
/* Stores the changeable fields (record type, modification time, channel,
 * lock state, creation time, user parameters, name) and writes the header.
 * 0 or -1. */
ZRFS_API int tf_SetFileStat(const TfFileStat *st, TfHandle *h);

/* Sets the logical size; never cuts into the ring part.  0 or -1. */
ZRFS_API int tf_ftruncate(TfHandle *h, int64_t size);
/* Fixes the ring: start and end are offsets into the ring (below its size)
 * of its oldest and just past its newest valid byte; the main data starts
 * again, empty, after the ring.  -1 for a file without a ring. */
ZRFS_API int tf_UpdataePreRecPtr(TfHandle *h, int64_t start, int64_t end);
/* Deletes a record file that no process has open.  0 or -1. */
ZRFS_API int tf_Unlink(const char *name);

/* Text of this process's record files followed by the block-file and disk
 * sections; like snprintf it returns the length the text has.  0 for NULL or
 * size < 140. */
ZRFS_API int tf_GetDebugInfo(char *buf, int32_t size);

ZRFS_EXTERN_C_END

#endif /* ZRFS_TF_H */
