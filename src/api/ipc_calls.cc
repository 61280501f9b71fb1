// The library's System V objects under a root: listing, removal, and the
// users of a disk's shared image and the retention they share.
#include <cstring>

#include "shared/call_reason.h"
#include "shared/ipc_objects.h"
#include "zrfs.h"

extern "C" int zrfs_ListIpcObjects(const char *rootDir, ZrfsIpcObject *out, int max) {
  zrfs::CallReason reason;
  int n = zrfs::ListIpcObjects(rootDir, out, max);
  return reason.Give(n, n >= 0, zrfs::Status::kBadArgument);
}

extern "C" int zrfs_RemoveIpcObjects(const char *rootDir) {
  zrfs::CallReason reason;
  int n = zrfs::RemoveIpcObjects(rootDir);
  return reason.Give(n, n >= 0, zrfs::Status::kBadArgument);
}

extern "C" int zrfs_DiskUsers(const char *rootDir, int disk) {
  zrfs::CallReason reason;
  int n = zrfs::DiskUsers(rootDir, disk);
  return reason.Give(n, n >= 0, zrfs::Status::kBadArgument);
}

extern "C" int zrfs_DiskRetention(const char *rootDir, int disk, ZrfsRetention *out) {
  zrfs::CallReason reason;
  if (out == nullptr) return reason.Refuse(zrfs::Status::kBadArgument);
  zrfs::DiskPolicy policy;
  zrfs::Status read = zrfs::ReadDiskPolicy(rootDir, disk, &policy);
  static_assert(sizeof out->quota == sizeof policy.quota);
  out->mode = int32_t(policy.retention);
  memcpy(out->quota, policy.quota, sizeof out->quota);
  return reason.Answer(read);
}
