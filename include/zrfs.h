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

#include <pthread.h>
#include <stddef.h>
#include <stdint.h>

#include "zrfs/export.h"

ZRFS_EXTERN_C_BEGIN

/* ---- Version -------------------------------------------------------------
 * The version of this header; zrfs_Version() gives the version of the
 * library a program runs with, "MAJOR.MINOR.PATCH".  The build reads these
 * three lines: they are the project's one statement of its version.  A new
 * MAJOR changes the shared library's soname. */
#define ZRFS_VERSION_MAJOR 0
#define ZRFS_VERSION_MINOR 1
#define ZRFS_VERSION_PATCH 0

/* The library's version as a static NUL-terminated string; any time, also
 * before zrfs_Init. */
ZRFS_API const char *zrfs_Version(void);

/* ---- Records that callers fill or receive --------------------------------
 * Byte layouts are part of the interface and the same on every target. */

/* What a new record file is made from (zrfs_Open with a parameter block). */
typedef struct FileCreateParam {
  uint32_t ichan;      /*  0: channel, 0..1023 */
  int32_t createTime;  /*  4: creation time, seconds since the epoch */
  uint32_t kind;       /*  8: data type; 1 = starts with a pre-record ring,
                              2 = created locked; decides the block type */
  int32_t preRecSize;  /* 12: kind 1: bytes of the pre-record ring, 0 up to
                              a block's data area less 3 MiB (1019 MiB - 1 on
                              1 GiB blocks); others are refused */
  int32_t recType;     /* 16: the application's record type */
  uint8_t reserved[4]; /* 20: not read */
  char diskPath[64];   /* 24: NUL-terminated device path naming the disk */
  char extName[40];    /* 88: NUL-terminated extension appended to the name */
} FileCreateParam;
ZRFS_LAYOUT_CHECK(sizeof(FileCreateParam) == 128, file_create_param_size);
ZRFS_LAYOUT_CHECK(offsetof(FileCreateParam, kind) == 8, file_create_param_kind);
ZRFS_LAYOUT_CHECK(offsetof(FileCreateParam, preRecSize) == 12, file_create_param_pre_rec_size);
ZRFS_LAYOUT_CHECK(offsetof(FileCreateParam, recType) == 16, file_create_param_rec_type);
ZRFS_LAYOUT_CHECK(offsetof(FileCreateParam, diskPath) == 24, file_create_param_disk_path);
ZRFS_LAYOUT_CHECK(offsetof(FileCreateParam, extName) == 88, file_create_param_ext_name);

/* How recordings use the disk.
 *  - Blocks: every (channel, kind) that records holds a 1 GiB block of its
 *    own, and a channel writing two files at once holds two.  A disk (or
 *    image) needs at least one block per channel and kind that record at
 *    the same time, plus the blocks that keep older recordings.
 *  - Times are 32-bit seconds since the epoch (createTime, the status
 *    record's times): they run until January 2038.
 *  - The pre-record ring (kind 1).  A new ring file is written continuously
 *    from position 0 round its ring: the application wraps its positions
 *    itself (zrfs_Seek back to 0) and reads before the ring is fixed see the
 *    bytes from the ring's start.  At a key frame the application fixes the
 *    ring with zrfs_UpdataePreRecPtr(fd, oldest, newest): offsets into the
 *    ring of its oldest valid byte and just past its newest, both below
 *    the ring's size (others are refused: ZRFS_EBADARG).  From then on
 *    the file reads as the ring's valid bytes in recording order (oldest up
 *    to the ring's end, then from its start up to newest), followed by the
 *    main recording, which the next writes append.  Equal offsets mean a
 *    full ring (every byte of it, oldest first at that offset); there is no
 *    empty fixed ring: a recording with nothing to keep before its start is
 *    made without one (kind 0).  Fixing again empties the main recording.
 *  - A read that starts at or past the end of a file returns -1 (reason
 *    ZRFS_EEOF); one that crosses the end returns the bytes before it.
 *  - Names: zrfs_Open writes the new name into a buffer of ZRFS_NAME_MAX
 *    bytes.  The name spells the disk, block, file number and a random tag,
 *    which find the file, then its lock state and the extension.  Calls
 *    always find the file by the name it was created with, but the names
 *    zrfs_BlockStat lists are made from the header:
 *    after zrfs_Lock they show the new lock state, and an extension longer
 *    than 7 characters shows only its first 7. */

