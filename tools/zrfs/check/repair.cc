// Writing the checker's repaired state back to the disk, in the order the
// library itself changes a disk: block contents first, then metadata copy
// 0, then copy 1, so a repair cut short leaves copy 1 as it was.
#include <cstring>

#include <fmt/format.h>

#include "check/checker.h"

namespace zrfs::tool {
namespace {

constexpr const char *kPlaceNames[2] = {"A", "B"};

bool SamePage(const void *a, const void *b) {
  return memcmp(a, b, kTablePageSize) == 0;
}

}  // namespace

std::vector<std::string> ApplyRepair(RawDisk &disk, const Analysis &a) {
  std::vector<std::string> done;
  if (!a.usable) return done;
  const uint64_t unit = a.head.unitSize;
  if (!a.clearBlocks.empty()) {
    std::vector<uint8_t> zeros(kHeaderAreaSize, 0);
    for (int32_t blk : a.clearBlocks) {
      disk.Write(a.head.dataStart + uint64_t(blk) * unit, zeros.data(), zeros.size());
      done.push_back(fmt::format("cleared the header area of block {}", blk));
    }
  }
  for (const SectorWrite &w : a.sectorWrites) {
    disk.Write(w.offset, w.bytes.data(), w.bytes.size());
    uint64_t blk = (w.offset - a.head.dataStart) / unit;
    uint64_t slot = (w.offset - a.head.dataStart) % unit / kSectorSize;
    done.push_back(slot == 0 ? fmt::format("rewrote the block header of block {}", blk)
                             : fmt::format("rewrote the header of block {} file {}", blk, slot));
  }
  for (int c = 0; c < 2; ++c) {
    const MetaCopy &copy = a.copies[c];
    const uint64_t places[2] = {MapPlaceA(c), MapPlaceB(c)};
    for (int p = 0; p < 2; ++p)
      if (!copy.mapRead[p] || copy.map[p] != a.map) {
        disk.Write(places[p], a.map.data(), a.map.size());
        done.push_back(fmt::format("rewrote copy {} map place {}", c, kPlaceNames[p]));
      }
    std::vector<int> curPages, cntPages;
    for (int t = 0; t < kBlockTypes; ++t) {
      size_t base = size_t(t) * kChannels;
      if (!copy.curRead[t] || !SamePage(&copy.cur[base], &a.cur[base])) {
        disk.Write(CurBlkPage(c, t), &a.cur[base], kTablePageSize);
        curPages.push_back(t);
      }
      if (!copy.cntRead[t] || !SamePage(&copy.cnt[base], &a.cnt[base])) {
        disk.Write(BlkCntPage(c, t), &a.cnt[base], kTablePageSize);
        cntPages.push_back(t);
      }
    }
    auto list = [](const std::vector<int> &pages) {
      std::string out;
      for (int t : pages) out += (out.empty() ? "" : ", ") + std::to_string(t);
      return out;
    };
    if (!curPages.empty())
      done.push_back(
          fmt::format("rewrote copy {} current-block page(s) of type {}", c, list(curPages)));
    if (!cntPages.empty())
      done.push_back(
          fmt::format("rewrote copy {} block-count page(s) of type {}", c, list(cntPages)));
    if (!copy.headerRead || memcmp(&copy.head, &a.head, sizeof a.head) != 0) {
      disk.Write(HeaderPlace(c), &a.head, sizeof a.head);
      done.push_back(fmt::format("rewrote copy {} header", c));
    }
  }
  if (!done.empty()) disk.Sync();
  return done;
}

}  // namespace zrfs::tool
