// The disk checker: reads a disk's metadata copies and block header areas
// raw, reports every contradiction it finds, and works out the state a
// repair writes back.
//
// What it compares and recomputes:
//  - the two metadata copies: header, both block map places, the 16
//    current-block and 16 block-count pages;
//  - the map against the blocks: a used block needs a block header with
//    inUse and record files; a free block still holding record files is an
//    orphan, taken back into use when the tables still account for it;
//  - the per-(type, channel) block counts, recounted from the blocks;
//  - every current-block entry (-1, or a used block of that type and
//    channel);
//  - every record-file header (magic, file number, ring and main window
//    inside the block) and the block's append position, file count and
//    highest file number against its files.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <vector>

#include "check/block_scan.h"
#include "check/findings.h"
#include "check/metadata.h"
#include "check/raw_disk.h"

namespace zrfs::tool {

struct SectorWrite {
  uint64_t offset;
  std::array<uint8_t, kSectorSize> bytes;
};

struct Analysis {
  uint64_t deviceSize = 0;
  bool usable = false;  // a usable header was found and everything else checked
  std::vector<Finding> findings;

  std::array<MetaCopy, 2> copies;
  int refCopy = 0;

  // The state a repair leaves: written wherever the disk differs.
  DfDiskHeader head{};
  std::vector<uint8_t> map;               // kMaxBlocks bytes
  std::vector<int32_t> cur;               // [type * kChannels + channel]
  std::vector<uint32_t> cnt;              // [type * kChannels + channel]
  std::vector<SectorWrite> sectorWrites;  // block and record-file headers
  std::vector<int32_t> clearBlocks;       // blocks whose header area is zeroed

  // What the disk holds, for the summary.
  uint32_t blocks = 0, usedBlocks = 0, freeBlocks = 0, badBlocks = 0, recordFiles = 0;

  int Count(Severity s) const;
  bool Clean() const { return Count(Severity::kError) == 0 && Count(Severity::kWarning) == 0; }
  bool Repairable() const;
};

// progress(done, total) is called as blocks are scanned.
using ScanProgress = std::function<void(uint64_t done, uint64_t total)>;

Analysis AnalyseDisk(const RawDisk &disk, const ScanProgress &progress = {});

// Writes the repaired state: zeroed header areas and header sectors first,
// then copy 0, then copy 1, then a flush.  Returns what was written.
std::vector<std::string> ApplyRepair(RawDisk &disk, const Analysis &analysis);

}  // namespace zrfs::tool
