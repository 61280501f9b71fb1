#include "check/checker.h"

#include <algorithm>
#include <cstring>

#include <fmt/format.h>

#include "check/checker_internal.h"
#include "output.h"

namespace zrfs::tool {
namespace {

constexpr const char *kPlaceNames[2] = {"A", "B"};

std::string Join(const std::vector<std::string> &parts) {
  std::string out;
  for (const auto &part : parts) out += (out.empty() ? "" : ", ") + part;
  return out;
}

std::string FirstIds(const std::vector<uint32_t> &ids) {
  std::string out;
  for (size_t i = 0; i < ids.size() && i < 5; ++i) out += (i ? ", " : "") + std::to_string(ids[i]);
  if (ids.size() > 5) out += ", ...";
  return out;
}

// Update counts that differ are what a change cut short between the copies
// leaves (or a copy whose writes failed): the other copy holds it, and the
// next mount writes the lagging one level again.  A repair a mount made is
// recorded in the header and told as well.
void NoteRecency(CheckRun &run, const bool usable[2]) {
  const Analysis &a = run.a;
  if (usable[0] && usable[1]) {
    uint64_t counts[2] = {a.copies[0].head.updateCount, a.copies[1].head.updateCount};
    if (counts[0] != counts[1]) {
      int behind = counts[0] < counts[1] ? 0 : 1;
      run.Add(Severity::kNote, "copy-behind", fmt::format("copy {} header", behind),
              fmt::format("at update {}, copy {} at {}: later changes did not reach it in "
                          "full; the next mount writes it level again",
                          counts[behind], 1 - behind, counts[1 - behind]));
    }
  }
  const CopyRepair &repair = a.copies[a.refCopy].head.repair;
  if (repair.fault == CopyFault::kNone) return;
  run.Add(Severity::kNote, "mount-mended-copy", "disk",
          fmt::format("a mount on {} took copy {} and rewrote copy {}: {}; {} free block(s) "
                      "holding files were marked used",
                      FormatTime(repair.time), repair.usedCopy, repair.rewrittenCopy,
                      CopyFaultText(repair.fault), repair.blocksTakenBack));
}

// The header: pick the copy to trust and report what is wrong with either.
bool CheckHeaders(CheckRun &run) {
  Analysis &a = run.a;
  std::vector<HeaderProblem> problems[2];
  bool usable[2];
  for (int c = 0; c < 2; ++c) {
    if (a.copies[c].headerRead)
      problems[c] = HeaderProblems(a.copies[c].head, a.deviceSize);
    else
      problems[c] = {{"cannot be read", true}};
    usable[c] = HeaderUsable(problems[c]);
  }
  a.refCopy = TrustedCopy(a.copies, usable);
  if (a.refCopy < 0) {
    bool anyMagic = HasMagic(a.copies[0].head) || HasMagic(a.copies[1].head);
    for (int c = 0; c < 2; ++c) {
      std::vector<std::string> texts;
      for (const auto &p : problems[c]) texts.push_back(p.text);
      run.Add(Severity::kError, "header-unusable", fmt::format("copy {} header", c), Join(texts));
    }
    run.Add(Severity::kError, anyMagic ? "no-usable-header" : "not-formatted", "disk",
            anyMagic ? "neither metadata copy has a usable header; nothing else can be checked"
                     : "no disk layout: neither metadata copy is formatted");
    return false;
  }
  const int ref = a.refCopy;
  a.head = a.copies[ref].head;
  memset(a.head.magic + 5, 0, 3);
  memset(a.head.reserved1, 0, sizeof a.head.reserved1);
  memset(a.head.reserved2, 0, sizeof a.head.reserved2);
  memset(a.head.reserved3, 0, sizeof a.head.reserved3);
  memset(a.head.reserved4, 0, sizeof a.head.reserved4);
  a.head.repair.pad = 0;
  for (int c = 0; c < 2; ++c) {
    std::string where = fmt::format("copy {} header", c);
    std::vector<std::string> texts;
    for (const auto &p : problems[c]) texts.push_back(p.text);
    if (c != ref && !usable[c]) {
      run.Add(Severity::kError, "header-unusable", where, Join(texts),
              fmt::format("rewrite it from copy {}", ref));
    } else if (c != ref && !HeaderDifferences(a.copies[c].head, a.copies[ref].head).empty() &&
               HeaderDifferences(a.copies[c].head, a.copies[ref].head) !=
                   std::vector<std::string>{"reserved bytes"}) {
      run.Add(Severity::kError, "header-copies-differ", where,
              fmt::format("differs from copy {} in {}", ref,
                          Join(HeaderDifferences(a.copies[c].head, a.copies[ref].head))),
              fmt::format("rewrite it from copy {}", ref));
    } else if (!texts.empty()) {
      run.Add(Severity::kWarning, "header-stray-bytes", where, Join(texts), "clear them");
    }
  }
  NoteRecency(run, usable);
  if (a.head.ver < kFormatVersion) {
    run.Add(
        Severity::kWarning, "old-format-version", "disk",
        fmt::format("format version {}; mounting upgrades it to {} and rebuilds the block counts",
                    a.head.ver, kFormatVersion),
        fmt::format("set version {} with recounted block counts", kFormatVersion));
    a.head.ver = kFormatVersion;
  }
  return true;
}

// The map: each block's state by majority of the readable places, ties
// going to the places mounting would read first.
bool CheckMaps(CheckRun &run) {
  Analysis &a = run.a;
  const int ref = a.refCopy;
  struct Place {
    int copy, place;
  };
  std::vector<Place> order = {{ref, 0}, {ref, 1}, {1 - ref, 0}, {1 - ref, 1}};
  std::vector<const std::vector<uint8_t> *> readable;
  for (const Place &p : order)
    if (a.copies[p.copy].mapRead[p.place]) readable.push_back(&a.copies[p.copy].map[p.place]);
  if (readable.empty()) {
    run.Add(Severity::kError, "map-unreadable", "block map", "no place of either copy can be read");
    return false;
  }
  // The blocks on which the places disagree, found a run of map bytes at a
  // time: the places nearly always agree over most of the map.
  constexpr uint32_t kRun = 4096;
  static_assert(kMaxBlocks % kRun == 0);
  std::vector<uint32_t> split;
  for (uint32_t from = 0; from < uint32_t(kMaxBlocks); from += kRun) {
    bool agree = true;
    for (const auto *candidate : readable)
      agree = agree && memcmp(candidate->data() + from, readable[0]->data() + from, kRun) == 0;
    for (uint32_t blk = from; !agree && blk < from + kRun; ++blk)
      for (const auto *candidate : readable)
        if ((*candidate)[blk] != (*readable[0])[blk]) {
          split.push_back(blk);
          break;
        }
  }
  a.map = *readable[0];
  for (uint32_t blk : split) {
    uint8_t best = (*readable[0])[blk];
    int bestVotes = 0;
    for (const auto *candidate : readable) {
      uint8_t value = (*candidate)[blk];
      int votes = 0;
      for (const auto *other : readable) votes += (*other)[blk] == value;
      if (votes > bestVotes) {
        best = value;
        bestVotes = votes;
      }
    }
    a.map[blk] = best;
  }
  for (const Place &p : {Place{0, 0}, Place{0, 1}, Place{1, 0}, Place{1, 1}}) {
    const MetaCopy &copy = a.copies[p.copy];
    std::string where = fmt::format("copy {} map place {}", p.copy, kPlaceNames[p.place]);
    if (!copy.mapRead[p.place]) {
      run.Add(Severity::kError, "map-place-unreadable", where, "cannot be read", "rewrite it");
      continue;
    }
    std::vector<uint32_t> differing;
    for (uint32_t blk : split)
      if (copy.map[p.place][blk] != a.map[blk]) differing.push_back(blk);
    if (!differing.empty())
      run.Add(Severity::kError, "map-copies-differ", where,
              fmt::format("disagrees with the other places for {} block(s): {}", differing.size(),
                          FirstIds(differing)),
              "rewrite it");
  }
  std::vector<uint32_t> beyond;
  for (uint32_t blk = run.blocks; blk < uint32_t(kMaxBlocks); ++blk)
    if (a.map[blk] != kBlkFree) {
      beyond.push_back(blk);
      a.map[blk] = kBlkFree;
    }
  if (!beyond.empty())
    run.Add(Severity::kWarning, "map-states-past-end", "block map",
            fmt::format("holds states for {} block(s) past the disk's {}: {}", beyond.size(),
                        run.blocks, FirstIds(beyond)),
            "clear them");
  return true;
}

// The tables: the trusted copy's pages, each compared with the other copy.
void CheckTables(CheckRun &run) {
  Analysis &a = run.a;
  const int ref = a.refCopy;
  const MetaCopy &mine = a.copies[ref], &other = a.copies[1 - ref];
  a.cur = mine.cur;
  a.cnt = mine.cnt;
  for (int type = 0; type < kBlockTypes; ++type) {
    size_t base = size_t(type) * kChannels;
    // A page the trusted copy cannot give is taken from the other one.
    if (!mine.curRead[type] && other.curRead[type])
      std::copy_n(other.cur.begin() + long(base), kChannels, a.cur.begin() + long(base));
    if (!mine.cntRead[type] && other.cntRead[type])
      std::copy_n(other.cnt.begin() + long(base), kChannels, a.cnt.begin() + long(base));
    for (int c = 0; c < 2; ++c) {
      const MetaCopy &copy = a.copies[c];
      if (!copy.curRead[type])
        run.Add(Severity::kError, "table-page-unreadable",
                fmt::format("copy {} current-block page {}", c, type), "cannot be read",
                "rewrite it");
      if (!copy.cntRead[type])
        run.Add(Severity::kError, "table-page-unreadable",
                fmt::format("copy {} block-count page {}", c, type), "cannot be read",
                "rewrite it");
    }
    if (mine.curRead[type] && other.curRead[type] &&
        !std::equal(mine.cur.begin() + long(base), mine.cur.begin() + long(base + kChannels),
                    other.cur.begin() + long(base)))
      run.Add(Severity::kError, "current-pages-differ",
              fmt::format("copy {} current-block page {}", 1 - ref, type),
              fmt::format("differs from copy {}", ref),
              fmt::format("rewrite it from copy {}", ref));
    if (mine.cntRead[type] && other.cntRead[type] &&
        !std::equal(mine.cnt.begin() + long(base), mine.cnt.begin() + long(base + kChannels),
                    other.cnt.begin() + long(base)))
      run.Add(Severity::kError, "count-pages-differ",
              fmt::format("copy {} block-count page {}", 1 - ref, type),
              fmt::format("differs from copy {}", ref),
              fmt::format("rewrite it from copy {}", ref));
  }
}

// The counts, recounted from the blocks.  Bad blocks whose header could not
// be read may still hold a (type, channel)'s block, so a stored count up to
// that many above the recount stands.
void CheckCounts(CheckRun &run, bool countsKept) {
  for (uint32_t type = 0; type < uint32_t(kBlockTypes); ++type)
    for (uint32_t chan = 0; chan < uint32_t(kChannels); ++chan) {
      auto it = run.counted.find({type, chan});
      uint32_t found = it == run.counted.end() ? 0 : it->second;
      uint32_t &stored = run.Cnt(type, chan);
      if (stored == found) continue;
      if (stored > found && stored - found <= run.unreadableBad) continue;
      if (countsKept)
        run.Add(Severity::kError, "block-count-wrong",
                fmt::format("block count type {} channel {}", type, chan),
                fmt::format("says {} block(s), the disk holds {}", stored, found),
                fmt::format("set it to {}", found));
      stored = found;
    }
}

void CheckCurrentBlocks(CheckRun &run) {
  for (uint32_t type = 0; type < uint32_t(kBlockTypes); ++type)
    for (uint32_t chan = 0; chan < uint32_t(kChannels); ++chan) {
      int32_t &v = run.Cur(type, chan);
      if (v == -1) continue;
      std::string where = fmt::format("current block type {} channel {}", type, chan);
      if (v < -1 || uint32_t(v) >= run.blocks) {
        run.Add(Severity::kError, "current-block-out-of-range", where,
                fmt::format("is {}, not a block of this disk (0..{})", v, int64_t(run.blocks) - 1),
                "reset it to -1");
        v = -1;
        continue;
      }
      uint8_t state = run.a.map[uint32_t(v)];
      if (IsBadState(state)) {
        run.Add(Severity::kNote, "current-block-is-bad", where,
                fmt::format("names block {}, which is marked bad; the next file of the channel "
                            "goes to a new block",
                            v));
      } else if (state == kBlkFree) {
        run.Add(Severity::kWarning, "current-block-names-free-block", where,
                fmt::format("names block {}, which is free", v), "reset it to -1");
        v = -1;
      } else if (run.headKnown[uint32_t(v)]) {
        const BlkHeader &h = run.scans[v].head;
        if (h.blkType != type || h.ichan != chan) {
          run.Add(Severity::kError, "current-block-wrong-channel", where,
                  fmt::format("names block {}, which belongs to type {} channel {}", v, h.blkType,
                              h.ichan),
                  "reset it to -1");
          v = -1;
        }
      }
    }
}

}  // namespace

std::string BlockLocation(int32_t blk) {
  return fmt::format("block {}", blk);
}

int Analysis::Count(Severity s) const {
  return int(std::count_if(findings.begin(), findings.end(),
                           [s](const Finding &f) { return f.severity == s; }));
}

bool Analysis::Repairable() const {
  return std::any_of(findings.begin(), findings.end(),
                     [](const Finding &f) { return !f.repair.empty(); });
}

Analysis AnalyseDisk(const RawDisk &disk, const ScanProgress &progress) {
  Analysis a;
  a.deviceSize = disk.size();
  a.copies[0] = ReadMetaCopy(disk, 0);
  a.copies[1] = ReadMetaCopy(disk, 1);
  CheckRun run{disk, a};
  if (!CheckHeaders(run)) return a;
  bool countsKept = a.copies[a.refCopy].head.ver >= kFormatVersion;
  run.unit = a.head.unitSize;
  run.blocks = MapBlocks(a.head);
  a.blocks = run.blocks;
  if (!CheckMaps(run)) return a;
  CheckTables(run);
  run.ScanBlocks(progress);
  CheckCounts(run, countsKept);
  CheckCurrentBlocks(run);
  for (uint32_t blk = 0; blk < run.blocks; ++blk) {
    uint8_t s = a.map[blk];
    a.usedBlocks += s == kBlkUsed;
    a.freeBlocks += s == kBlkFree;
    a.badBlocks += IsBadState(s);
    if (s == kBlkUsed && run.scans.count(int32_t(blk)) != 0)
      a.recordFiles += uint32_t(run.scans[int32_t(blk)].files.size());
  }
  a.usable = true;
  return a;
}

}  // namespace zrfs::tool
