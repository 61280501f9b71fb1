// Which running processes hold a disk: those with the device or image open
// for writing.  A process that has a disk mounted keeps its device open
// read-write for as long as the mount lasts, whatever root it runs under,
// so this also finds recorders the key directory in use here knows
// nothing of.  Readers (another zrfs listing) are not holders.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "session.h"

namespace zrfs::tool {

struct Holder {
  pid_t pid;
  std::string name;  // the process's command name
};

// The processes other than this one with `path` open for writing, lowest
// pid first.  Processes whose descriptors cannot be read (another user's,
// for a user other than root) are not seen.
std::vector<Holder> FindHolders(const std::string &path);

// "pid 812 (recorder), pid 907 (recorder)".
std::string DescribeHolders(const std::vector<Holder> &holders);

// How a disk is in use.  holders come from the processes' descriptors; in
// a shared root (the system's, or --root) the disk's shared image adds the
// library's count of mounts and the number of processes attached to it.
// A count that no process stands behind is stale: left by recorders that
// died with the disk mounted.
struct DiskUse {
  std::vector<Holder> holders;
  int mounted = 0;   // the shared image's mount count; 0 in a private root
  int attached = 0;  // processes attached to the shared image
  // Mounted by a live process: one seen holding the device, or a count
  // with processes attached that this user cannot see.
  bool InUse() const { return !holders.empty() || (mounted > 0 && attached > 0); }
  bool Stale() const { return holders.empty() && mounted > 0 && attached == 0; }
};
DiskUse UseOfDisk(const DiskTarget &target);

// What to run to clear a stale mount count of target's root.
std::string CleanCommand(const DiskTarget &target);

}  // namespace zrfs::tool