/* Size of the buffer that receives a new record file's name: 24 characters,
 * the extension (at most 39 characters, NUL-terminated inside extName) and a
 * NUL.  An extName without a NUL in its 40 bytes is refused. */
#define ZRFS_NAME_MAX 64

/* Longest name, with the NUL, that the calls taking a record file's name
 * accept.  A name may stand behind a directory part without full stops (a
 * device path there names the disk); the file is found by the disk, block,
 * file number and tag the name spells, so names of any length up to this
 * limit never stand for another file.  Longer names are refused. */
#define ZRFS_PATH_MAX 256

/* Seconds and nanoseconds of a 32-bit time stamp. */
typedef struct ZrfsTimeSpec32 {
  int32_t tv_sec;
  uint32_t tv_nsec;
} ZrfsTimeSpec32;

/* Seconds and microseconds, the two 32-bit words of a 32-bit timeval. */
typedef struct ZrfsTimeVal32 {
  int32_t tv_sec;
  int32_t tv_usec;
} ZrfsTimeVal32;

/* The status record of a record file.  Bytes 0..103 have the layout of the
 * 32-bit ARM stat64; of those only st_size, st_blocks, st_mtime and st_ctime
 * are filled, the rest keep what the caller's buffer held.  The times are
 * st_mtim.tv_sec and st_ctim.tv_sec, which <sys/stat.h> (POSIX 2008) also
 * lets a program spell st_mtime and st_ctime. */
typedef struct TfFileStat {
  uint64_t st_dev;        /*   0: not filled */
  uint8_t pad0[4];        /*   8 */
  uint32_t st_ino32;      /*  12: not filled */
  uint32_t st_mode;       /*  16: not filled */
  uint32_t st_nlink;      /*  20: not filled */
  uint32_t st_uid;        /*  24: not filled */
  uint32_t st_gid;        /*  28: not filled */
  uint64_t st_rdev;       /*  32: not filled */
  uint8_t pad1[8];        /*  40 */
  int64_t st_size;        /*  48: logical size: ring bytes plus main data */
  uint32_t st_blksize;    /*  56: not filled */
  uint8_t pad2[4];        /*  60 */
  int64_t st_blocks;      /*  64: st_size / 512 */
  ZrfsTimeSpec32 st_atim; /*  72: not filled */
  ZrfsTimeSpec32 st_mtim; /*  80: seconds: modification time */
  ZrfsTimeSpec32 st_ctim; /*  88: seconds: modification time */
  uint64_t st_ino;        /*  96: not filled */
  uint64_t ichan;         /* 104: channel */
  uint64_t lockFlag;      /* 112: lock state */
  int64_t recType;        /* 120: record type */
  int64_t createTime;     /* 128: creation time, seconds */
  uint8_t usrParam[32];   /* 136: the application's parameters */
  char filename[64];      /* 168: name of the file */
} TfFileStat;
ZRFS_LAYOUT_CHECK(sizeof(TfFileStat) == 232, tf_file_stat_size);
ZRFS_LAYOUT_CHECK(offsetof(TfFileStat, st_ino32) == 12, tf_file_stat_st_ino32);
ZRFS_LAYOUT_CHECK(offsetof(TfFileStat, st_rdev) == 32, tf_file_stat_st_rdev);
ZRFS_LAYOUT_CHECK(offsetof(TfFileStat, st_size) == 48, tf_file_stat_st_size);
ZRFS_LAYOUT_CHECK(offsetof(TfFileStat, st_blksize) == 56, tf_file_stat_st_blksize);
ZRFS_LAYOUT_CHECK(offsetof(TfFileStat, st_blocks) == 64, tf_file_stat_st_blocks);
ZRFS_LAYOUT_CHECK(offsetof(TfFileStat, st_atim) == 72, tf_file_stat_st_atim);
ZRFS_LAYOUT_CHECK(offsetof(TfFileStat, st_mtim) == 80, tf_file_stat_st_mtim);
ZRFS_LAYOUT_CHECK(offsetof(TfFileStat, st_ctim) == 88, tf_file_stat_st_ctim);
ZRFS_LAYOUT_CHECK(offsetof(TfFileStat, st_ino) == 96, tf_file_stat_st_ino);
ZRFS_LAYOUT_CHECK(offsetof(TfFileStat, ichan) == 104, tf_file_stat_ichan);
ZRFS_LAYOUT_CHECK(offsetof(TfFileStat, lockFlag) == 112, tf_file_stat_lock_flag);
ZRFS_LAYOUT_CHECK(offsetof(TfFileStat, recType) == 120, tf_file_stat_rec_type);
ZRFS_LAYOUT_CHECK(offsetof(TfFileStat, createTime) == 128, tf_file_stat_create_time);
ZRFS_LAYOUT_CHECK(offsetof(TfFileStat, usrParam) == 136, tf_file_stat_usr_param);
ZRFS_LAYOUT_CHECK(offsetof(TfFileStat, filename) == 168, tf_file_stat_filename);

