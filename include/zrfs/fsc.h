/* Exported from libzrfs.so like zrfs.h: the recorder's applications call the
 * fsc_ functions directly and link against them, so these declarations are
 * part of the library's binary interface. */
/* zrfs shared pool, process locks and naming helpers (the fsc_ layer).
 *
 * Everything several recorder processes must agree on lives in System V
 * shared memory and is serialised by System V semaphores ("process locks").
 *
 * Keys.  Key files live in the key directory "/dvr/zrfs" (under the root set
 * with zrfs_SetRootDir).  The layer key file "zrfslayer" gives, by ftok
 * project id, the file list segment ('A'), the pool segment ('B') and the
 * three layer locks ('a', 'b', 'c').  The slot key files "zrfs0".."zrfs16"
 * give one key per pool slot: slot s uses file s / 126, project id
 * s % 126 + 1.
 *
 * Pool slots 0..2071 decide an entry's kind and home:
 *   0..511      record file, inside the pool segment
 *   512..1023   record file, a segment of its own
 *   1024..1535  block file, inside the pool segment
 *   1536..2047  block file, a segment of its own
 *   2048..2071  disk 0..23, a segment of its own
 *
 * Conventions: -1 or NULL means failure; nothing is printed and errno is not
 * meant for the caller.  A process lock id of -1 means "no lock": locking and
 * unlocking it do nothing. */
#ifndef ZRFS_FSC_H
#define ZRFS_FSC_H

#include <stdint.h>

#include "zrfs/export.h"

ZRFS_EXTERN_C_BEGIN

/* Addresses at which this process attached the file list (2072 EntryKeys)
 * and the pool segment; NULL until fsc_ShareInit attaches them. */
ZRFS_API extern uint64_t *g_stZrfsFileList;
ZRFS_API extern void *g_stZrfsShrPool;

/* ftok of the key file at path (created empty when missing) with the given
 * project id (1..255).  Returns the key, or -1. */
ZRFS_API int fsc_GetShareKey(const char *path, int projId);

/* Key of pool slot 0..2071, or -1. */
ZRFS_API int fsc_GetShmKey(int slot);

/* Attaches the file list and the pool segment, creating them when missing.
 * Returns 0 when both are attached, else -1. */
ZRFS_API int fsc_ShareInit(void);

/* Finds the entry whose EntryKey is (keyHi << 32 | keyLo), or claims the
 * lowest free slot of its kind for it.  size must be the kind's entry size
 * (584 record file, 544 block file, 262672 disk).  Returns this process's
 * address of the entry, or NULL.  Callers hold the kind's layer lock (the
 * disk's own lock for fsc_DfMalloc). */
ZRFS_API void *fsc_TfMalloc(uint32_t keyLo, uint32_t keyHi, uint32_t size);
ZRFS_API void *fsc_BfMalloc(uint32_t keyLo, uint32_t keyHi, uint32_t size);
ZRFS_API void *fsc_DfMalloc(uint32_t keyLo, uint32_t keyHi, uint32_t size);

/* Gives an entry back.  The caller has already lowered the entry's shared
 * reference count; the last holder frees the slot (and removes an own
 * segment).  A disk entry is always released as the last holder.  NULL is
 * ignored. */
ZRFS_API void fsc_TfFree(void *entry);
ZRFS_API void fsc_BfFree(void *entry);
ZRFS_API void fsc_DfFree(void *entry);

/* Returns the id of the one-semaphore process lock with this key, creating
 * it free (value 1) when missing, or -1 for a key <= 0 or a failure. */
ZRFS_API int fsc_ProcLockInit(int key);

/* Takes / gives back a process lock.  Held locks are returned by the system
 * when their holder dies.  Not recursive. */
ZRFS_API void fsc_ProcLock(int semId);
ZRFS_API void fsc_ProcUnlock(int semId);

/* Disk number that follows the first "/dev/scsi/host" in path; 0 when no
 * digit follows, -1 for NULL or no such prefix. */
ZRFS_API int fsc_GetDiskNumByPath(const char *path);

/* Disk character of record-file names: '0'..'9', 'a'.. (either case read). */
ZRFS_API int fsc_DiskAtoI(int c);
ZRFS_API int fsc_DiskItoA(uint32_t n);

/* Block-type index 0..4 under which a data type's blocks are counted. */
ZRFS_API uint32_t fsc_GetBlkType(uint32_t dataType);

ZRFS_EXTERN_C_END

#endif /* ZRFS_FSC_H */
