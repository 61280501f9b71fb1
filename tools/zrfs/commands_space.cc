// df and blocks: space by channel and data type, and the used blocks.
#include <memory>

#include <fmt/format.h>

#include "check/raw_disk.h"
#include "commands.h"
#include "disk_view.h"
#include "errors.h"
#include "numbers.h"
#include "output.h"
#include "retention.h"
#include "zrfs/df.h"

namespace zrfs::tool {
namespace {

// The data types counted under each block type.
const char *DataTypesOf(uint32_t blockType) {
  switch (blockType) {
    case 0:
      return "0, 1, 7+";
    case 1:
      return "3";
    case 2:
      return "2, 4";
    case 3:
      return "5";
    case 4:
      return "6";
    default:
      return "-";
  }
}

int Df(const GlobalOptions &global, const std::string &diskArg, bool json) {
  Session session(ResolveTarget(diskArg, global, -1));  // read-only: nothing is mounted
  DiskSnapshot snap = TakeSnapshot(session);
  uint64_t unitMiB = snap.head.unitSize >> 20;
  uint32_t blocks = snap.head.tolblk, used = 0, bad = 0, freeBlocks = 0;
  for (uint32_t b = 0; b < blocks && b < uint32_t(kMaxBlocks); ++b) {
    used += snap.map[b] == kBlkUsed;
    bad += IsBadState(snap.map[b]);
    freeBlocks += snap.map[b] == kBlkFree;
  }
  // Counted as the library's statistics count them: 512-byte sectors.
  uint64_t sectorsPerBlock = uint64_t(snap.head.unitSize) >> 9;
  uint64_t totalMiB = sectorsPerBlock * blocks / 2048;
  uint64_t freeMiB = sectorsPerBlock * freeBlocks / 2048;
  RetentionView retention = ReadRetention(session.target());
  Json rows = Json::array();
  // A channel's quota counts its blocks of every type; each of its rows
  // repeats it.
  Table table({{"CHANNEL", true},
               {"TYPE", true},
               {"DATA TYPES"},
               {"BLOCKS", true},
               {"USED MiB", true},
               {"QUOTA", true}});
  for (uint32_t chan = 0; chan < uint32_t(kChannels); ++chan)
    for (uint32_t type = 0; type < uint32_t(kBlockTypes); ++type) {
      uint32_t n = snap.cnt[size_t(type) * kChannels + chan];
      if (n == 0) continue;
      uint32_t quota = QuotaOf(retention, chan);
      table.AddRow({std::to_string(chan), std::to_string(type), DataTypesOf(type),
                    std::to_string(n), std::to_string(n * unitMiB),
                    quota == 0 ? "-" : std::to_string(quota)});
      rows.push_back({{"channel", chan},
                      {"block_type", type},
                      {"blocks", n},
                      {"used_mib", n * unitMiB},
                      {"quota_blocks", quota == 0 ? Json(nullptr) : Json(quota)}});
    }
  if (json) {
    PrintJson({{"disk", diskArg},
               {"unit_mib", unitMiB},
               {"blocks", {{"total", blocks}, {"used", used}, {"free", freeBlocks}, {"bad", bad}}},
               {"total_mib", totalMiB},
               {"free_mib", freeMiB},
               {"used_mib", uint64_t(used) * unitMiB},
               {"channels", rows},
               {"retention", RetentionJson(retention)}});
    return kExitOk;
  }
  std::string text = fmt::format(
      "disk: {}\nsize: {} MiB in {} block(s) of {} MiB\nused: {} MiB ({} blocks)\nfree: {} MiB "
      "({} blocks)\nbad:  {} block(s)\n",
      diskArg, totalMiB, blocks, unitMiB, uint64_t(used) * unitMiB, used, freeMiB, freeBlocks, bad);
  text += RetentionText(retention);
  text += table.empty() ? "no channel holds blocks\n" : "\n" + table.Render();
  PrintText(text);
  return kExitOk;
}

int Blocks(const GlobalOptions &global, const std::string &diskArg, bool json) {
  Session session(ResolveTarget(diskArg, global, -1));  // read-only: nothing is mounted
  DiskSnapshot snap = TakeSnapshot(session);
  RawDisk raw(session.target().real, false);
  Table table({{"BLOCK", true},
               {"CHANNEL", true},
               {"TYPE", true},
               {"CREATED"},
               {"MODIFIED"},
               {"FILES", true},
               {"APPEND", true}});
  Json rows = Json::array();
  for (int32_t blk : UsedBlocks(snap)) {
    BlkHeader h;
    if (!ReadBlockHead(raw, snap.head, blk, &h))
      throw ToolError(fmt::format("cannot read the header of block {}", blk));
    table.AddRow({std::to_string(blk), std::to_string(h.ichan), std::to_string(h.blkType),
                  FormatTime(h.createTime), FormatTime(h.modifyTime), std::to_string(h.fileNum),
                  Hex(uint64_t(h.appendPos))});
    rows.push_back({{"block", blk},
                    {"channel", h.ichan},
                    {"block_type", h.blkType},
                    {"create_time", JsonTime(h.createTime)},
                    {"modify_time", JsonTime(h.modifyTime)},
                    {"files", h.fileNum},
                    {"append_pos", h.appendPos}});
  }
  if (json) {
    PrintJson({{"disk", diskArg}, {"blocks", rows}});
  } else {
    PrintText(table.empty() ? "no used blocks\n" : table.Render());
  }
  return kExitOk;
}

}  // namespace

void AddSpaceCommands(CLI::App &app, CommandContext &ctx) {
  struct Opts {
    std::string disk;
    bool json = false;
  };
  {
    auto o = std::make_shared<Opts>();
    CLI::App *sub = app.add_subcommand(
        "df",
        "Show the disk's space, the space used per channel and data type, and the retention "
        "mode and channel quotas");
    AddDiskArgument(sub, o->disk);
    sub->add_flag("--json", o->json, "Print JSON");
    OnRun(sub, ctx, [o, &ctx] { return Df(ctx.global, o->disk, o->json); });
  }
  {
    auto o = std::make_shared<Opts>();
    CLI::App *sub = app.add_subcommand(
        "blocks", "List the used blocks: id, channel, type, times, files, append position");
    AddDiskArgument(sub, o->disk);
    sub->add_flag("--json", o->json, "Print JSON");
    OnRun(sub, ctx, [o, &ctx] { return Blocks(ctx.global, o->disk, o->json); });
  }
}

}  // namespace zrfs::tool
