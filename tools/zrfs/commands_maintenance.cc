// tag-bad and dump: marking a failing stretch of the device bad, and the
// library's diagnostic text.
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

int TagBad(const GlobalOptions &global, const std::string &diskArg, const std::string &offsetText,
           const std::string &lengthText) {
  uint64_t offset = ParseSize(offsetText, "OFFSET");
  uint64_t length = ParseSize(lengthText, "LENGTH");
  if (length > UINT32_MAX)
    throw UsageError(
        fmt::format("LENGTH {} is above the limit of {} bytes", lengthText, UINT32_MAX),
        "Tag a longer stretch in several parts.");
  Session session(ResolveTarget(diskArg, global, -1));
  session.Mount();
  DiskSnapshot before = TakeSnapshot(session);
  if (df_TagBadUnit(session.path(), offset, uint32_t(length)) != 0)
    throw ToolError(fmt::format("cannot tag [{:#x}, +{:#x}) of {} bad", offset, length, diskArg),
                    "The offset must lie on the device and the metadata must be writable.");
  DiskSnapshot after = TakeSnapshot(session);
  std::vector<uint32_t> tagged;
  for (uint32_t b = 0; b < after.head.tolblk && b < uint32_t(kMaxBlocks); ++b)
    if (after.map[b] != before.map[b]) tagged.push_back(b);
  if (tagged.empty()) {
    fmt::print("no block newly marked bad\n");
  } else {
    std::string ids;
    for (uint32_t b : tagged) ids += (ids.empty() ? "" : ", ") + std::to_string(b);
    fmt::print("marked bad: block(s) {}\n", ids);
  }
  return kExitOk;
}

int Dump(const GlobalOptions &global, const std::string &diskArg) {
  Session session(ResolveTarget(diskArg, global, -1));
  session.Mount();
  std::vector<char> text(kDumpBytes);
  int n = zrfs_GetDebugInfo(text.data(), kDumpBytes);
  if (n <= 0) throw ToolError("the library gave no diagnostic text");
  PrintText(std::string(text.data(), strnlen(text.data(), text.size())));
  return kExitOk;
}

}  // namespace

void AddMaintenanceCommands(CLI::App &app, CommandContext &ctx) {
  {
    struct Opts {
      std::string disk, offset, length;
    };
    auto o = std::make_shared<Opts>();
    CLI::App *sub = app.add_subcommand(
        "tag-bad", "Mark every block that a byte range of the device touches as bad");
    AddDiskArgument(sub, o->disk);
    sub->add_option("OFFSET", o->offset, "Byte offset on the device")->required();
    sub->add_option("LENGTH", o->length, "Length in bytes")->required();
    OnRun(sub, ctx, [o, &ctx] { return TagBad(ctx.global, o->disk, o->offset, o->length); });
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
