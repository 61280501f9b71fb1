// The library's System V objects under a root: listing, removal, and the
// users of a disk's shared image.
#include "shared/ipc_objects.h"
#include "zrfs.h"

extern "C" int zrfs_ListIpcObjects(const char *rootDir, ZrfsIpcObject *out, int max) {
  return zrfs::ListIpcObjects(rootDir, out, max);
}

extern "C" int zrfs_RemoveIpcObjects(const char *rootDir) {
  return zrfs::RemoveIpcObjects(rootDir);
}

extern "C" int zrfs_DiskUsers(const char *rootDir, int disk) {
  return zrfs::DiskUsers(rootDir, disk);
}
