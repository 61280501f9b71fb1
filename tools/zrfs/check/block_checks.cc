// The block pass of the checker: each block's header area against the map,
// orphans, and every record-file header of the blocks in use.
#include <algorithm>
#include <cstring>

#include <fmt/format.h>

#include "check/checker_internal.h"

namespace zrfs::tool {
namespace {

uint64_t RoundUp(uint64_t value, uint64_t step) {
  return (value + step - 1) / step * step;
}

bool HasRing(const TfFileHeader &h) {
  return h.preStart != 0 || h.preEnd != 0 || h.preRecStartPtr != 0 || h.preRecEndPtr != 0;
}

// Where a file's bytes begin in the block.
uint64_t DataStart(const TfFileHeader &h) {
  return HasRing(h) ? h.preStart : h.StartAddr;
}

std::string BlockHeadDamage(const BlkHeader &h, uint64_t unit) {
  std::vector<std::string> parts;
  if (h.inUse != 1) parts.push_back(fmt::format("inUse {}", h.inUse));
  if (h.hdrAreaSize != kHeaderAreaSize)
    parts.push_back(fmt::format("hdrAreaSize {:#x}", h.hdrAreaSize));
  if (h.dataOffset != int64_t(kHeaderAreaSize))
    parts.push_back(fmt::format("dataOffset {:#x}", h.dataOffset));
  if (h.blkType >= 16) parts.push_back(fmt::format("blkType {}", h.blkType));
  if (h.ichan >= 1024) parts.push_back(fmt::format("ichan {}", h.ichan));
  if (h.lastFileNo > kMaxFileNo) parts.push_back(fmt::format("lastFileNo {}", h.lastFileNo));
  if (h.appendPos < int64_t(kHeaderAreaSize) || uint64_t(h.appendPos) > unit)
    parts.push_back(fmt::format("appendPos {:#x}", h.appendPos));
  std::string out;
  for (const auto &p : parts) out += (out.empty() ? "" : ", ") + p;
  return out.empty() ? "all zero" : out;
}

struct Extent {
  uint64_t start, end;
  uint32_t slot;
};

}  // namespace

void CheckRun::ScanBlocks(const ScanProgress &progress) {
  headKnown.assign(blocks, false);
  std::vector<int32_t> orphans;
  for (uint32_t b = 0; b < blocks; ++b) {
    if (progress) progress(b, blocks);
    auto blk = int32_t(b);
    uint8_t state = a.map[b];
    uint64_t address = BlockAddress(blk);
    if (IsBadState(state)) {
      // A block tagged bad keeps its place in the counts while its header
      // says it holds files; its header area is not scanned.
      BlkHeader h;
      if (!disk.Read(address, &h, sizeof h))
        ++unreadableBad;
      else if (BlockHeadPlausible(h, unit) && h.fileNum > 0)
        ++counted[{h.blkType, h.ichan}];
      continue;
    }
    BlockScan scan = ScanBlock(disk, address, state == kBlkFree);
    if (state != kBlkFree && state != kBlkUsed) {
      bool holds = scan.read && !scan.files.empty();
      Add(Severity::kError, "unknown-map-state", BlockLocation(blk),
          fmt::format("map state {:#04x} is no known state", state),
          holds ? "mark it used: it holds record files" : "mark it free: it holds no record files");
      state = a.map[b] = holds ? kBlkUsed : kBlkFree;
    }
    if (state == kBlkUsed) {
      if (!scan.read) {
        Add(Severity::kError, "header-area-unreadable", BlockLocation(blk),
            "its header area cannot be read");
        ++unreadableBad;
        continue;
      }
      scans[blk] = std::move(scan);
      CheckUsedBlock(blk);
    } else if (scan.read && !scan.files.empty()) {
      scans[blk] = std::move(scan);
      orphans.push_back(blk);
    }
  }
  if (progress) progress(blocks, blocks);
  ResolveOrphans(orphans);
}

void CheckRun::CheckUsedBlock(int32_t blk) {
  BlockScan &s = scans[blk];
  bool plausible = BlockHeadPlausible(s.head, unit);
  if (s.files.empty()) {
    std::string why = !plausible           ? (s.headZero ? "never received a record file"
                                                         : "has a damaged header and no record files")
                      : s.head.fileNum > 0 ? fmt::format(
                                                 "its header counts {} record file(s) and "
                                                 "none is there",
                                                 s.head.fileNum)
                                           : "holds no record files";
    Add(Severity::kWarning, "used-block-without-files", BlockLocation(blk),
        "is marked used but " + why, "give it back: clear its header area and mark it free");
    GiveBack(blk);
    return;
  }
  if (!plausible) {
    // An all-zero header is one a power cut can leave: the header of a new
    // block lost while its first file's header was kept, or the zeroing of
    // a block given back kept only in part.  Anything else was overwritten.
    Add(Severity::kError, s.headZero ? "block-header-missing" : "block-header-damaged",
        BlockLocation(blk),
        fmt::format("block header is damaged ({}); the block holds {} record file(s)",
                    BlockHeadDamage(s.head, unit), s.files.size()),
        "rebuild the block header from its record files");
    RebuildBlockHead(blk, -1);
  }
  headKnown[uint32_t(blk)] = true;
  ++counted[{s.head.blkType, s.head.ichan}];
  CheckRecordFiles(blk);
}

void CheckRun::GiveBack(int32_t blk) {
  a.map[uint32_t(blk)] = kBlkFree;
  a.clearBlocks.push_back(blk);
  scans.erase(blk);
  // A channel still filling the block starts a new one next time.
  for (int32_t &entry : a.cur)
    if (entry == blk) entry = -1;
}

void CheckRun::RebuildBlockHead(int32_t blk, int type) {
  BlockScan &s = scans[blk];
  const BlkHeader old = s.head;
  BlkHeader &h = s.head;
  memset(&h, 0, sizeof h);
  h.hdrAreaSize = kHeaderAreaSize;
  h.inUse = 1;
  h.dataOffset = kHeaderAreaSize;
  h.appendPos = kHeaderAreaSize;  // raised from the files by CheckRecordFiles
  const TfFileHeader &newest = s.files.back().header;
  h.ichan = newest.ichan < uint32_t(kChannels) ? newest.ichan : 0;
  if (type < 0)
    for (int t = 0; t < kBlockTypes && type < 0; ++t)
      if (Cur(uint32_t(t), h.ichan) == blk) type = t;
  if (type < 0) type = old.blkType < uint32_t(kBlockTypes) ? int(old.blkType) : 0;
  h.blkType = uint32_t(type);
  h.createTime = s.files.front().header.createTime;
  for (const FileSlot &f : s.files) h.modifyTime = std::max(h.modifyTime, f.header.modifyTime);
  rebuilt.push_back(blk);
}

void CheckRun::WriteBlockHead(int32_t blk) {
  SectorWrite w{BlockAddress(blk), {}};
  memcpy(w.bytes.data(), &scans[blk].head, kSectorSize);
  a.sectorWrites.push_back(w);
}

void CheckRun::ResolveOrphans(const std::vector<int32_t> &orphans) {
  // (type, channel) an orphan would belong to, when it can be told.
  auto owner = [&](int32_t blk, TypeChannel *out) {
    const BlockScan &s = scans[blk];
    if (BlockHeadPlausible(s.head, unit)) {
      *out = {s.head.blkType, s.head.ichan};
      return true;
    }
    uint32_t chan = s.files.back().header.ichan;
    if (chan >= uint32_t(kChannels)) return false;
    for (uint32_t t = 0; t < uint32_t(kBlockTypes); ++t)
      if (Cur(t, chan) == blk) {
        *out = {t, chan};
        return true;
      }
    return false;
  };
  auto adopt = [&](int32_t blk, const TypeChannel &tc, const char *why) {
    BlockScan &s = scans[blk];
    Add(Severity::kError, "free-block-holds-files", BlockLocation(blk),
        fmt::format("holds {} record file(s) but the map marks it free; {}", s.files.size(), why),
        "mark it used again");
    a.map[uint32_t(blk)] = kBlkUsed;
    if (!BlockHeadPlausible(s.head, unit)) RebuildBlockHead(blk, int(tc.first));
    headKnown[uint32_t(blk)] = true;
    ++counted[tc];
    CheckRecordFiles(blk);
  };
  std::vector<int32_t> undecided;
  for (int32_t blk : orphans) {
    TypeChannel tc;
    if (owner(blk, &tc) && Cur(tc.first, tc.second) == blk)
      adopt(blk, tc, "the current-block table still names it");
    else
      undecided.push_back(blk);
  }
  for (int32_t blk : undecided) {
    TypeChannel tc;
    if (owner(blk, &tc) && Cnt(tc.first, tc.second) > counted[tc]) {
      adopt(blk, tc, "the block counts still include it");
      continue;
    }
    Add(Severity::kNote, "free-block-stale-headers", BlockLocation(blk),
        fmt::format("is free but still holds {} record-file header(s) from earlier use; they are "
                    "cleared when the block is used again",
                    scans[blk].files.size()));
    scans.erase(blk);
  }
}

void CheckRun::CheckRecordFiles(int32_t blk) {
  BlockScan &s = scans[blk];
  BlkHeader &head = s.head;
  const bool rebuiltHere = std::find(rebuilt.begin(), rebuilt.end(), blk) != rebuilt.end();
  bool headChanged = rebuiltHere;
  const uint64_t base = BlockAddress(blk);
  const uint64_t append = uint64_t(head.appendPos);

  std::vector<Extent> extents;
  uint64_t maxEnd = kHeaderAreaSize;
  uint32_t maxEndSlot = 0;
  bool maxEndIsOpenRing = false;

  for (FileSlot &f : s.files) {
    TfFileHeader h = f.header;
    bool changed = false;
    const std::string where = fmt::format("block {} file {}", blk, f.slot);
    auto fail = [&](const char *code, const std::string &message) {
      Add(Severity::kError, code, where, message);
    };
    if (f.magicDamaged) {
      Add(Severity::kError, "file-magic-damaged", where, "record-file header has a damaged magic",
          "restore it");
      memcpy(h.magic, "ZRND", 4);
      changed = true;
    }
    if (h.fileNo != f.slot) {
      Add(Severity::kError, "file-number-wrong", where,
          fmt::format("header says file number {}", h.fileNo), fmt::format("set it to {}", f.slot));
      h.fileNo = f.slot;
      changed = true;
    }
    if (h.extName[sizeof h.extName - 1] != 0) {
      Add(Severity::kWarning, "file-extension-unterminated", where,
          "extension is not NUL-terminated", "terminate it");
      h.extName[sizeof h.extName - 1] = 0;
      changed = true;
    }

    // An end past the block: cut it back to where the next file's data (or
    // the block's append position) begins, which this file cannot pass.
    auto clampEnd = [&](uint64_t start) {
      uint64_t bound = unit;
      for (const FileSlot &g : s.files) {
        uint64_t gs = DataStart(g.header);
        if (g.slot > f.slot && gs > start && gs < bound) bound = gs;
      }
      if (bound == unit && append > start && append < bound) bound = append;
      Add(Severity::kError, "file-end-past-block", where,
          fmt::format("EndAddr {:#x} lies beyond the block's end at {:#x}", h.EndAddr, unit),
          fmt::format("set it to {:#x}, where the next data of the block begins", bound));
      h.EndAddr = bound;
      changed = true;
    };

    bool sound = true, openRing = false;
    std::vector<Extent> mine;
    if (!HasRing(h)) {
      if (h.StartAddr < kHeaderAreaSize || h.StartAddr > unit) {
        fail("file-start-invalid",
             fmt::format("StartAddr {:#x} lies outside the block's data area", h.StartAddr));
        sound = false;
      } else if (h.EndAddr < h.StartAddr) {
        fail("file-end-before-start",
             fmt::format("EndAddr {:#x} lies below StartAddr {:#x}", h.EndAddr, h.StartAddr));
        sound = false;
      } else {
        if (h.EndAddr > unit) clampEnd(h.StartAddr);
        mine.push_back({h.StartAddr, h.EndAddr, f.slot});
      }
    } else if (h.preStart < kHeaderAreaSize || h.preEnd <= h.preStart || h.preEnd > unit) {
      fail("file-ring-invalid",
           fmt::format("pre-record ring [{:#x}, {:#x}) lies outside the block's data area",
                       h.preStart, h.preEnd));
      sound = false;
    } else if (h.preRecStartPtr == 0 && h.preRecEndPtr == 0) {  // ring not fixed yet
      openRing = true;
      if (h.StartAddr != 0) {
        fail("file-ring-invalid",
             fmt::format("ring is not fixed yet but StartAddr is {:#x}", h.StartAddr));
        sound = false;
      } else if (h.EndAddr != 0 && h.EndAddr < h.preStart) {
        fail("file-end-before-start",
             fmt::format("EndAddr {:#x} lies before the ring at {:#x}", h.EndAddr, h.preStart));
        sound = false;
      } else {
        if (h.EndAddr > unit) clampEnd(h.preStart);
        mine.push_back({h.preStart, std::max(h.preEnd, h.EndAddr), f.slot});
      }
    } else if (h.preRecStartPtr == 0 || h.preRecEndPtr == 0) {
      fail("file-ring-invalid", "only one of the two ring pointers is set");
      sound = false;
    } else if (h.preRecStartPtr < h.preStart || h.preRecStartPtr >= h.preEnd ||
               h.preRecEndPtr < h.preStart || h.preRecEndPtr >= h.preEnd) {
      fail("file-ring-invalid",
           fmt::format("ring pointers {:#x} and {:#x} lie outside the ring [{:#x}, {:#x})",
                       h.preRecStartPtr, h.preRecEndPtr, h.preStart, h.preEnd));
      sound = false;
    } else if (h.StartAddr < h.preEnd || h.StartAddr > unit) {
      fail("file-start-invalid",
           fmt::format("StartAddr {:#x} lies inside the ring or outside the block", h.StartAddr));
      sound = false;
    } else if (h.EndAddr < h.StartAddr) {
      fail("file-end-before-start",
           fmt::format("EndAddr {:#x} lies below StartAddr {:#x}", h.EndAddr, h.StartAddr));
      sound = false;
    } else {
      if (h.EndAddr > unit) clampEnd(h.StartAddr);
      mine.push_back({h.preStart, h.preEnd, f.slot});
      mine.push_back({h.StartAddr, h.EndAddr, f.slot});
    }
    if (sound)
      for (const Extent &e : mine) {
        extents.push_back(e);
        if (e.end > maxEnd) {
          maxEnd = e.end;
          maxEndSlot = f.slot;
          maxEndIsOpenRing = openRing;  // the library raises nothing for an unfixed ring
        }
      }
    if (changed) {
      SectorWrite w{base + uint64_t(f.slot) * kSectorSize, {}};
      memcpy(w.bytes.data(), &h, kSectorSize);
      a.sectorWrites.push_back(w);
      f.header = h;
    }
  }

  // The block header against its files.  A header made anew takes its
  // values from the files without further report.
  auto fix = [&](Severity sev, const char *code, const std::string &message,
                 const std::string &repair) {
    if (!rebuiltHere) Add(sev, code, BlockLocation(blk), message, repair);
    headChanged = true;
  };
  const auto files = uint32_t(s.files.size());
  if (head.fileNum != files) {
    fix(Severity::kError, "block-file-count-wrong",
        fmt::format("block header counts {} record file(s), its header area holds {}", head.fileNum,
                    files),
        fmt::format("set the count to {}", files));
    head.fileNum = files;
  }
  if (head.lastFileNo < s.highestSlot) {
    fix(Severity::kError, "block-last-file-number-low",
        fmt::format("newest file number is {} but slot {} is taken; the next file would overwrite "
                    "it",
                    head.lastFileNo, s.highestSlot),
        fmt::format("raise it to {}", s.highestSlot));
    head.lastFileNo = s.highestSlot;
  }
  uint64_t wanted = std::min(RoundUp(maxEnd, kAppendAlign), unit);
  if (uint64_t(head.appendPos) < maxEnd) {
    fix(maxEndIsOpenRing ? Severity::kWarning : Severity::kError, "append-position-below-data",
        fmt::format("append position {:#x} lies below the end of file {}'s {} at {:#x}; the next "
                    "file would start inside it",
                    head.appendPos, maxEndSlot, maxEndIsOpenRing ? "unfixed ring" : "data", maxEnd),
        fmt::format("raise it to {:#x}", wanted));
    head.appendPos = int64_t(wanted);
  } else if (head.appendPos % kAppendAlign != 0) {
    uint64_t rounded = std::min(RoundUp(uint64_t(head.appendPos), kAppendAlign), unit);
    fix(Severity::kWarning, "append-position-unaligned",
        fmt::format("append position {:#x} is not a multiple of {}", head.appendPos, kAppendAlign),
        fmt::format("round it up to {:#x}", rounded));
    head.appendPos = int64_t(rounded);
  }

  std::sort(extents.begin(), extents.end(),
            [](const Extent &x, const Extent &y) { return x.start < y.start; });
  for (size_t i = 1; i < extents.size(); ++i) {
    const Extent &prev = extents[i - 1], &next = extents[i];
    if (prev.slot != next.slot && prev.end > prev.start && next.end > next.start &&
        next.start < prev.end)
      Add(Severity::kError, "files-overlap", fmt::format("block {} file {}", blk, next.slot),
          fmt::format("data [{:#x}, {:#x}) overlaps file {}'s data [{:#x}, {:#x})", next.start,
                      next.end, prev.slot, prev.start, prev.end));
  }
  if (headChanged) WriteBlockHead(blk);
}

}  // namespace zrfs::tool
