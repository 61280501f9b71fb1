#include "check/metadata.h"

#include <algorithm>
#include <cstring>

#include <fmt/format.h>

#include "output.h"

namespace zrfs::tool {

MetaCopy ReadMetaCopy(const RawDisk &disk, int copy) {
  MetaCopy meta;
  meta.copy = copy;
  meta.headerRead = disk.Read(HeaderPlace(copy), &meta.head, sizeof meta.head);
  if (!meta.headerRead) memset(&meta.head, 0, sizeof meta.head);
  const uint64_t places[2] = {MapPlaceA(copy), MapPlaceB(copy)};
  for (int place = 0; place < 2; ++place) {
    meta.map[place].assign(kMaxBlocks, 0);
    meta.mapRead[place] = disk.Read(places[place], meta.map[place].data(), kMaxBlocks);
  }
  meta.cur.assign(size_t(kBlockTypes) * kChannels, -1);
  meta.cnt.assign(size_t(kBlockTypes) * kChannels, 0);
  for (int type = 0; type < kBlockTypes; ++type) {
    meta.curRead[type] =
        disk.Read(CurBlkPage(copy, type), &meta.cur[size_t(type) * kChannels], kTablePageSize);
    meta.cntRead[type] =
        disk.Read(BlkCntPage(copy, type), &meta.cnt[size_t(type) * kChannels], kTablePageSize);
  }
  return meta;
}

CopyFault CopyFaultOf(const MetaCopy &copy) {
  if (!copy.headerRead) return CopyFault::kHeaderUnreadable;
  if (!MountAccepts(copy.head)) return CopyFault::kHeaderRefused;
  const uint32_t blocks = MapBlocks(copy.head);
  CopyFault map = CopyFault::kMapUnreadable;
  for (int place = 0; place < 2 && map != CopyFault::kNone; ++place)
    if (copy.mapRead[place])
      map = MapStatesKnown(copy.map[place].data(), blocks) ? CopyFault::kNone
                                                           : CopyFault::kMapStrayStates;
  if (map != CopyFault::kNone) return map;
  const bool counts = CountsKept(copy.head);
  for (int type = 0; type < kBlockTypes; ++type)
    if (!copy.curRead[type] || (counts && !copy.cntRead[type])) return CopyFault::kTableUnreadable;
  for (int type = 0; type < kBlockTypes; ++type) {
    size_t base = size_t(type) * kChannels;
    if (!CurBlkRowInRange(&copy.cur[base], blocks) ||
        (counts && !BlkCntRowInRange(&copy.cnt[base], blocks)))
      return CopyFault::kTableOutOfRange;
  }
  return CopyFault::kNone;
}

int TrustedCopy(const std::array<MetaCopy, 2> &copies, const bool usable[2]) {
  const DfDiskHeader heads[2] = {copies[0].head, copies[1].head};
  int newest = NewestCopy(usable, heads);
  if (newest < 0) return -1;
  int other = 1 - newest;
  bool newestWhole = CopyFaultOf(copies[newest]) == CopyFault::kNone;
  return !newestWhole && usable[other] && CopyFaultOf(copies[other]) == CopyFault::kNone ? other
                                                                                         : newest;
}

bool HasMagic(const DfDiskHeader &head) {
  return (DiskHeaderFaults(head, 0) & kNoMagic) == 0;
}

std::vector<HeaderProblem> HeaderProblems(const DfDiskHeader &head, uint64_t deviceSize) {
  std::vector<HeaderProblem> problems;
  const uint32_t faults = DiskHeaderFaults(head, deviceSize);
  // Every fault but the harmless ones makes the header's geometry untrusted.
  auto add = [&](uint32_t fault, std::string what) {
    if (faults & fault) problems.push_back({std::move(what), (fault & kHarmless) == 0});
  };
  if (faults & kNoMagic) {
    add(kNoMagic, "no \"ZRFS\" magic");
    return problems;  // the rest would only be noise
  }
  uint64_t expectEnd = head.dataStart + uint64_t(head.unitSize) * head.tolblk;
  add(kMagicNotPadded, "magic not padded with zeros");
  add(kUnknownVersion, fmt::format("unknown version {}", head.ver));
  add(kOtherMetaSize, fmt::format("metaSize {:#x}", head.metaSize));
  add(kNoUnitSize | kUnitNotWhole,
      fmt::format("unitSize {:#x} is no whole number of 2 MiB", head.unitSize));
  add(kOtherDataStart, fmt::format("dataStart {:#x} instead of {:#x}", head.dataStart,
                                   FormatDataStart(head.unitSize)));
  add(kTooManyBlocks, fmt::format("tolblk {} above the limit {}", head.tolblk, kMaxBlocks));
  add(kOtherDataEnd, fmt::format("dataEnd {:#x} instead of {:#x}", head.dataEnd, expectEnd));
  add(kPastDeviceEnd, fmt::format("its {} blocks end at {:#x}, past the device's end at {:#x}",
                                  head.tolblk, expectEnd, deviceSize));
  add(kReservedNotZero, "reserved bytes are not zero");
  return problems;
}

bool HeaderUsable(const std::vector<HeaderProblem> &problems) {
  for (const auto &problem : problems)
    if (problem.fatal) return false;
  return true;
}

std::vector<std::pair<std::string, std::string>> HeaderFields(const DfDiskHeader &head) {
  std::string magic;
  for (char c : head.magic) {
    if (c == '\0') break;
    magic += (c >= 32 && c < 127) ? c : '?';
  }
  return {
      {"magic", magic.empty() ? "-" : magic},
      {"ver", std::to_string(head.ver)},
      {"metaSize", Hex(head.metaSize)},
      {"unitSize", Hex(head.unitSize)},
      {"createTime", FormatTime(head.createTime)},
      {"dataStart", Hex(head.dataStart)},
      {"dataEnd", Hex(head.dataEnd)},
      {"tolblk", std::to_string(head.tolblk)},
      {"updates", std::to_string(head.updateCount)},
  };
}

namespace {

// The bytes two copies' headers share: without the update count and the
// recorded repair.
DfDiskHeader Shared(const DfDiskHeader &head) {
  DfDiskHeader out = head;
  out.updateCount = 0;
  out.repair = CopyRepair{};
  return out;
}

}  // namespace

std::vector<std::string> HeaderDifferences(const DfDiskHeader &a, const DfDiskHeader &b) {
  std::vector<std::string> names;
  auto fa = HeaderFields(a), fb = HeaderFields(b);
  for (size_t i = 0; i < fa.size(); ++i)
    if (fa[i].second != fb[i].second && fa[i].first != "updates") names.push_back(fa[i].first);
  if (a.createTime != b.createTime &&
      std::find(names.begin(), names.end(), "createTime") == names.end())
    names.push_back("createTime");
  DfDiskHeader sharedA = Shared(a), sharedB = Shared(b);
  if (names.empty() && memcmp(&sharedA, &sharedB, sizeof sharedA) != 0)
    names.push_back("reserved bytes");
  return names;
}

}  // namespace zrfs::tool
