// zrfs: the command-line tool for recorder disks and disk images.
#include <cstdio>

#include <fmt/format.h>

#include "commands.h"
#include "errors.h"
#include "fuse_view.h"
#include "remux.h"
#include "zrfs.h"

using namespace zrfs::tool;

namespace zrfs::tool {

void OnRun(CLI::App *sub, CommandContext &ctx, std::function<int()> body, int failureStatus) {
  sub->callback([&ctx, body = std::move(body), failureStatus] {
    ctx.run = body;
    ctx.failureStatus = failureStatus;
  });
}

CLI::Option *AddDiskArgument(CLI::App *sub, std::string &disk) {
  return sub
      ->add_option("DISK", disk,
                   "Disk image file, or a recorder device path (/dev/scsi/hostN/part1)")
      ->required();
}

}  // namespace zrfs::tool

namespace {

void PrintError(const std::string &what, const std::string &hint) {
  fmt::print(stderr, "zrfs: {}\n", what);
  if (!hint.empty()) fmt::print(stderr, "{}\n", hint);
}

}  // namespace

int main(int argc, char **argv) {
  CommandContext ctx;
  CLI::App app{"Inspect, export, import, check and repair recorder disks and disk images.", "zrfs"};
  app.fallthrough();
  app.require_subcommand(0, 1);
  // The tool's own version is the header's it was built with; the library's
  // is the one it runs with.
  // The optional parts follow: fuse (zrfs mount), remux (MP4 and MPEG-TS).
  std::string features =
      std::string(FuseViewBuilt() ? " fuse" : "") + (RemuxBuilt() ? " remux" : "");
  app.set_version_flag(
      "--version",
      fmt::format("zrfs {}.{}.{}\nlibzrfs {}\nfeatures:{}", ZRFS_VERSION_MAJOR, ZRFS_VERSION_MINOR,
                  ZRFS_VERSION_PATCH, zrfs_Version(), features.empty() ? " none" : features),
      "Show the versions of the tool and of the library, its optional "
      "features, and exit");
  app.add_option("--root", ctx.global.root,
                 "Root directory shared with running recorder processes; DISK is then a device "
                 "path inside it and nothing of the root is removed");
  app.footer(
      "DISK is a disk image file or a device.  For an image the tool makes a private root "
      "directory of its own and removes it, with its System V objects, when it ends.\n"
      "Exit status: 0 success, 1 failure, 16 usage error; check adds up bits: 1 problems "
      "corrected, 4 problems left, 8 operational error.\n"
      "Run 'zrfs help COMMAND' or 'zrfs COMMAND --help' for the options of a command.");

  AddImageCommands(app, ctx);
  AddSpaceCommands(app, ctx);
  AddFileCommands(app, ctx);
  AddTransferCommands(app, ctx);
  AddMaintenanceCommands(app, ctx);
  AddIpcCommands(app, ctx);
  AddCheckCommand(app, ctx);
  AddBrowseCommands(app, ctx);

  std::string helpTopic;
  CLI::App *help = app.add_subcommand("help", "Show the help of zrfs or of one command");
  help->add_option("COMMAND", helpTopic, "Command to describe");
  OnRun(help, ctx, [&] {
    if (helpTopic.empty()) {
      fmt::print("{}", app.help());
      return kExitOk;
    }
    try {
      fmt::print("{}", app.get_subcommand(helpTopic)->help());
      return kExitOk;
    } catch (const CLI::OptionNotFound &) {
      throw UsageError(fmt::format("there is no command '{}'", helpTopic),
                       "Run 'zrfs help' for the list of commands.");
    }
  });

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp &e) {
    return app.exit(e);
  } catch (const CLI::CallForAllHelp &e) {
    return app.exit(e);
  } catch (const CLI::ParseError &e) {
    if (e.get_exit_code() == 0) return app.exit(e);
    std::string command;
    for (const CLI::App *sub : app.get_subcommands()) command = sub->get_name();
    PrintError(command.empty() ? e.what() : fmt::format("{}: {}", command, e.what()),
               command.empty() ? "Run 'zrfs help' for the list of commands."
                               : fmt::format("Run 'zrfs {} --help' for its usage.", command));
    return kExitUsage;
  }
  if (!ctx.run) {
    fmt::print(stderr, "{}", app.help());
    return kExitUsage;
  }
  InstallSignalHandlers();
  try {
    return ctx.run();
  } catch (const UsageError &e) {
    PrintError(e.what(), e.hint());
    return kExitUsage;
  } catch (const ToolError &e) {
    PrintError(e.what(), e.hint());
    return ctx.failureStatus;
  } catch (const std::exception &e) {
    PrintError(e.what(), "");
    return ctx.failureStatus;
  }
}
