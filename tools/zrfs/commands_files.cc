// ls, stat, rm, lock and unlock: the record files of a disk.
#include <memory>

#include <fmt/format.h>

#include "catalog.h"
#include "commands.h"
#include "disk_view.h"
#include "errors.h"
#include "numbers.h"
#include "output.h"
#include "retention.h"
#include "time_window.h"
#include "zrfs.h"
#include "zrfs/bf.h"
#include "zrfs/fsc.h"

namespace zrfs::tool {
namespace {

const char *LockText(uint64_t lockFlag) {
  switch (lockFlag) {
    case 0:
      return "-";
    case 1:
      return "locked";
    case 2:
      return "created locked";
    default:
      return "?";
  }
}

std::string HexBytes(const uint8_t *bytes, size_t n) {
  std::string out;
  for (size_t i = 0; i < n; ++i) out += fmt::format("{:02x}", bytes[i]);
  return out;
}

int Ls(const GlobalOptions &global, const std::string &diskArg, int64_t onlyBlock,
       const Selection &selection, bool utc, bool json) {
  // Read-only from the device: a listing mounts nothing and changes nothing.
  Session session(ResolveTarget(diskArg, global, -1));
  DiskSnapshot snap = TakeSnapshot(session);
  RawDisk raw(session.target().real, false);
  std::vector<int32_t> blocks;
  if (onlyBlock >= 0) {
    if (onlyBlock >= int64_t(snap.head.tolblk) || snap.map[size_t(onlyBlock)] != kBlkUsed)
      throw ToolError(fmt::format("block {} is not a used block of {}", onlyBlock, diskArg),
                      "'zrfs blocks DISK' lists the used blocks.");
    blocks.push_back(int32_t(onlyBlock));
  } else {
    blocks = UsedBlocks(snap);
  }
  Table table({{"NAME"},
               {"CHANNEL", true},
               {"TYPE", true},
               {"RECTYPE", true},
               {"SIZE", true},
               {"CREATED"},
               {"MODIFIED"},
               {"LOCK"},
               {"PREREC"}});
  Json rows = Json::array();
  for (int32_t blk : blocks) {
    BlkHeader block;
    if (!ReadBlockHead(raw, snap.head, blk, &block))
      throw ToolError(fmt::format("cannot read the header of block {}", blk));
    for (const BlockFile &file :
         ReadBlockFiles(raw, snap.head, session.target().disk, blk, block)) {
      const TfFileHeader &h = file.header;
      uint64_t size = LogicalSize(h);
      Recording r;
      r.channel = h.ichan;
      r.blockType = block.blkType;
      r.createTime = h.createTime;
      r.modifyTime = h.modifyTime;
      if (!selection.Keeps(r)) continue;
      table.AddRow({file.name, std::to_string(h.ichan), std::to_string(block.blkType),
                    std::to_string(h.recType), std::to_string(size), FormatTime(h.createTime, utc),
                    FormatTime(h.modifyTime, utc), LockText(h.lockFlag), RingState(h)});
      rows.push_back({{"name", file.name},
                      {"block", blk},
                      {"file_no", h.fileNo},
                      {"channel", h.ichan},
                      {"block_type", block.blkType},
                      {"rec_type", h.recType},
                      {"size", size},
                      {"create_time", JsonTime(h.createTime)},
                      {"modify_time", JsonTime(h.modifyTime)},
                      {"lock_flag", h.lockFlag},
                      {"pre_record", RingState(h)}});
    }
  }
  // The text is the table alone, which scripts read line by line, so the
  // retention settings go only into the JSON (and into df's text).
  if (json)
    PrintJson({{"disk", diskArg},
               {"files", rows},
               {"retention", RetentionJson(ReadRetention(session.target()))}});
  else
    PrintText(table.empty() ? "no record files\n" : table.Render());
  return kExitOk;
}

int Stat(const GlobalOptions &global, const std::string &diskArg, const std::string &name,
         bool json) {
  // Read-only from the device, like ls: nothing is mounted or changed.
  Session session(TargetForName(diskArg, global, name));
  NameParts parts = ParseName(name);
  DiskSnapshot snap = TakeSnapshot(session);
  RawDisk raw(session.target().real, false);
  TfFileHeader h{};
  if (!FindRecordFile(raw, snap, parts, &h))
    throw ToolError(fmt::format("no record file {} on {}", name, diskArg),
                    "'zrfs ls DISK' lists the record files.");
  struct {
    uint64_t ichan, lockFlag;
    int64_t recType, createTime;
    const uint8_t *usrParam;
  } st{h.ichan, h.lockFlag, h.recType, h.createTime, h.usrParam};
  std::string ext(h.extName, strnlen(h.extName, sizeof h.extName));
  Json doc = {{"name", name},
              {"disk", parts.disk},
              {"block", parts.blk},
              {"file_no", parts.fileNo},
              {"tag", std::string(h.tag, 4)},
              {"ext", ext},
              {"channel", st.ichan},
              {"lock_flag", st.lockFlag},
              {"rec_type", st.recType},
              {"size", LogicalSize(h)},
              {"create_time", JsonTime(st.createTime)},
              {"modify_time", JsonTime(h.modifyTime)},
              {"pre_record", RingState(h)},
              {"pre_start", h.preStart},
              {"pre_end", h.preEnd},
              {"pre_rec_start_ptr", h.preRecStartPtr},
              {"pre_rec_end_ptr", h.preRecEndPtr},
              {"start_addr", h.StartAddr},
              {"end_addr", h.EndAddr},
              {"usr_param", HexBytes(st.usrParam, sizeof h.usrParam)}};
  if (json) {
    PrintJson(doc);
    return kExitOk;
  }
  std::string text;
  text += fmt::format("name:        {}\n", name);
  text +=
      fmt::format("place:       disk {}, block {}, file {}\n", parts.disk, parts.blk, parts.fileNo);
  text += fmt::format("channel:     {}\n", st.ichan);
  text += fmt::format("record type: {}\n", st.recType);
  text += fmt::format("lock:        {} ({})\n", st.lockFlag, LockText(st.lockFlag));
  text += fmt::format("size:        {} bytes\n", LogicalSize(h));
  text += fmt::format("created:     {}\n", FormatTime(st.createTime));
  text += fmt::format("modified:    {}\n", FormatTime(h.modifyTime));
  text += fmt::format("pre-record:  {}\n", RingState(h));
  if (h.preStart != 0 || h.preEnd != 0)
    text += fmt::format("ring:        [{:#x}, {:#x}), valid from {:#x} to {:#x}\n", h.preStart,
                        h.preEnd, h.preRecStartPtr, h.preRecEndPtr);
  text += fmt::format("main data:   [{:#x}, {:#x})\n", h.StartAddr, h.EndAddr);
  text += fmt::format("user param:  {}\n", HexBytes(st.usrParam, sizeof h.usrParam));
  PrintText(text);
  return kExitOk;
}

int Remove(const GlobalOptions &global, const std::string &diskArg, const std::string &name,
           bool json) {
  Session session(TargetForName(diskArg, global, name));
  session.Mount();
  if (zrfs_Unlink(name.c_str()) != 0)
    throw ToolError(WithLibraryReason(fmt::format("cannot remove {}", name)),
                    "The file must exist and no recorder process may have it open.");
  if (json)
    PrintJson({{"disk", diskArg}, {"removed", name}});
  else
    PrintText(fmt::format("removed {}\n", name));
  return kExitOk;
}

int SetLock(const GlobalOptions &global, const std::string &diskArg, const std::string &name,
            int lockFlag, bool json) {
  Session session(TargetForName(diskArg, global, name));
  session.Mount();
  TfFileStat st{};
  if (zrfs_Stat(name.c_str(), &st) != 0)
    throw ToolError(fmt::format("no record file {} on {}", name, diskArg),
                    "'zrfs ls DISK' lists the record files.");
  // The call answers 0 once the file is open; its reason says whether the
  // header reached the disk.
  if (zrfs_Lock(name.c_str(), lockFlag) != 0 || zrfs_LastError() != ZRFS_OK)
    throw ToolError(WithLibraryReason(fmt::format("cannot write the header of {}", name)),
                    fmt::format("Run 'zrfs check {}'.", diskArg));
  if (json)
    PrintJson({{"disk", diskArg}, {"name", name}, {"lock_flag", lockFlag}});
  else
    PrintText(fmt::format("{} {}\n", lockFlag ? "locked" : "unlocked", name));
  return kExitOk;
}

}  // namespace

void AddFileCommands(CLI::App &app, CommandContext &ctx) {
  {
    struct Opts {
      std::string disk;
      int64_t block = -1;
      std::vector<uint32_t> channels;
      int64_t kind = -1;
      std::string from, to, at;
      bool utc = false;
      bool json = false;
    };
    auto o = std::make_shared<Opts>();
    CLI::App *sub = app.add_subcommand(
        "ls", "List record files: name, channel, type, record type, size, times, lock, pre-record");
    AddDiskArgument(sub, o->disk);
    sub->add_option("BLOCK", o->block, "Only this block")->check(CLI::NonNegativeNumber);
    sub->add_option("--channel", o->channels, "Only this channel (repeatable)")
        ->allow_extra_args(false)
        ->check(CLI::Range(0u, 1023u));
    sub->add_option("--kind", o->kind, "Only recordings of this data type's block type")
        ->check(CLI::Range(int64_t(0), int64_t(UINT32_MAX)));
    sub->add_option("--from", o->from, "Only recordings that end at or after TIME");
    sub->add_option("--to", o->to, "Only recordings that begin at or before TIME");
    sub->add_option("--at", o->at, "Only recordings that span TIME")
        ->excludes(sub->get_option("--from"))
        ->excludes(sub->get_option("--to"));
    sub->add_flag("--utc", o->utc, "TIME and the times shown are UTC, not local time");
    sub->add_flag("--json", o->json, "Print JSON");
    OnRun(sub, ctx, [o, &ctx] {
      Selection selection;
      selection.channels = o->channels;
      if (o->kind >= 0) selection.blockType = fsc_GetBlkType(uint32_t(o->kind));
      if (!o->from.empty()) selection.from = ParseTime(o->from, o->utc);
      if (!o->to.empty()) selection.to = ParseTime(o->to, o->utc);
      if (!o->at.empty()) selection.from = selection.to = ParseTime(o->at, o->utc);
      return Ls(ctx.global, o->disk, o->block, selection, o->utc, o->json);
    });
  }
  struct NameOpts {
    std::string disk, name;
    bool json = false;
  };
  {
    auto o = std::make_shared<NameOpts>();
    CLI::App *sub = app.add_subcommand("stat", "Show everything about one record file");
    AddDiskArgument(sub, o->disk);
    sub->add_option("NAME", o->name, "Record-file name")->required();
    sub->add_flag("--json", o->json, "Print JSON");
    OnRun(sub, ctx, [o, &ctx] { return Stat(ctx.global, o->disk, o->name, o->json); });
  }
  {
    auto o = std::make_shared<NameOpts>();
    CLI::App *sub =
        app.add_subcommand("rm", "Delete a record file (its block is freed with its last file)");
    AddDiskArgument(sub, o->disk);
    sub->add_option("NAME", o->name, "Record-file name")->required();
    sub->add_flag("--json", o->json, "Print JSON");
    OnRun(sub, ctx, [o, &ctx] { return Remove(ctx.global, o->disk, o->name, o->json); });
  }
  for (bool lock : {true, false}) {
    auto o = std::make_shared<NameOpts>();
    CLI::App *sub = app.add_subcommand(
        lock ? "lock" : "unlock",
        lock ? "Lock a record file (kept when space is reclaimed)" : "Unlock a record file");
    AddDiskArgument(sub, o->disk);
    sub->add_option("NAME", o->name, "Record-file name")->required();
    sub->add_flag("--json", o->json, "Print JSON");
    OnRun(sub, ctx,
          [o, &ctx, lock] { return SetLock(ctx.global, o->disk, o->name, lock ? 1 : 0, o->json); });
  }
}

}  // namespace zrfs::tool
