// On-disk records of a block's 2 MiB header area.  Plain structs and
// constants only: the disk layer reads block headers through this file
// without depending on any block-file code.
//
// Block layout (offsets from the block's first byte):
//   0 .. 511                  BlkHeader
//   512*n .. 512*n+511        TfFileHeader of file number n, n = 1..4095
//   0x200000 .. unitSize      data area: the record files' bytes
// All integers are little-endian.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zrfs {

inline constexpr uint32_t kSectorSize = 512;
inline constexpr uint32_t kHeaderAreaSize = 0x200000;                      // 2 MiB
inline constexpr uint32_t kMaxFileNo = kHeaderAreaSize / kSectorSize - 1;  // 4095
inline constexpr uint32_t kAppendAlign = 4096;  // appendPos is raised in these steps
// Room a block must have left behind a new file's start, beyond its ring,
// to take the file.
inline constexpr uint32_t kNewFileSpareBytes = 0x300000;

// Sector 0 of a block: which record files it holds and where the next one's
// data begins.  All zero in a block that has never held a record file.
struct BlkHeader {
  uint32_t hdrAreaSize;    // bytes of the header area (0x200000) once used
  uint32_t inUse;          // 1 once the block has received its first record file
  int64_t createTime;      // seconds; of the file created while the block was empty
  int64_t modifyTime;      // seconds; newest modifyTime of the block's files
  uint32_t ichan;          // channel of the most recently created file
  uint32_t blkType;        // fsc_GetBlkType of that file's kind
  uint32_t returnBlk;      // 0, or 1 + the block the channel left for this one
                           // while a file there could still grow; the channel
                           // goes back there once nothing in it grows
  uint8_t reserved1[8];    // zero
  uint32_t fileNum;        // record files that exist in the block
  int64_t dataOffset;      // 0x200000 once used
  int64_t appendPos;       // block offset where the next file's data begins
  uint32_t lastFileNo;     // newest file number handed out; only grows
  uint8_t reserved2[444];  // zero
};
static_assert(sizeof(BlkHeader) == 512);
static_assert(offsetof(BlkHeader, hdrAreaSize) == 0);
static_assert(offsetof(BlkHeader, inUse) == 4);
static_assert(offsetof(BlkHeader, createTime) == 8);
static_assert(offsetof(BlkHeader, modifyTime) == 16);
static_assert(offsetof(BlkHeader, ichan) == 24);
static_assert(offsetof(BlkHeader, blkType) == 28);
static_assert(offsetof(BlkHeader, returnBlk) == 32);
static_assert(offsetof(BlkHeader, reserved1) == 36);
static_assert(offsetof(BlkHeader, fileNum) == 44);
static_assert(offsetof(BlkHeader, dataOffset) == 48);
static_assert(offsetof(BlkHeader, appendPos) == 56);
static_assert(offsetof(BlkHeader, lastFileNo) == 64);
static_assert(offsetof(BlkHeader, reserved2) == 68);

// Sector fileNo of a block: one record file.  Block offsets count from the
// block's first byte.  Bytes 8..15 (magic and tag) are the identity.
struct TfFileHeader {
  uint32_t fileNo;          // 1..4095: the header's sector and the name's file number
  uint32_t reserved1;       // zero
  char magic[4];            // "ZRND"
  char tag[4];              // four upper-case hex digits, repeated in the name
  char extName[8];          // up to 7 characters of the extension, NUL-padded
  uint32_t ichan;           // channel given at creation
  uint32_t lockFlag;        // 2 for kind 2 at creation, else 0; set by locking calls
  int64_t createTime;       // seconds
  int64_t modifyTime;       // seconds; 0 at creation
  int64_t recType;          // application's record type
  uint64_t preStart;        // block offset of the pre-record ring; 0 without one
  uint64_t preEnd;          // block offset just past the ring; 0 without one
  uint64_t preRecStartPtr;  // oldest valid byte in the ring; 0 until fixed
  uint64_t preRecEndPtr;    // just past the newest valid ring byte; 0 until fixed
  uint64_t StartAddr;       // block offset where the main data starts
  uint64_t EndAddr;         // block offset just past the main data
  uint8_t usrParam[32];     // application's parameter area
  uint8_t reserved2[376];   // zero
};
static_assert(sizeof(TfFileHeader) == 512);
static_assert(offsetof(TfFileHeader, fileNo) == 0);
static_assert(offsetof(TfFileHeader, reserved1) == 4);
static_assert(offsetof(TfFileHeader, magic) == 8);
static_assert(offsetof(TfFileHeader, tag) == 12);
static_assert(offsetof(TfFileHeader, extName) == 16);
static_assert(offsetof(TfFileHeader, ichan) == 24);
static_assert(offsetof(TfFileHeader, lockFlag) == 28);
static_assert(offsetof(TfFileHeader, createTime) == 32);
static_assert(offsetof(TfFileHeader, modifyTime) == 40);
static_assert(offsetof(TfFileHeader, recType) == 48);
static_assert(offsetof(TfFileHeader, preStart) == 56);
static_assert(offsetof(TfFileHeader, preEnd) == 64);
static_assert(offsetof(TfFileHeader, preRecStartPtr) == 72);
static_assert(offsetof(TfFileHeader, preRecEndPtr) == 80);
static_assert(offsetof(TfFileHeader, StartAddr) == 88);
static_assert(offsetof(TfFileHeader, EndAddr) == 96);
static_assert(offsetof(TfFileHeader, usrParam) == 104);
static_assert(offsetof(TfFileHeader, reserved2) == 136);

}  // namespace zrfs