/* ---- Root directory ------------------------------------------------------
 * Resolves every path the library opens or hands to the system (the key
 * directory, key files, device paths) under dir, so "/dev/scsi/host03/part1"
 * opens DIR/dev/scsi/host03/part1.  Call it before zrfs_Init.  NULL or ""
 * restores real paths.  Returns -1 when dir does not exist or is too long.
 * Switching roots detaches this process from the previous root's shared
 * segments, so nothing may be open when it is called. */
ZRFS_API int zrfs_SetRootDir(const char *dir);

/* ---- The library's System V objects --------------------------------------
 * Every shared segment and semaphore set the library keeps for a root
 * directory (as given to zrfs_SetRootDir; NULL or "" for real paths), found
 * from its key files without making any.  For tools that show them and for
 * clearing a root once no process uses it. */
#define ZRFS_IPC_SEGMENT 0
#define ZRFS_IPC_SEMAPHORES 1
typedef struct ZrfsIpcObject {
  int32_t kind; /* ZRFS_IPC_SEGMENT or ZRFS_IPC_SEMAPHORES */
  int32_t key;
  int32_t id;
  int32_t slot;  /* pool slot 0..2071, or -1 for the file list, pool and table locks */
  char role[48]; /* "pool", "disk 3 image", "lock of block slot 1030", ... */
} ZrfsIpcObject;
ZRFS_LAYOUT_CHECK(sizeof(ZrfsIpcObject) == 64, zrfs_ipc_object_size);

/* Fills out with up to max objects; returns how many exist (more than max
 * when out was too small), or -1 for a root that is too long. */
ZRFS_API int zrfs_ListIpcObjects(const char *rootDir, ZrfsIpcObject *out, int max);
/* Removes them all; returns how many went, or -1.  A segment still
 * attached goes when its last process detaches: call it only when no
 * process uses the root. */
ZRFS_API int zrfs_RemoveIpcObjects(const char *rootDir);
/* Processes that have disk number `disk` (0..23) mounted under rootDir now,
 * read from the disk's shared image without changing it: 0 when it has
 * none, -1 for a bad argument or an image that cannot be read. */
ZRFS_API int zrfs_DiskUsers(const char *rootDir, int disk);

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

/* ---- Disk records ----------------------------------------------------------
 * Records the caller allocates for the disk statistics calls. */

/* Disk totals, laid out like the first five fields of struct statfs64 (the
 * caller's record may be larger; only these 32 bytes are written). */
typedef struct DfStatfs {
  uint32_t f_type;   /* 0x5A524653: "ZRFS" as a big-endian number */
  uint32_t f_bsize;  /* 512 */
  uint64_t f_blocks; /* 512-byte sectors of all blocks */
  uint64_t f_bfree;  /* 512-byte sectors of the free blocks */
  uint64_t f_bavail; /* same as f_bfree */
} DfStatfs;
ZRFS_LAYOUT_CHECK(sizeof(DfStatfs) == 32, df_statfs_size);
ZRFS_LAYOUT_CHECK(offsetof(DfStatfs, f_type) == 0, df_statfs_type);
ZRFS_LAYOUT_CHECK(offsetof(DfStatfs, f_bsize) == 4, df_statfs_bsize);
ZRFS_LAYOUT_CHECK(offsetof(DfStatfs, f_blocks) == 8, df_statfs_blocks);
ZRFS_LAYOUT_CHECK(offsetof(DfStatfs, f_bfree) == 16, df_statfs_bfree);
ZRFS_LAYOUT_CHECK(offsetof(DfStatfs, f_bavail) == 24, df_statfs_bavail);

