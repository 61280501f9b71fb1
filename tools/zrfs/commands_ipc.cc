// ipc status and ipc clean: the System V objects of a key directory.
#include <memory>

#include <fmt/format.h>

#include "commands.h"
#include "errors.h"
#include "ipc_objects.h"
#include "output.h"
#include "zrfs.h"

namespace zrfs::tool {
namespace {

std::string KeyDirOf(const GlobalOptions &global) {
  return KeyDirectory(global.root.empty() ? "" : global.root);
}

// A disk's shared image: the library's count of processes that have the
// disk mounted, and how many are attached.  A count with nobody attached
// is stale: recorders died with the disk mounted.
struct DiskImage {
  int disk, mounted, attached;
  bool stale() const { return mounted != 0 && attached == 0; }
};

std::vector<DiskImage> DiskImages(const GlobalOptions &global,
                                  const std::vector<IpcObject> &objects) {
  std::vector<DiskImage> images;
  for (const IpcObject &o : objects) {
    int disk = DiskOfImage(o);
    if (disk < 0) continue;
    // Measured after the listing: the count's read attaches for a moment.
    images.push_back({disk, zrfs_DiskUsers(global.root.c_str(), disk), o.attached});
  }
  return images;
}

std::string CleanCommandOf(const GlobalOptions &global) {
  return global.root.empty() ? "zrfs ipc clean"
                             : fmt::format("zrfs --root {} ipc clean", global.root);
}

int Status(const GlobalOptions &global, bool json) {
  std::string keyDir = KeyDirOf(global);
  std::vector<IpcObject> objects = FindIpcObjects(global.root);
  std::vector<DiskImage> disks = DiskImages(global, objects);
  if (json) {
    Json diskRows = Json::array();
    for (const DiskImage &d : disks)
      diskRows.push_back({{"disk", d.disk},
                          {"mounted", d.mounted},
                          {"attached", d.attached},
                          {"stale", d.stale()}});
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
    PrintJson({{"key_dir", keyDir}, {"objects", rows}, {"disks", diskRows}});
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
  std::string text = fmt::format("{}: {} object(s)\n", keyDir, objects.size()) + table.Render();
  bool stale = false;
  for (const DiskImage &d : disks) {
    text += fmt::format("disk {}: mounted {}, attached {}{}\n", d.disk, d.mounted, d.attached,
                        d.stale() ? ": STALE, no running process has it mounted" : "");
    stale |= d.stale();
  }
  if (stale)
    text += fmt::format(
        "A stale mount count keeps 'zrfs check --repair' from running; '{}' clears it.\n",
        CleanCommandOf(global));
  PrintText(text);
  return kExitOk;
}

int Clean(const GlobalOptions &global, bool force, bool json) {
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
  if (json)
    PrintJson({{"key_dir", keyDir}, {"removed", removed}, {"objects", objects.size()}});
  else
    PrintText(fmt::format("{}: removed {} of {} object(s)\n", keyDir, removed, objects.size()));
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
    struct Opts {
      bool force = false, json = false;
    };
    auto o = std::make_shared<Opts>();
    CLI::App *sub = ipc->add_subcommand(
        "clean",
        "Remove them (and with them stale mount counts); refused while a process is attached "
        "unless --force");
    sub->add_flag("--force", o->force, "Remove them even while processes are attached");
    sub->add_flag("--json", o->json, "Print JSON");
    OnRun(sub, ctx, [o, &ctx] { return Clean(ctx.global, o->force, o->json); });
  }
}

}  // namespace zrfs::tool
