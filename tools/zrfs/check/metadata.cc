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

bool HasMagic(const DfDiskHeader &head) {
  return memcmp(head.magic, "ZRFS", 5) == 0;
}

std::vector<HeaderProblem> HeaderProblems(const DfDiskHeader &head, uint64_t deviceSize) {
  std::vector<HeaderProblem> problems;
  if (!HasMagic(head)) {
    problems.push_back({"no \"ZRFS\" magic", true});
    return problems;  // the rest would only be noise
  }
  if (memcmp(head.magic + 5, "\0\0\0", 3) != 0)
    problems.push_back({"magic not padded with zeros", false});
  if (head.ver > kFormatVersion)
    problems.push_back({fmt::format("unknown version {}", head.ver), true});
  if (head.metaSize != kMetaSize)
    problems.push_back({fmt::format("metaSize {:#x}", head.metaSize), true});
  if (head.unitSize == 0 || head.unitSize % kHeaderAreaSize != 0)
    problems.push_back(
        {fmt::format("unitSize {:#x} is no whole number of 2 MiB", head.unitSize), true});
  uint64_t expectStart = kFirstCopyBase + uint64_t(head.unitSize) + 2ull * kMetaSize;
  if (head.dataStart != expectStart)
    problems.push_back(
        {fmt::format("dataStart {:#x} instead of {:#x}", head.dataStart, expectStart), true});
  if (head.tolblk > uint32_t(kMaxBlocks))
    problems.push_back(
        {fmt::format("tolblk {} above the limit {}", head.tolblk, kMaxBlocks), true});
  uint64_t expectEnd = head.dataStart + uint64_t(head.unitSize) * head.tolblk;
  if (head.dataEnd != expectEnd)
    problems.push_back(
        {fmt::format("dataEnd {:#x} instead of {:#x}", head.dataEnd, expectEnd), true});
  if (deviceSize != 0 && expectEnd > deviceSize)
    problems.push_back({fmt::format("its {} blocks end at {:#x}, past the device's end at {:#x}",
                                    head.tolblk, expectEnd, deviceSize),
                        true});
  auto zero = [](const uint8_t *bytes, size_t n) {
    for (size_t i = 0; i < n; ++i)
      if (bytes[i] != 0) return false;
    return true;
  };
  if (!zero(head.reserved1, sizeof head.reserved1) ||
      !zero(head.reserved2, sizeof head.reserved2) || !zero(head.reserved3, sizeof head.reserved3))
    problems.push_back({"reserved bytes are not zero", false});
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
  };
}

std::vector<std::string> HeaderDifferences(const DfDiskHeader &a, const DfDiskHeader &b) {
  std::vector<std::string> names;
  auto fa = HeaderFields(a), fb = HeaderFields(b);
  for (size_t i = 0; i < fa.size(); ++i)
    if (fa[i].second != fb[i].second) names.push_back(fa[i].first);
  if (a.createTime != b.createTime &&
      std::find(names.begin(), names.end(), "createTime") == names.end())
    names.push_back("createTime");
  if (names.empty() && memcmp(&a, &b, sizeof a) != 0) names.push_back("reserved bytes");
  return names;
}

}  // namespace zrfs::tool