/* One used block, as listed by the used-block call (an array of these). */
typedef struct DfBlockInfo {
  uint32_t blkid;
  uint32_t reserved0;  /* not written */
  uint64_t createTime; /* seconds, from the block header */
  uint32_t fileNum;    /* record files in the block */
  uint32_t reserved1;  /* not written */
} DfBlockInfo;
ZRFS_LAYOUT_CHECK(sizeof(DfBlockInfo) == 24, df_block_info_size);
ZRFS_LAYOUT_CHECK(offsetof(DfBlockInfo, blkid) == 0, df_block_info_blkid);
ZRFS_LAYOUT_CHECK(offsetof(DfBlockInfo, createTime) == 8, df_block_info_create_time);
ZRFS_LAYOUT_CHECK(offsetof(DfBlockInfo, fileNum) == 16, df_block_info_file_num);
/* ---- end of disk records ---- */

/* ---- Start-up ------------------------------------------------------------
 * zrfs_Init: once per process, before any other call but zrfs_SetRootDir and
 * zrfs_Version.
 * Makes the key directory when missing, clears the descriptor table, restores
 * malloc/free and starts the lower layers (shared segments, process locks,
 * the disk layer's flushing thread).  0, or -1 when a disk's process lock
 * cannot be made.
 * zrfs_DeInit: syncs writable descriptors and closes every descriptor; shared
 * objects and the thread stay.  Always 0. */
ZRFS_API int zrfs_Init(void);
ZRFS_API int zrfs_DeInit(void);
/* The descriptor-table mutex (held only for a slot look-up, claim or
 * release; never across a call into the lower layers). */
ZRFS_API extern pthread_mutex_t g_tZrFsMutex;

/* ---- Descriptors ---------------------------------------------------------
 * zrfs_Open(NULL, name, flags) opens the record file called name;
 * zrfs_Open(param, nameOut, flags) creates one from param and writes its name
 * (at most ZRFS_NAME_MAX bytes with the NUL) into nameOut.  flags: 0 read
 * only, 1 write only, 2 (or 3) read and write.  Returns a descriptor >= 0, or
 * -1 (NULL name, 1024 descriptors open, no such file, disk not ready, no
 * room).  zrfs_Close always returns 0.
 *
 * Files of one channel never overlap.  A new file starts behind every byte
 * the channel's files hold; while a file of the channel's current block is
 * open for writing (by a live process), a new file of the channel goes to
 * another block, so both can grow.  A file that is no longer the last of its
 * block (reopened after another file followed it) can be written only up to
 * where the next file starts: a write past that point fails with error 28,
 * like one past the end of the block.  After a format, descriptors opened
 * before it fail every read and write with error 5. */
ZRFS_API int zrfs_Open(FileCreateParam *param, char *name, int flags);
ZRFS_API int zrfs_Close(int fd);

/* Reads/writes at the descriptor's position and advances it.  Bytes moved,
 * 0 for len 0, -1 on failure (then zrfs_error tells 5 for an I/O failure or
 * an absent disk, 28 for a full block). */
ZRFS_API int zrfs_Read(int fd, void *buf, uint32_t len);
ZRFS_API int zrfs_Write(int fd, const void *buf, uint32_t len);
/* whence 0 (or any other value) from the start, 1 from the position, 2 from
 * the end.  A target before the start or at/after the unit size moves to 0
 * and returns 0; otherwise returns the new position.  -1: bad descriptor. */
ZRFS_API int64_t zrfs_Seek(int fd, int64_t distance, int whence);
/* Position (low 32 bits), or -1. */
ZRFS_API int zrfs_Tell(int fd);
/* 1 at or after the end, 0 before it, -1 for a bad descriptor. */
ZRFS_API int zrfs_Eof(int fd);
/* Fills the status record; 0, or -1 for a bad descriptor (0 for a NULL
 * record on a good descriptor: a status read that fails still gives 0). */
ZRFS_API int zrfs_fstat(int fd, TfFileStat *st);
/* Writes the file's header through; -1 for read-only descriptors. */
ZRFS_API int zrfs_fsync(int fd);
/* Cuts the main data to len bytes (the ring cannot be cut into).  0 or -1. */
ZRFS_API int zrfs_ftruncate(int fd, int64_t len);
/* Fixes the pre-record ring: start and end are offsets into the ring of its
 * oldest and just past its newest valid byte.  0 or -1. */
