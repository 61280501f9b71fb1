// mount and umount: a disk's recordings as a read-only folder tree.
#include <memory>

#include "commands.h"
#include "errors.h"
#include "fuse_view.h"

namespace zrfs::tool {

void AddBrowseCommands(CLI::App &app, CommandContext &ctx) {
  {
    struct Opts {
      std::string disk, mountpoint;
      bool foreground = false, utc = false;
    };
    auto o = std::make_shared<Opts>();
    CLI::App *sub = app.add_subcommand(
        "mount",
        "Show the recordings of a disk as read-only files: ch<N>/<day>/<time>_<name> and all/");
    AddDiskArgument(sub, o->disk);
    sub->add_option("MOUNTPOINT", o->mountpoint, "An empty folder")->required();
    sub->add_flag("--foreground", o->foreground, "Stay in the foreground until unmounted");
    sub->add_flag("--utc", o->utc, "Name days and times in UTC, not local time");
    OnRun(sub, ctx, [o, &ctx] {
      DiskTarget target = ResolveTarget(o->disk, ctx.global, -1);
      return ServeFuseView(target.real, target.disk, o->mountpoint, o->foreground, o->utc);
    });
  }
  {
    auto mountpoint = std::make_shared<std::string>();
    CLI::App *sub = app.add_subcommand("umount", "End a view that 'zrfs mount' made");
    sub->add_option("MOUNTPOINT", *mountpoint, "Where the view is mounted")->required();
    OnRun(sub, ctx, [mountpoint] { return UnmountFuseView(*mountpoint); });
  }
}

}  // namespace zrfs::tool
