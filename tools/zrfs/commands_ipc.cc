// ipc status and ipc clean: the System V objects of a key directory.
#include <memory>

#include <fmt/format.h>

#include "commands.h"
#include "errors.h"
#include "ipc_objects.h"
#include "output.h"

namespace zrfs::tool {
namespace {

std::string KeyDirOf(const GlobalOptions &global) {
  return KeyDirectory(global.root.empty() ? "" : global.root);
}

int Status(const GlobalOptions &global, bool json) {
  std::string keyDir = KeyDirOf(global);
  std::vector<IpcObject> objects = FindIpcObjects(global.root);
  if (json) {
    Json rows = Json::array();
    for (const IpcObject &o : objects) {
      Json row = {{"kind", o.kind == IpcObject::Kind::kSegment ? "shm" : "sem"},
                  {"key", Hex(uint32_t(o.key))},
                  {"id", o.id},
                  {"role", o.role}};
      if (o.kind == IpcObject::Kind::kSegment) {
        row["bytes"] = o.bytes;
        row["attached"] = o.attached;
      } else {
        row["value"] = o.value;
      }
      row["last_pid"] = o.lastPid;
      rows.push_back(row);
    }
    PrintJson({{"key_dir", keyDir}, {"objects", rows}});
    return kExitOk;
  }
  if (objects.empty()) {
    PrintText(fmt::format("{}: no System V objects\n", keyDir));
    return kExitOk;
  }
  Table table({{"KIND"},
               {"KEY"},
               {"ID", true},
               {"ROLE"},
               {"BYTES", true},
               {"ATTACHED", true},
               {"STATE"},
               {"LAST PID", true}});
  for (const IpcObject &o : objects) {
    bool shm = o.kind == IpcObject::Kind::kSegment;
    table.AddRow({shm ? "shm" : "sem", fmt::format("{:#010x}", uint32_t(o.key)),
                  std::to_string(o.id), o.role, shm ? std::to_string(o.bytes) : "-",
                  shm ? std::to_string(o.attached) : "-",
                  shm            ? "-"
                  : o.value == 1 ? "free"
                  : o.value == 0 ? "held"
                                 : "?",
                  std::to_string(o.lastPid)});
  }
  PrintText(fmt::format("{}: {} object(s)\n", keyDir, objects.size()) + table.Render());
  return kExitOk;
}

int Clean(const GlobalOptions &global, bool force) {
  std::string keyDir = KeyDirOf(global);
  std::vector<IpcObject> objects = FindIpcObjects(global.root);
  int attached = 0;
  for (const IpcObject &o : objects)
    if (o.kind == IpcObject::Kind::kSegment && o.attached > 0) ++attached;
  if (attached > 0 && !force)
    throw ToolError(fmt::format("{} segment(s) of {} are still attached by running processes",
                                attached, keyDir),
                    "Stop the recorder processes first ('zrfs ipc status' shows the last pids), "
                    "or give --force to remove the objects under them.");
  int removed = RemoveIpcObjects(objects);
  fmt::print("{}: removed {} of {} object(s)\n", keyDir, removed, objects.size());
  return removed == int(objects.size()) ? kExitOk : kExitFailure;
}

}  // namespace

void AddIpcCommands(CLI::App &app, CommandContext &ctx) {
  CLI::App *ipc = app.add_subcommand(
      "ipc",
      "Show or remove the System V objects of a key directory (that of --root, or "
      "/dvr/zrfs)");
  ipc->require_subcommand(1);
  {
    auto json = std::make_shared<bool>(false);
    CLI::App *sub = ipc->add_subcommand("status", "List the shared segments and semaphores");
    sub->add_flag("--json", *json, "Print JSON");
    OnRun(sub, ctx, [json, &ctx] { return Status(ctx.global, *json); });
  }
  {
    auto force = std::make_shared<bool>(false);
    CLI::App *sub = ipc->add_subcommand(
        "clean", "Remove them; refused while a process is attached unless --force");
    sub->add_flag("--force", *force, "Remove them even while processes are attached");
    OnRun(sub, ctx, [force, &ctx] { return Clean(ctx.global, *force); });
  }
}

}  // namespace zrfs::tool