ZRFS_API int zrfs_UpdataePreRecPtr(int fd, int32_t start, int32_t end);
/* Error number of the descriptor's last read or write: 0, 5 or 28; 0 for a
 * bad descriptor. */
ZRFS_API int zrfs_error(int fd);

/* ---- Record files by name ------------------------------------------------
 * Each opens the file for the call (needs a free descriptor slot) and
 * closes it again.  0 or -1. */
ZRFS_API int zrfs_Stat(const char *name, TfFileStat *st);
/* Lock state: 1 locked (kept when space is reclaimed), 0 unlocked. */
ZRFS_API int zrfs_Lock(const char *name, int lockFlag);
ZRFS_API int zrfs_ChangeRecType(const char *name, int recType);
/* times[1].tv_sec (the modification time of a utimes-style pair) becomes
 * the modification time. */
ZRFS_API int zrfs_ChangeTime(const char *name, const ZrfsTimeVal32 *times);
ZRFS_API int zrfs_ChangeCreateTime(const char *name, ZrfsTimeVal32 createTime);
/* Stores len (1..32) bytes at the start of the user parameter area. */
ZRFS_API int zrfs_SetUsrParam(const char *name, const void *buf, int len);
/* Deletes a record file that no process has open; its block goes back to
 * the disk with its last file.  0 or -1. */
ZRFS_API int zrfs_Unlink(const char *name);
/* Number of record files in block blk of the disk, or -1. */
ZRFS_API int zrfs_GetFileNum(const char *diskPath, int blk);

/* ---- Disks ---------------------------------------------------------------
 * A disk is named by its device path, which contains "/dev/scsi/host" and
 * the disk number 0..23. */
/* Writes a new, empty layout (every block free).  0 or -1. */
ZRFS_API int zrfs_Format(const char *diskPath);
/* Makes a formatted disk usable in this process.  0 or -1. */
ZRFS_API int zrfs_Mount(const char *diskPath);
ZRFS_API int zrfs_UnMount(const char *diskPath);
/* Totals in 512-byte units.  0 or -1 (NULL, bad disk, not mounted). */
ZRFS_API int zrfs_Statfs(const char *diskPath, DfStatfs *st);
/* Number of blocks of a mounted disk, else 0 (-1 for a NULL path). */
ZRFS_API int zrfs_GetUsedBlockNum(const char *diskPath);
/* Fills up to max records, one per used block; the count, or -1. */
ZRFS_API int zrfs_GetBlockInfo(const char *diskPath, DfBlockInfo *info, int max);
/* MiB used by (channel 0..15, data type), -1 on failure, -2 for a disk of
 * an old format or one not attached in this process. */
ZRFS_API int zrfs_GetUsedSizeOfDataType(const char *diskPath, uint32_t chan, int dataType);
/* Status records of up to max record files of block blk; the count, or -1. */
ZRFS_API int zrfs_BlockStat(const char *diskPath, int blk, TfFileStat *st, int max);
/* Marks every block touched by [offset, offset + len] of the device bad.
 * 0 (also when nothing changed) or -1. */
ZRFS_API int zrfs_TagBadUnit(const char *diskPath, uint64_t offset, uint32_t len);
/* Durability on demand.  zrfs_fsync only marks the disk for the flush
 * thread, which flushes a marked disk every 20th visit (about 21 s with one
 * disk mounted): a power cut loses up to that much of what was written.
 * zrfs_Flush returns 0 only once every write to the disk that returned
 * before the call (by any descriptor of any process) is on the device; -1
 * when the disk is not mounted here or the device fails.
 * zrfs_SetFlushInterval: the longest time, in milliseconds, that a write
 * this process made to a mounted disk stays unflushed; 0 (the default)
 * keeps the visit cadence alone.  Per process.  Always 0. */
