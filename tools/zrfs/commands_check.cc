// check [--repair]: the disk checker on the raw bytes of a disk or image.
#include <cstring>
#include <memory>

#include <fmt/format.h>

#include "check/checker.h"
#include "commands.h"
#include "errors.h"
#include "holders.h"
#include "output.h"
#include "progress.h"
#include "zrfs.h"

namespace zrfs::tool {
namespace {

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
    // A repair rewrites metadata that a recorder with the disk mounted
    // holds in memory and writes back: it needs the disk unmounted
    // everywhere.  A mount count nobody stands behind is cleared with the
    // root's System V objects.
    DiskUse use = UseOfDisk(target);
    if (use.InUse())
      throw ToolError(
          fmt::format("{} is mounted by {}", diskArg,
                      use.holders.empty()
                          ? fmt::format("{} recorder process(es) (pids not visible)", use.mounted)
                          : fmt::format("{} recorder process(es): {}", use.holders.size(),
                                        DescribeHolders(use.holders))),
          "Repair needs the disk unmounted everywhere: unmount it in every recorder "
          "process (or stop them), then run the repair again.");
    if (use.Stale())
      throw ToolError(
          fmt::format("{} counts {} mount(s), but no running process has it mounted", diskArg,
                      use.mounted),
          fmt::format("The count was left by recorders that died.  Run '{}' to clear it (it "
                      "removes the root's System V objects), then run the repair again.",
                      CleanCommand(target)));
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
    return before.Clean() ? kExitOk : kCheckUncorrected;
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
  return (done.empty() ? 0 : kCheckCorrected) | (after.Clean() ? 0 : kCheckUncorrected);
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
      "Check the disk layout on the raw bytes.  --repair fixes what can be fixed without losing "
      "recordings and needs the disk unmounted everywhere");
  sub->footer(
      "Exit status (bits, added up): 0 clean; 1 problems were corrected; 4 problems are left "
      "uncorrected; 8 operational error (no such image, disk in use, interrupted); 16 usage "
      "error.");
  AddDiskArgument(sub, o->disk);
  sub->add_flag("--repair", o->repair, "Fix what can be fixed, then check again");
  sub->add_flag("--json", o->json, "Print JSON");
  OnRun(
      sub, ctx, [o, &ctx] { return Check(ctx.global, o->disk, o->repair, o->json); },
      kCheckOperational);
}

}  // namespace zrfs::tool
