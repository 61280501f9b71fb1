// The two metadata copies of a disk as they are on the device, read raw.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "check/raw_disk.h"
#include "format/block_format.h"
#include "format/copy_checks.h"
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

// Why a mount would not take this copy as whole, by the rules the library
// mounts by (format/copy_checks.h); kNone when it would.
CopyFault CopyFaultOf(const MetaCopy &copy);

// The copy to trust of those whose header is usable[c]: the newest whole
// one (by update count, copy 0 on a tie), as a mount takes it, else the
// newest.  -1 when neither header is usable.
int TrustedCopy(const std::array<MetaCopy, 2> &copies, const bool usable[2]);

// Names of the fields in which two headers differ.  The update count and
// the recorded repair are the copies' own and do not count.
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