ZRFS_API int zrfs_Flush(const char *diskPath);
ZRFS_API int zrfs_SetFlushInterval(unsigned milliseconds);
/* Retention: what a create does when it needs a block and finds none.
 * zrfs_SetRetention mode ZRFS_RETAIN_ALL (0, the default): the create
 * fails with ZRFS_ENOSPC.  Mode ZRFS_OVERWRITE_OLDEST (1): the block whose
 * newest recording is the oldest on the disk (by the block's newest
 * creation or modification time) is given back first, its recordings
 * removed as zrfs_Unlink would, among blocks none of whose recordings is
 * locked, open in any process, a ring not yet fixed or being written; when
 * none qualifies the create fails as on a full disk: ZRFS_ELOCKED when a
 * block was kept for a locked recording (unlocking gives room), else
 * ZRFS_ENOSPC.  At most one block goes per create.
 * zrfs_SetChannelQuota: the most blocks channel `chan` (0..1023) may hold,
 * 0 for no limit; a channel at its quota that needs a block first gives
 * back its own oldest qualifying block under the same rules, in either
 * mode and even while the disk has free blocks.
 * Both hold for every process that has the disk mounted, until the last of
 * them unmounts it or it is formatted; the disk must be mounted here.
 * 0 or -1 (ZRFS_EBADARG, ZRFS_ENOTMOUNTED, ...).
 * zrfs_DiskRetention reads what the processes that have disk number `disk`
 * (0..23) mounted under rootDir (NULL: the default root) share, without
 * mounting or changing anything: the defaults when none has it mounted.
 * 0, or -1 for a bad argument. */
enum { ZRFS_RETAIN_ALL = 0, ZRFS_OVERWRITE_OLDEST = 1 };
#define ZRFS_CHANNELS 1024
typedef struct ZrfsRetention {
  int32_t mode;                  /* ZRFS_RETAIN_ALL or ZRFS_OVERWRITE_OLDEST */
  uint32_t quota[ZRFS_CHANNELS]; /* blocks per channel; 0: no limit */
} ZrfsRetention;
ZRFS_LAYOUT_CHECK(sizeof(ZrfsRetention) == 4100, zrfs_retention_size);
ZRFS_API int zrfs_SetRetention(const char *diskPath, int mode);
ZRFS_API int zrfs_SetChannelQuota(const char *diskPath, unsigned chan, unsigned blocks);
ZRFS_API int zrfs_DiskRetention(const char *rootDir, int disk, ZrfsRetention *out);
/* Option mask: bit 0 switches the disk presence check off (0); no set bit
 * acted on gives -1. */
ZRFS_API int zrfs_SetOpt(uint64_t options);

/* ---- Why a call failed ---------------------------------------------------
 * zrfs_LastError: the reason of the calling thread's last zrfs_ call, 0 when
 * it succeeded.  Each thread has its own.  The layer calls (fsc_, df_, bf_,
 * tf_) may leave a reason too but do not clear it.  Results stay as they
 * are documented above: the reason only tells the -1 (or NULL) apart.
 * One exception keeps its result: the calls that change a record file by
 * name (zrfs_Lock, zrfs_ChangeRecType, zrfs_ChangeTime,
 * zrfs_ChangeCreateTime, zrfs_SetUsrParam) answer 0 once the file is open,
 * and when its header could not be written the reason is ZRFS_EIO.  The
 * allocator calls, zrfs_Version and zrfs_StrError leave the reason as it
 * was.
 * zrfs_StrError: a short static English text for a code (never NULL; an
 * unknown code gives "unknown error"). */
enum {
  ZRFS_OK = 0,
  ZRFS_EBADARG = 1,       /* bad argument: NULL, out of range, no record-file name */
  ZRFS_EBADFD = 2,        /* bad descriptor, or not open for this */
  ZRFS_ENODEV = 3,        /* no such disk or device */
  ZRFS_ENOTFORMATTED = 4, /* the device holds no zrfs layout */
  ZRFS_ENOTMOUNTED = 5,   /* the disk is not mounted in this process */
  ZRFS_ENOENT = 6,        /* no such record file */
  ZRFS_EBUSY = 7,         /* record file open elsewhere, or its block busy */
  ZRFS_ELOCKED = 8,       /* locked recordings kept the blocks a create could overwrite */
  ZRFS_ENOSPC = 9,        /* no space: no free block, or the block is full */
  ZRFS_EIO = 10,          /* I/O error, or the disk is absent */
  ZRFS_EFULL = 11,        /* a table or the shared pool is full */
  ZRFS_ENOMEM = 12,       /* out of memory */
  ZRFS_ENOLCK = 13,       /* a process lock could not be taken (shared state removed,
                             or zrfs_Init not called) */
  ZRFS_EEOF = 14          /* read at or past the end of the record file */
};
ZRFS_API int zrfs_LastError(void);
ZRFS_API const char *zrfs_StrError(int code);

