// check [--repair]: the disk checker on the raw bytes of a disk or image.
#include <cstring>
#include <memory>

#include <fmt/format.h>

#include "check/checker.h"
#include "commands.h"
#include "errors.h"
#include "output.h"
#include "progress.h"
#include "zrfs.h"

namespace zrfs::tool {
namespace {

// Processes that have the disk mounted now, from the disk's shared image
// in the key directory the recorders use (0 when there is none).
uint32_t MountedElsewhere(const DiskTarget &target) {
  if (target.privateRoot) return 0;
  int users = zrfs_DiskUsers(target.root.c_str(), target.disk);
  return users < 0 ? 1 : uint32_t(users);  // cannot tell: assume in use
}

Json FindingsJson(const Analysis &a) {
  Json list = Json::array();
  for (const Finding &f : a.findings) {
    Json item = {{"severity", SeverityName(f.severity)},
                 {"code", f.code},
                 {"location", f.location},
                 {"message", f.message}};
    item["repair"] = f.repair.empty() ? Json(nullptr) : Json(f.repair);
    list.push_back(item);
  }
  return list;
}

Json SummaryJson(const Analysis &a) {
  return {
      {"clean", a.Clean()},
      {"errors", a.Count(Severity::kError)},
      {"warnings", a.Count(Severity::kWarning)},
      {"notes", a.Count(Severity::kNote)},
      {"blocks",
       {{"total", a.blocks}, {"used", a.usedBlocks}, {"free", a.freeBlocks}, {"bad", a.badBlocks}}},
      {"record_files", a.recordFiles},
      {"findings", FindingsJson(a)}};
}

std::string FindingsText(const Analysis &a, bool repairing) {
  std::string text;
  for (const Finding &f : a.findings) {
    text += fmt::format("{:<7}  {}: {} [{}]\n", SeverityName(f.severity), f.location, f.message,
                        f.code);
    if (!f.repair.empty())
      text += fmt::format("         {}: {}\n", repairing ? "repair" : "fix", f.repair);
  }
  text += fmt::format("{} block(s): {} used, {} free, {} bad; {} record file(s)\n", a.blocks,
                      a.usedBlocks, a.freeBlocks, a.badBlocks, a.recordFiles);
  text += fmt::format("{} error(s), {} warning(s), {} note(s)\n", a.Count(Severity::kError),
                      a.Count(Severity::kWarning), a.Count(Severity::kNote));
  return text;
}

// Scans with a progress bar (on a terminal), stopping when interrupted.
Analysis AnalyseWithProgress(const RawDisk &raw, const char *label) {
  Progress progress(label, 0, "blocks");
  return AnalyseDisk(raw, [&progress](uint64_t done, uint64_t total) {
    ThrowIfInterrupted();
    progress.SetTotal(total);
    progress.Update(done);
  });
}

int Check(const GlobalOptions &global, const std::string &diskArg, bool repair, bool json) {
  DiskTarget target = ResolveTarget(diskArg, global, -1);
  if (repair) {
    uint32_t mounted = MountedElsewhere(target);
    if (mounted > 0)
      throw ToolError(fmt::format("{} is mounted by {} recorder process(es)", diskArg, mounted),
                      "Repair needs the disk unmounted everywhere: unmount it in every recorder "
                      "process (or stop them), then run the repair again.");
  }
  RawDisk raw(target.real, repair);
  Analysis before = AnalyseWithProgress(raw, "check");
  if (!repair) {
    if (json)
      PrintJson({{"disk", diskArg}, {"check", SummaryJson(before)}});
    else
      PrintText(fmt::format("checking {}\n", diskArg) + FindingsText(before, false) +
                (before.Clean()        ? ""
                 : before.Repairable() ? fmt::format("Run 'zrfs check --repair {}' to fix "
                                                     "what can be fixed.\n",
                                                     diskArg)
                                       : ""));
    return before.Clean() ? kExitOk : kExitFailure;
  }
  std::vector<std::string> done;
  if (!before.Clean() && before.Repairable()) done = ApplyRepair(raw, before);
  Analysis after = AnalyseWithProgress(raw, "recheck");
  if (json) {
    PrintJson({{"disk", diskArg},
               {"check", SummaryJson(before)},
               {"repairs", done},
               {"after_repair", SummaryJson(after)}});
  } else {
    std::string text = fmt::format("checking {}\n", diskArg) + FindingsText(before, true);
    if (done.empty()) {
      text += before.Clean() ? "nothing to repair\n" : "nothing could be repaired\n";
    } else {
      text += "repairs made:\n";
      for (const std::string &line : done) text += "  " + line + "\n";
      text += after.Clean() ? "after repair: clean\n"
                            : "after repair, still:\n" + FindingsText(after, false);
    }
    PrintText(text);
  }
  return after.Clean() ? kExitOk : kExitFailure;
}

}  // namespace

void AddCheckCommand(CLI::App &app, CommandContext &ctx) {
  struct Opts {
    std::string disk;
    bool repair = false, json = false;
  };
  auto o = std::make_shared<Opts>();
  CLI::App *sub = app.add_subcommand(
      "check",
      "Check the disk layout on the raw bytes; exit 1 when there are problems.  --repair fixes "
      "what can be fixed without losing recordings and needs the disk unmounted everywhere");
  AddDiskArgument(sub, o->disk);
  sub->add_flag("--repair", o->repair, "Fix what can be fixed, then check again");
  sub->add_flag("--json", o->json, "Print JSON");
  OnRun(sub, ctx, [o, &ctx] { return Check(ctx.global, o->disk, o->repair, o->json); });
}

}  // namespace zrfs::tool
