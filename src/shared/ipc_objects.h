// The System V objects of a root's key directory (zrfs_ListIpcObjects and
// its kin in src/api/ipc_calls.cc).
#pragma once

#include "zrfs.h"

namespace zrfs {

int ListIpcObjects(const char *rootDir, ZrfsIpcObject *out, int max);
int RemoveIpcObjects(const char *rootDir);
int DiskUsers(const char *rootDir, int disk);

}  // namespace zrfs
