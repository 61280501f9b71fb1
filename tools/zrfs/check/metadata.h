// The two metadata copies of a disk as they are on the device, read raw.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "check/raw_disk.h"
#include "format/block_format.h"
#include "format/disk_format.h"

namespace zrfs::tool {

struct MetaCopy {
  int copy = 0;
  bool headerRead = false;
  DfDiskHeader head{};
  // Block map places: [0] place A (the one mounting prefers), [1] place B.
  std::array<bool, 2> mapRead{};
  std::array<std::vector<uint8_t>, 2> map;
  std::array<bool, kBlockTypes> curRead{};
  std::array<bool, kBlockTypes> cntRead{};
  std::vector<int32_t> cur;   // [type * kChannels + channel]
  std::vector<uint32_t> cnt;  // [type * kChannels + channel]
};

MetaCopy ReadMetaCopy(const RawDisk &disk, int copy);

// What is wrong with a header on its own, given the size of the device it
// is on.  A fatal problem makes the header unusable; the others (stray bytes
// in reserved fields) do not.
struct HeaderProblem {
  std::string text;
  bool fatal;
};
std::vector<HeaderProblem> HeaderProblems(const DfDiskHeader &head, uint64_t deviceSize);
bool HeaderUsable(const std::vector<HeaderProblem> &problems);

// Names of the fields in which two headers differ.
std::vector<std::string> HeaderDifferences(const DfDiskHeader &a, const DfDiskHeader &b);

// A formatted-looking header: the magic is there.
bool HasMagic(const DfDiskHeader &head);

// Number of blocks a header lets the map describe.
inline uint32_t MapBlocks(const DfDiskHeader &head) {
  return head.tolblk < uint32_t(kMaxBlocks) ? head.tolblk : uint32_t(kMaxBlocks);
}

// The header fields shown side by side by "info", as (name, value) text.
std::vector<std::pair<std::string, std::string>> HeaderFields(const DfDiskHeader &head);

}  // namespace zrfs::tool
