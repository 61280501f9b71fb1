/* zrfs: a storage library for digital video recorders.
 *
 * Conventions for every call declared here:
 *  - Results: 0 or a count for success, -1 (or NULL) for failure.
 *  - Nothing is printed or logged and errno is not meant for the caller.
 *  - Pointer arguments are checked for NULL first.
 *  - Several processes may use the same disks at once; all shared state lives
 *    in System V shared memory keyed by files in the key directory
 *    "/dvr/zrfs".
 *
 * This header is valid C99 and C++. */
#ifndef ZRFS_H
#define ZRFS_H

#include <stdint.h>

#include "zrfs/export.h"

ZRFS_EXTERN_C_BEGIN

/* ---- Root directory ------------------------------------------------------
 * Resolves every path the library opens or hands to the system (the key
 * directory, key files, device paths) under dir, so "/dev/scsi/host03/part1"
 * opens DIR/dev/scsi/host03/part1.  Call it before zrfs_Init.  NULL or ""
 * restores real paths.  Returns -1 when dir does not exist or is too long.
 * Switching roots detaches this process from the previous root's shared
 * segments, so nothing may be open when it is called. */
ZRFS_API int zrfs_SetRootDir(const char *dir);

/* ---- Allocator -----------------------------------------------------------
 * Every per-process heap block goes through zrfs_Malloc/zrfs_Free.  A host
 * may register its own pair after zrfs_Init (which restores malloc/free). */
typedef void *(*ZrfsMallocFn)(uint32_t size);
typedef void (*ZrfsFreeFn)(void *ptr);

/* Restores malloc/free.  Returns 0. */
ZRFS_API int zrfs_InitAllocatorInterface(void);
/* Registers alloc/release; a NULL in either leaves both unchanged.
 * Returns 0 in every case. */
ZRFS_API int zrfs_RegistAllocatorInterface(ZrfsMallocFn alloc, ZrfsFreeFn release);
/* The registered allocation callback, or malloc; NULL on exhaustion. */
ZRFS_API void *zrfs_Malloc(uint32_t size);
/* The registered release callback, or free.  NULL is passed on as is. */
ZRFS_API void zrfs_Free(void *ptr);

ZRFS_EXTERN_C_END

#endif /* ZRFS_H */
