#include "os/root_dir.h"

#include "shared/call_reason.h"

#include "shared/pool.h"
#include "zrfs.h"

extern "C" int zrfs_SetRootDir(const char *dir) {
  zrfs::CallReason reason;
  if (!zrfs::SetRootDir(dir)) return reason.Refuse(zrfs::Status::kBadArgument);
  // Another root means other key files, hence other shared objects: drop
  // this process's attachments to the previous root's segments.
  zrfs::ResetProcessState();
  return reason.Answer(zrfs::Status::kOk);
}
