// Shared state of one checker run, split over the metadata checks
// (checker.cc) and the block and record-file checks (block_checks.cc).
#pragma once

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "check/checker.h"

namespace zrfs::tool {

using TypeChannel = std::pair<uint32_t, uint32_t>;  // (block type, channel)

struct CheckRun {
  CheckRun(const RawDisk &d, Analysis &analysis) : disk(d), a(analysis) {}
  const RawDisk &disk;
  Analysis &a;
  uint64_t unit = 0;
  uint32_t blocks = 0;

  // Per block, filled by the block pass.
  std::map<int32_t, BlockScan> scans;       // blocks with something in their header area
  std::vector<bool> headKnown;              // scans[blk].head holds a usable block header
  std::map<TypeChannel, uint32_t> counted;  // blocks found per (type, channel)
  uint32_t unreadableBad = 0;               // bad or used blocks whose header could not be read
  std::vector<int32_t> rebuilt;             // blocks whose block header is made anew

  void Add(Severity s, const char *code, std::string location, std::string message,
           std::string repair = {}) {
    a.findings.push_back({s, code, std::move(location), std::move(message), std::move(repair)});
  }
  uint64_t BlockAddress(int32_t blk) const { return a.head.dataStart + uint64_t(blk) * unit; }
  int32_t &Cur(uint32_t type, uint32_t chan) { return a.cur[size_t(type) * kChannels + chan]; }
  uint32_t &Cnt(uint32_t type, uint32_t chan) { return a.cnt[size_t(type) * kChannels + chan]; }

  // block_checks.cc
  void ScanBlocks(const ScanProgress &progress);
  void CheckUsedBlock(int32_t blk);
  void ResolveOrphans(const std::vector<int32_t> &orphans);
  void CheckRecordFiles(int32_t blk);
  void GiveBack(int32_t blk);
  void RebuildBlockHead(int32_t blk, int type);
  void WriteBlockHead(int32_t blk);
};

std::string BlockLocation(int32_t blk);

}  // namespace zrfs::tool
