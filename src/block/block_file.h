// Internal side of the block-file layer: the shared block entry, the
// per-process handle and table, and the operations the layer's files share.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "format/block_format.h"
#include "os/os.h"
#include "shared/pool_layout.h"
#include "shared/status.h"
#include "zrfs/bf.h"

namespace zrfs {

// One per block in use, in the shared pool; every process sees the same
// bytes.  `head`, `reservedEnd` and every read, write and seek of the block
// are guarded by the block's own lock (BfHandle::lockId); diskid, blkid,
// blkaddr never change after the first attachment; ShrRef is guarded by
// g_tBlkFileMutex and follows the attachment count beside the block's lock
// (see below), so attachments of killed processes drop out of it.
//
// reservedEnd is where the block's files have written or claimed room up
// to, in memory only: a write raises it before its data goes out, and a
// ring claims its whole room when its file is made.  The next file of the
// block starts behind both it and appendPos, so a file created while
// another one grows never starts inside bytes already written.
//
// filesCovered: after a crash the block header on disk may lag behind its
// files (see CoverFiles).  An entry made afresh is raised over its files'
// headers the first time anything asks where the next file starts, not at
// attachment: readers, which never place anything, then never scan the
// header area.
struct BfShareEntry {
  BlkHeader head;         // the block header; changed here, then written to sector 0
  int32_t diskid;         // disk number
  int32_t blkid;          // block number on that disk
  int32_t ShrRef;         // attachments summed over all processes
  uint32_t reservedEnd;   // block offset; see above
  int64_t blkaddr;        // byte address of the block on the device
  uint32_t poolSlot;      // 1024.. : selects the entry's segment key and lock key
  uint32_t filesCovered;  // 1 once head and reservedEnd cover every file header
};
static_assert(sizeof(BfShareEntry) == kBlockEntrySize);
static_assert(offsetof(BfShareEntry, head) == 0);
static_assert(offsetof(BfShareEntry, diskid) == 512);
static_assert(offsetof(BfShareEntry, blkid) == 516);
static_assert(offsetof(BfShareEntry, ShrRef) == 520);
static_assert(offsetof(BfShareEntry, ShrRef) == kBlockKind.shrRefOffset);
static_assert(offsetof(BfShareEntry, reservedEnd) == 524);
static_assert(offsetof(BfShareEntry, blkaddr) == 528);
static_assert(offsetof(BfShareEntry, poolSlot) == 536);
static_assert(offsetof(BfShareEntry, poolSlot) == kBlockKind.poolSlotOffset);
static_assert(offsetof(BfShareEntry, filesCovered) == 540);

// The block's lock set counts, beside the lock and with SEM_UNDO, the
// processes writing to the block's files and every attachment of the block.
inline constexpr unsigned short kWritersCount = 1;
inline constexpr unsigned short kAttachmentsCount = 2;
static_assert(kAttachmentsCount == kBlockKind.holdersCount);

}  // namespace zrfs

// One per block in use per process; private to the process.
struct BfHandle {
  int Fd;                     // the disk's device, opened by this handle; -1 after close
  int errNo;                  // last transfer: 0, 5 or 28 (guarded by lockId)
  int blkidx;                 // slot in the block-file table
  int InRef;                  // attachments in this process (g_tBlkFileMutex)
  zrfs::BfShareEntry *share;  // the block's shared entry
  int lockId;                 // the block's process lock
};
#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(sizeof(BfHandle) == 24, "the recorder's handle layout");
#endif

