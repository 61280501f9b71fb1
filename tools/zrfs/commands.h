// Subcommand registration.  Each group adds its subcommands to the app and
// says, through OnRun, what runs when one of them is chosen; main() parses
// the command line and runs it.
#pragma once

#include <functional>
#include <string>

#include <CLI/CLI.hpp>

#include "session.h"

namespace zrfs::tool {

struct CommandContext {
  GlobalOptions global;
  std::function<int()> run;
  int failureStatus = 1;  // exit status of a ToolError from run
};

// Makes body the action of sub; a ToolError it throws exits with
// failureStatus.
void OnRun(CLI::App *sub, CommandContext &ctx, std::function<int()> body, int failureStatus = 1);

// The DISK argument every disk subcommand takes first.
CLI::Option *AddDiskArgument(CLI::App *sub, std::string &disk);

void AddImageCommands(CLI::App &app, CommandContext &ctx);        // mkimage, format, info
void AddSpaceCommands(CLI::App &app, CommandContext &ctx);        // df, blocks
void AddFileCommands(CLI::App &app, CommandContext &ctx);         // ls, stat, rm, lock, unlock
void AddTransferCommands(CLI::App &app, CommandContext &ctx);     // export, import
void AddMaintenanceCommands(CLI::App &app, CommandContext &ctx);  // tag-bad, untag, dump
void AddIpcCommands(CLI::App &app, CommandContext &ctx);          // ipc status, ipc clean
void AddCheckCommand(CLI::App &app, CommandContext &ctx);         // check
void AddBrowseCommands(CLI::App &app, CommandContext &ctx);       // mount, umount

}  // namespace zrfs::tool
