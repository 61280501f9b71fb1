// tag-bad, untag and dump: marking a failing stretch of the device bad,
// taking such a marking back, and the library's diagnostic text.
#include <fcntl.h>
#include <unistd.h>

#include <memory>

#include <fmt/format.h>

#include "commands.h"
#include "disk_view.h"
#include "errors.h"
#include "numbers.h"
#include "output.h"
#include "zrfs.h"
#include "zrfs/df.h"

namespace zrfs::tool {
namespace {

constexpr int kDumpBytes = 1 << 20;

struct Range {
  uint64_t offset, length;
};

Range ParseRange(const std::string &offsetText, const std::string &lengthText) {
  Range range{ParseSize(offsetText, "OFFSET"), ParseSize(lengthText, "LENGTH")};
  if (range.length > UINT32_MAX)
    throw UsageError(
        fmt::format("LENGTH {} is above the limit of {} bytes", lengthText, UINT32_MAX),
        "Give a longer stretch in several parts.");
  return range;
}

// The blocks a range touches, as the library counts them: from the block
// of its first byte to the block of the byte just past it, inside the data
// area.
std::vector<uint32_t> TouchedBlocks(const DiskSnapshot &snap, const Range &range) {
  const DfDiskHeader &h = snap.head;
  uint64_t blocks = std::min<uint64_t>(h.tolblk, uint64_t(kMaxBlocks));
  uint64_t dataEnd = h.dataStart + uint64_t(h.unitSize) * h.tolblk;
  uint64_t end = range.offset + range.length;
  std::vector<uint32_t> ids;
  if (blocks == 0 || h.unitSize == 0 || end <= h.dataStart || range.offset >= dataEnd) return ids;
  uint64_t first = range.offset > h.dataStart ? (range.offset - h.dataStart) / h.unitSize : 0;
  uint64_t last = end < dataEnd ? (end - h.dataStart) / h.unitSize : blocks - 1;
  for (uint64_t b = first; b <= last && b < blocks; ++b) ids.push_back(uint32_t(b));
  return ids;
}

std::string JoinIds(const std::vector<uint32_t> &ids) {
  std::string text;
  for (uint32_t b : ids) text += (text.empty() ? "" : ", ") + std::to_string(b);
  return text;
}

Json IdArray(const std::vector<uint32_t> &ids) {
  Json array = Json::array();
  for (uint32_t b : ids) array.push_back(b);
  return array;
}

int TagBad(const GlobalOptions &global, const std::string &diskArg, const Range &range, bool force,
           bool json) {
  Session session(ResolveTarget(diskArg, global, -1));
  session.Mount();
  DiskSnapshot before = TakeSnapshot(session);
  // Recordings in a block tagged bad can no longer be opened: say which,
  // and go on only when told to.
  RawDisk raw(session.target().real, false);
  std::vector<std::string> recordings;
  for (uint32_t blk : TouchedBlocks(before, range)) {
    BlkHeader block;
    if (before.map[blk] != kBlkUsed || !ReadBlockHead(raw, before.head, int32_t(blk), &block))
      continue;
    for (const BlockFile &file :
         ReadBlockFiles(raw, before.head, session.target().disk, int32_t(blk), block))
      recordings.push_back(file.name);
  }
  if (!recordings.empty() && !force) {
    std::string list;
    for (const std::string &name : recordings) list += "\n  " + name;
    throw ToolError(
        fmt::format("[{:#x}, +{:#x}) of {} holds {} recording(s), which tagging makes "
                    "unreachable:{}",
                    range.offset, range.length, diskArg, recordings.size(), list),
        "Export what should be kept first ('zrfs export'); give --force to tag the range "
        "anyway.  'zrfs untag' takes the tagging back.");
  }
  if (df_TagBadUnit(session.path(), range.offset, uint32_t(range.length)) != 0)
    throw ToolError(
        fmt::format("cannot tag [{:#x}, +{:#x}) of {} bad", range.offset, range.length, diskArg),
        "The offset must lie on the device and the metadata must be writable.");
  DiskSnapshot after = TakeSnapshot(session);
  std::vector<uint32_t> tagged;
  for (uint32_t b = 0; b < after.head.tolblk && b < uint32_t(kMaxBlocks); ++b)
    if (after.map[b] != before.map[b]) tagged.push_back(b);
  if (json) {
    Json names = Json::array();
    for (const std::string &name : recordings) names.push_back(name);
    PrintJson({{"disk", diskArg}, {"tagged", IdArray(tagged)}, {"recordings", names}});
  } else {
    PrintText(tagged.empty() ? "no block newly marked bad\n"
                             : fmt::format("marked bad: block(s) {}\n", JoinIds(tagged)));
  }
  return kExitOk;
}

int Untag(const GlobalOptions &global, const std::string &diskArg, const Range &range, bool json) {
  Session session(ResolveTarget(diskArg, global, -1));
  session.Mount();
  DiskSnapshot before = TakeSnapshot(session);
  if (df_UntagBadUnit(session.path(), range.offset, uint32_t(range.length)) != 0)
    throw ToolError(
        WithLibraryReason(
            fmt::format("cannot untag [{:#x}, +{:#x}) of {}", range.offset, range.length, diskArg)),
        "The offset must lie on the device, and the block headers must be readable and the "
        "metadata writable.");
  DiskSnapshot after = TakeSnapshot(session);
  std::vector<uint32_t> used, freed, failed;
  for (uint32_t blk : TouchedBlocks(before, range)) {
    if (before.map[blk] == kBlkBadBlock) failed.push_back(blk);
    if (before.map[blk] != kBlkBadUnit) continue;
    (after.map[blk] == kBlkUsed ? used : freed).push_back(blk);
  }
  if (json) {
    PrintJson({{"disk", diskArg},
               {"used", IdArray(used)},
               {"free", IdArray(freed)},
               {"still_bad", IdArray(failed)}});
    return kExitOk;
  }
  std::string text;
  if (used.empty() && freed.empty()) text += "no tagged block in the range\n";
  if (!used.empty())
    text += fmt::format("back in use, with their recordings: block(s) {}\n", JoinIds(used));
  if (!freed.empty()) text += fmt::format("free again: block(s) {}\n", JoinIds(freed));
  if (!failed.empty())
    text += fmt::format("still bad (an I/O failed there): block(s) {}\n", JoinIds(failed));
  PrintText(text);
  return kExitOk;
}

int Dump(const GlobalOptions &global, const std::string &diskArg) {
  // An image or device of its own is mounted from a copy of its metadata,
  // so the dump never writes to it and works on a write-protected one.  In
  // a shared root the dump shows the image the recorders share.
  Session session(ResolveTarget(diskArg, global, -1), Session::Device::kMetadataCopy);
  session.Mount();
  std::vector<char> text(kDumpBytes);
  int n = zrfs_GetDebugInfo(text.data(), kDumpBytes);
  if (n <= 0) throw ToolError("the library gave no diagnostic text");
  PrintText(std::string(text.data(), strnlen(text.data(), text.size())));
  return kExitOk;
}

}  // namespace

void AddMaintenanceCommands(CLI::App &app, CommandContext &ctx) {
  struct RangeOpts {
    std::string disk, offset, length;
    bool force = false, json = false;
  };
  {
    auto o = std::make_shared<RangeOpts>();
    CLI::App *sub = app.add_subcommand(
        "tag-bad", "Mark every block that a byte range of the device touches as bad");
    AddDiskArgument(sub, o->disk);
    sub->add_option("OFFSET", o->offset, "Byte offset on the device")->required();
    sub->add_option("LENGTH", o->length, "Length in bytes")->required();
    sub->add_flag("--force", o->force, "Tag the range even when it holds recordings");
    sub->add_flag("--json", o->json, "Print JSON");
    OnRun(sub, ctx, [o, &ctx] {
      return TagBad(ctx.global, o->disk, ParseRange(o->offset, o->length), o->force, o->json);
    });
  }
  {
    auto o = std::make_shared<RangeOpts>();
    CLI::App *sub = app.add_subcommand(
        "untag",
        "Take back tag-bad over a byte range: its tagged blocks become used (when they still "
        "hold their recordings) or free; blocks that failed an I/O stay bad");
    AddDiskArgument(sub, o->disk);
    sub->add_option("OFFSET", o->offset, "Byte offset on the device")->required();
    sub->add_option("LENGTH", o->length, "Length in bytes")->required();
    sub->add_flag("--json", o->json, "Print JSON");
    OnRun(sub, ctx, [o, &ctx] {
      return Untag(ctx.global, o->disk, ParseRange(o->offset, o->length), o->json);
    });
  }
  {
    auto disk = std::make_shared<std::string>();
    CLI::App *sub = app.add_subcommand(
        "dump", "Print the library's diagnostic text for this process with the disk mounted");
    AddDiskArgument(sub, *disk);
    OnRun(sub, ctx, [disk, &ctx] { return Dump(ctx.global, *disk); });
  }
}

}  // namespace zrfs::tool
