// What the subcommands that list a mounted disk share: the disk's shared
// image as the library holds it, and block and record-file headers read raw.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "check/raw_disk.h"
#include "format/block_format.h"
#include "format/disk_format.h"
#include "session.h"

namespace zrfs::tool {

// What a mount would load of the disk's metadata, read from the device.
struct DiskSnapshot {
  DfDiskHeader head{};
  std::vector<uint8_t> map;
  std::vector<uint32_t> cnt;  // [type * kChannels + channel]
};
DiskSnapshot TakeSnapshot(const Session &session);

// The used blocks, lowest id first, as the library lists them.
std::vector<int32_t> UsedBlocks(const DiskSnapshot &snap);

// Header of a block, and of one record file of it, read from the device.
bool ReadBlockHead(const RawDisk &raw, const DfDiskHeader &head, int32_t blk, BlkHeader *out);
bool ReadFileHead(const RawDisk &raw, const DfDiskHeader &head, int32_t blk, uint32_t fileNo,
                  TfFileHeader *out);

// A record file of a block as its header sector says.
struct BlockFile {
  std::string name;     // the name the library gives it
  TfFileHeader header;  // its header sector
};
// The record files of block blk of disk `disk`, in the order of their
// header sectors, read straight from the device: unlike the library's block
// statistics, nothing on the disk changes, so a listing never hides what a
// check would find.  Only the sectors up to the block header's last file
// number are read (files are numbered in the order they are made).  Throws
// ToolError when they cannot be read.
std::vector<BlockFile> ReadBlockFiles(const RawDisk &raw, const DfDiskHeader &head, int disk,
                                      int32_t blk, const BlkHeader &block);

// The state of a record file's pre-record ring: "-" (none), "open" (not
// fixed yet), "fixed", "wrapped" (its valid bytes run round its end) or
// "full" (equal pointers: the whole ring, oldest byte at the pointer).
std::string RingState(const TfFileHeader &h);

// The record-file name's parts.  Throws UsageError for a string that is no
// record-file name.
struct NameParts {
  int disk;
  int32_t blk;
  uint32_t fileNo;
  std::string tag;  // the 4 tag characters
};
NameParts ParseName(const std::string &name);

// The header of the record file the name parts say, read from the device:
// false when its block is not in use or its header sector holds another
// file (or none), as an open by that name would find.
bool FindRecordFile(const RawDisk &raw, const DiskSnapshot &snap, const NameParts &parts,
                    TfFileHeader *out);
// Reads len logical bytes of a record file from pos (its ring's valid bytes
// first, then its main data), the way the library maps them; false when the
// device could not give them all.
bool ReadRecordBytes(const RawDisk &raw, const DfDiskHeader &head, int32_t blk,
                     const TfFileHeader &header, uint64_t pos, uint8_t *buf, uint32_t len);

// Disk number a private root should use for a command on a named file: the
// disk the name was made on.
inline int DiskForName(const std::string &name) {
  return ParseName(name).disk;
}

}  // namespace zrfs::tool

namespace zrfs::tool {

// Bytes a record file reads as: its ring's valid bytes (oldest first) and
// its main data.  An unfixed ring reads as what was recorded from its start.
uint64_t LogicalSize(const TfFileHeader &h);

// Opens the session for a command on the record file called name: a private
// root uses the disk the name was made on; a shared one must be that disk.
DiskTarget TargetForName(const std::string &diskArg, const GlobalOptions &global,
                         const std::string &name);

}  // namespace zrfs::tool
