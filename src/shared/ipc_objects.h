// The System V objects of a root's key directory (zrfs_ListIpcObjects and
// its kin in src/api/ipc_calls.cc).
#pragma once

#include "shared/pool_layout.h"
#include "shared/status.h"
#include "zrfs.h"

namespace zrfs {

int ListIpcObjects(const char *rootDir, ZrfsIpcObject *out, int max);
int RemoveIpcObjects(const char *rootDir);
int DiskUsers(const char *rootDir, int disk);
// The policy the processes that have the disk mounted share, read without
// changing it; the defaults when no live process has it mounted.
Status ReadDiskPolicy(const char *rootDir, int disk, DiskPolicy *out);

}  // namespace zrfs