namespace zrfs {

// errNo is set under the block's lock by the transfer that ends, and read
// without it: a reader wants the last value, not a lock round trip per
// transfer (which would not make the pair "transfer, then read" atomic
// anyway: another thread may transfer in between).
inline void SetErrNo(BfHandle *h, int value) {
  std::atomic_ref<int>(h->errNo).store(value, std::memory_order_relaxed);
}
inline int LoadErrNo(BfHandle *h) {
  return std::atomic_ref<int>(h->errNo).load(std::memory_order_relaxed);
}

inline constexpr int kBlockFileSlots = 1024;
inline constexpr int kEioError = 5;
inline constexpr int kNoSpaceError = 28;

// The process's block-file table, guarded by g_tBlkFileMutex.
extern BfHandle *g_stBlkFileTable[kBlockFileSlots];

// A record-file name taken apart.  Valid only for names with at least 23
// characters before the first full stop, hexadecimal block and file-number
// fields, and a file number of 1..4095 (0 would address the block header,
// higher numbers the data area).
struct RecordName {
  int32_t disk;
  int32_t blk;
  uint32_t fileNo;
  const char *tag;  // the 4 tag characters inside the name
};
bool ParseRecordName(const char *name, RecordName *out);
// bf_MakeFileName: the 24 leading characters of a record file's name and a
// NUL into name; a blank identity (first byte 0) gets "ZRND" and a new tag.
void MakeFileName(uint32_t disk, uint32_t blk, uint32_t fileNo, char *name, char *identity,
                  uint32_t lockFlag);

// A format retired the handle's entry: the block it stood for belongs to a
// layout that no longer exists, so nothing may be read or written through
// it any more.
bool Retired(const BfHandle *h);

// Where the next record file of the block starts: behind the append
// position and everything reserved, on a 4 KiB boundary.  Callers hold the
// block's lock.  The first call on an entry made afresh reads the block's
// file headers (CoverFiles); scan is the header-scan buffer when the caller
// holds g_tBlkMutex, else null (the headers are then read in small pieces).
uint64_t NextFileStart(BfHandle *h, uint8_t *scan);
// Raises a fresh entry's append position and reservation over its files'
// headers (once per entry; filesCovered).  False when they cannot be read:
// the next caller tries again.  Callers hold the block's lock.
bool CoverFiles(BfHandle *h, uint8_t *scan);
// Raises the entry's reservation over [.., end), on a 4 KiB boundary.
// Callers hold the block's lock.
void ReserveRoom(BfShareEntry &entry, uint64_t end);

// Record-file data.  Like bf_Read and bf_Write, but each transfer stays in
// the block's data area and a write stays below the file's growth limit:
// the block's end for the block's newest file, else the start of the next
// file.  A write past the limit writes nothing and sets error 28, like one
// past the block's end.  Reads are clipped to the limit only when asked
// (a ring not fixed yet, whose reads no header field bounds).  A write
// reserves the room it fills before its data goes out.
//
// A write given an EndUpdate also moves its file's end when it grows the
// file: it sets EndAddr and modifyTime in the header and writes the block
// header and the file header, under the same hold of the block's lock as
// the data.
struct EndUpdate {
  TfFileHeader *header;  // the file's header, guarded by the file's lock
  int64_t now;           // seconds, the new modifyTime
};
int WriteFileData(BfHandle *h, uint32_t fileNo, uint32_t offset, const void *buf, uint32_t len,
                  const EndUpdate *endUpdate = nullptr);
int ReadFileData(BfHandle *h, uint32_t fileNo, bool toGrowthLimit, uint32_t offset, void *buf,
                 uint32_t len);
// Reserves the file's room up to end (a truncation that lengthens it, a
// ring being fixed): 0, or -1 when end is past its growth limit or the
// block is not usable.
int ClaimFileRoom(BfHandle *h, uint32_t fileNo, uint64_t end);

// Live writers of the block's files, counted by the system across
// processes: a process adds itself for every file it writes and drops out
// when it lets go of the file or dies.  A block with live writers takes no
// new file.  LiveWriters is 0 when the count is unknown.
void AddWriter(BfHandle *h);
// bf_CreateFile, and with countWriter the creator counted as a live writer
// of the block before any other file can be created.
BfHandle *CreateRecordFile(const FileCreateParam *param, char *name, TfFileHeader *header,
                           bool countWriter);
// bf_OpenFile: the block of an existing record file, attached, with the
// file's header read into *header; null when there is no such file.
BfHandle *OpenRecordFile(const char *name, TfFileHeader *header);
void DropWriter(BfHandle *h);
int LiveWriters(BfHandle *h);

// After a create found no room that a recorded block may give (see
// disk/policy.h): gives back the oldest block nothing protects, from the
// disk or from the channel's own blocks.  kNoSpace when none qualifies.
// Under g_tBlkMutex.
struct RoomRefusal;
Status GiveBackOldestBlock(const RoomRefusal &refused);

// Attaches block (disk, blk): the process's handle with one more attachment,
// made (and the shared entry with it) when needed.  Blocks the disk does not
// have are refused.  Callers that create or remove files hold g_tBlkMutex.
BfHandle *AttachBlock(const int32_t diskAndBlock[2]);
// Drops one attachment; the last one closes the device and frees the handle.
void DetachBlock(BfHandle *h);

// Write one header sector back.  Callers hold the block's lock.
int WriteFileHeader(const TfFileHeader *header, BfHandle *h);
int WriteBlkHeader(BfHandle *h);
// The same for a caller that has just found the disk ready and present, so
// an append that writes data and both headers asks once.
int WriteFileHeaderOnPresentDisk(const TfFileHeader *header, BfHandle *h);
int WriteBlkHeaderOnPresentDisk(BfHandle *h);

// Reads one 512-byte sector at a block offset; false (and the block tagged
// bad) when the device fails.  Callers hold the block's lock.
bool ReadBlockSector(BfHandle *h, uint64_t blockOffset, void *sector);

// The newest modification time among the block's record files, with file
// fileNo's taken as `own` (0: as if it were gone); -1 when the headers
// cannot be read.  Keeps the block header's newest time exact when the
// file that held it changes its time or goes.  Callers hold the block's
// lock.
int64_t NewestModifyTime(BfHandle *h, uint32_t fileNo, int64_t own);

// Reads the header slots of file numbers 1..last (at most kMaxFileNo) into
// buffer, bufferBytes (a multiple of 512) at a time, and calls
// visit(sectors, firstNo, count) on each piece, with firstNo the file
// number of its first slot; false at the first failed read or when visit
// says false.  Callers hold the block's lock.
template <typename Visit>
bool EachFileSlot(BfHandle *h, uint8_t *buffer, uint32_t bufferBytes, uint32_t last, Visit visit) {
  uint32_t perPiece = bufferBytes / kSectorSize;
  if (last > kMaxFileNo) last = kMaxFileNo;
  for (uint32_t first = 1; first <= last; first += perPiece) {
    uint32_t count = last + 1 - first < perPiece ? last + 1 - first : perPiece;
    size_t bytes = size_t{count} * kSectorSize;
    uint64_t address = static_cast<uint64_t>(h->share->blkaddr) + uint64_t{first} * kSectorSize;
    if (ReadFully(h->Fd, buffer, bytes, address) != static_cast<ssize_t>(bytes)) return false;
    if (!visit(buffer, first, count)) return false;
  }
  return true;
}

// The process's 512 KiB buffer for scans of the header area, made once.
// Used only under g_tBlkMutex.  Null when it cannot be made.
uint8_t *HeaderScanBuffer();
inline constexpr uint32_t kScanPieceBytes = 0x80000;

// The layer's core, behind its C functions (c_api.cc).
//
// bf_Init: clears the table, finds the layer's two locks, starts the disk
// layer.
Status StartBlockLayer();
// bf_Read: up to len bytes at a block offset; *done tells how many.
Status ReadBlock(BfHandle *h, uint32_t offset, void *buf, uint32_t len, uint32_t *done);
// bf_Write: all len bytes at a block offset, or none past the block's end.
Status WriteBlock(BfHandle *h, uint32_t offset, const void *buf, uint32_t len);
// bf_Sync: writes a record file's header and brings the block header up to
// date, the block header first.
Status SyncHeaders(BfHandle *h, const TfFileHeader &header);
// bf_Unlink: clears the file's header, counts it out of its block and
// gives the block back with its last file.
Status UnlinkRecordFile(const char *name);
// bf_GetBlockFileNum: the files a block holds (0 when it cannot be told).
Status CountBlockFiles(const char *diskPath, int blk, int *count);
// bf_BlockStat: the status records of a block's files (at most max).
Status StatBlockFiles(const char *diskPath, int blk, TfFileStat *st, int max, int *filled);
// bf_GetDebugInfo: the block-file table as text, then the disk section.
int DumpBlockFiles(char *buf, int size);

}  // namespace zrfs
