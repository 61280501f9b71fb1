// One block's header area taken apart: the block header and the record-file
// header slots 1..4095.
#pragma once

#include <cstdint>
#include <vector>

#include "check/raw_disk.h"
#include "format/block_format.h"

namespace zrfs::tool {

struct FileSlot {
  uint32_t slot;        // sector index in the header area
  TfFileHeader header;  // as read (or with the magic restored, see below)
  bool magicDamaged;    // looked like a record file whose magic is broken
};

struct BlockScan {
  bool read = false;  // the header area could be read
  BlkHeader head{};
  bool headZero = false;
  std::vector<FileSlot> files;         // slots holding a record file
  std::vector<uint32_t> unknownSlots;  // slots with bytes that are no header
  uint32_t highestSlot = 0;            // highest slot with a file or a deleted file's number
};

// Reads and takes apart the header area of the block at address.  With
// quick set, a free block is read only as far as needed to see that its
// first 64 KiB are empty.
BlockScan ScanBlock(const RawDisk &disk, uint64_t address, bool quick);

// The block header is one the block-file layer could have written.
bool BlockHeadPlausible(const BlkHeader &head, uint64_t unitSize);

// The magic of a record-file header ("ZRND", case ignored like the library).
bool HasFileMagic(const TfFileHeader &header);

// The four tag characters are hexadecimal digits.
bool TagLooksValid(const TfFileHeader &header);

}  // namespace zrfs::tool
