#include "os/root_dir.h"

#include "shared/pool.h"
#include "zrfs.h"

extern "C" int zrfs_SetRootDir(const char *dir) {
  if (!zrfs::SetRootDir(dir)) return -1;
  // Another root means other key files, hence other shared objects: drop
  // this process's attachments to the previous root's segments.
  zrfs::ResetProcessState();
  return 0;
}