/* ---- Diagnostics ---------------------------------------------------------
 * Plain text of this process's descriptors, record files, block files and
 * disks into buf.  Returns the length the whole text has (like snprintf: a
 * result >= size means it was cut); 0 for NULL or size < 1024. */
ZRFS_API int zrfs_GetDebugInfo(char *buf, int size);

/* ---- Read-only view of a disk --------------------------------------------
 * For browsing and exporting recordings on a PC.  zrfs_ViewOpen opens a
 * device or image file read-only, whether recorders have it mounted or not,
 * (under the root directory, as every path) and never writes, locks or
 * attaches shared memory: no zrfs_Init is
 * needed.  The disk's header and map are read at open and by
 * zrfs_ViewRefresh (from the first copy that reads whole, as a mount would);
 * block and record-file headers are read at each call, so a recording that
 * grows shows its current size.  Files are named as on disk number disk
 * (0..23), the disk an image was recorded as; -1 takes the number from the
 * path (0 for a path that spells none).  Calls on one view may
 * run in several threads at once, but not beside its refresh or close.
 * Results are 0 or a count, -1 (or NULL) with a reason from zrfs_LastError. */
typedef struct ZrfsView ZrfsView;
typedef struct ZrfsViewInfo {
  uint32_t version;    /*  0: format version */
  uint32_t blocks;     /*  4: blocks of the disk */
  uint64_t unitSize;   /*  8: bytes per block */
  int64_t createTime;  /* 16: when it was formatted, seconds */
  uint32_t usedBlocks; /* 24 */
  uint32_t freeBlocks; /* 28 */
  uint32_t badBlocks;  /* 32 */
  uint32_t reserved;   /* 36: 0 */
} ZrfsViewInfo;
ZRFS_LAYOUT_CHECK(sizeof(ZrfsViewInfo) == 40, zrfs_view_info_size);
ZRFS_LAYOUT_CHECK(offsetof(ZrfsViewInfo, unitSize) == 8, zrfs_view_info_unit_size);
ZRFS_LAYOUT_CHECK(offsetof(ZrfsViewInfo, usedBlocks) == 24, zrfs_view_info_used_blocks);
/* A used block as its header tells it. */
typedef struct ZrfsViewBlock {
  uint32_t blkid;      /*  0 */
  uint32_t fileNum;    /*  4: record files in the block */
  uint32_t lastFileNo; /*  8: newest file number handed out (only grows) */
  uint32_t ichan;      /* 12: channel of the newest file */
  uint32_t blkType;    /* 16: block type */
  uint32_t reserved;   /* 20: 0 */
  int64_t createTime;  /* 24: seconds */
  int64_t modifyTime;  /* 32: seconds, newest change of its files */
} ZrfsViewBlock;
ZRFS_LAYOUT_CHECK(sizeof(ZrfsViewBlock) == 40, zrfs_view_block_size);
ZRFS_LAYOUT_CHECK(offsetof(ZrfsViewBlock, createTime) == 24, zrfs_view_block_create_time);
ZRFS_API ZrfsView *zrfs_ViewOpen(const char *path, int disk);
ZRFS_API void zrfs_ViewClose(ZrfsView *view);
ZRFS_API int zrfs_ViewRefresh(ZrfsView *view);
ZRFS_API int zrfs_ViewInfo(ZrfsView *view, ZrfsViewInfo *info);
/* One record per used block, up to max; the count. */
ZRFS_API int zrfs_ViewBlocks(ZrfsView *view, ZrfsViewBlock *blocks, int max);
/* Status records (with names) of up to max record files of a used block. */
ZRFS_API int zrfs_ViewBlockFiles(ZrfsView *view, int blk, TfFileStat *st, int max);
ZRFS_API int zrfs_ViewStat(ZrfsView *view, const char *name, TfFileStat *st);
/* Up to len logical bytes of a record file from offset (the valid ring
 * bytes, then the main recording): the count, 0 at or past its end. */
ZRFS_API int zrfs_ViewRead(ZrfsView *view, const char *name, uint64_t offset, void *buf,
                           uint32_t len);

ZRFS_EXTERN_C_END

#endif /* ZRFS_H */
