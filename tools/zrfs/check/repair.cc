// Writing the checker's repaired state back to the disk, in the order the
// library itself changes a disk: block contents first, then metadata copy
// 0, then copy 1, each copy's header after its pages, so a repair cut short
// leaves copy 1 as it was.
#include <cstring>

#include <fmt/format.h>

#include "check/checker.h"

namespace zrfs::tool {
namespace {

constexpr const char *kPlaceNames[2] = {"A", "B"};

bool SamePage(const void *a, const void *b) {
  return memcmp(a, b, kTablePageSize) == 0;
}

// Whether the repair writes anything of the copy.
bool CopyDiffers(const MetaCopy &copy, const Analysis &a) {
  for (int p = 0; p < 2; ++p)
    if (!copy.mapRead[p] || copy.map[p] != a.map) return true;
  for (int t = 0; t < kBlockTypes; ++t) {
    size_t base = size_t(t) * kChannels;
    if (!copy.curRead[t] || !SamePage(&copy.cur[base], &a.cur[base]) || !copy.cntRead[t] ||
        !SamePage(&copy.cnt[base], &a.cnt[base]))
      return true;
  }
  return !copy.headerRead || memcmp(&copy.head, &a.head, sizeof a.head) != 0;
}

// The header the repair writes.  A repair that changes metadata is a change
// like the library's: its headers, each written after its copy's pages,
// carry an update count above both copies', so a copy the repair reaches in
// full is the one the next mount takes.
DfDiskHeader RepairedHeader(const Analysis &a) {
  DfDiskHeader head = a.head;
  if (!CopyDiffers(a.copies[0], a) && !CopyDiffers(a.copies[1], a)) return head;
  uint64_t highest = 0;
  for (const MetaCopy &copy : a.copies)
    if (copy.headerRead && HasMagic(copy.head) && copy.head.updateCount > highest)
      highest = copy.head.updateCount;
  head.updateCount = highest + 1;
  return head;
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
  const DfDiskHeader head = RepairedHeader(a);
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
    if (!copy.headerRead || memcmp(&copy.head, &head, sizeof head) != 0) {
      disk.Write(HeaderPlace(c), &head, sizeof head);
      done.push_back(fmt::format("rewrote copy {} header", c));
    }
  }
  if (!done.empty()) disk.Sync();
  return done;
}

}  // namespace zrfs::tool
