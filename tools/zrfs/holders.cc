#include "holders.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>

#include <fmt/format.h>

#include "ipc_objects.h"
#include "zrfs.h"

namespace zrfs::tool {
namespace {

bool AllDigits(const char *text) {
  if (*text == '\0') return false;
  for (; *text != '\0'; ++text)
    if (*text < '0' || *text > '9') return false;
  return true;
}

// The open flags of descriptor fd of process pid, from its fdinfo; -1 when
// they cannot be read.
long OpenFlags(const std::string &procDir, const char *fd) {
  std::ifstream info(procDir + "/fdinfo/" + fd);
  std::string key;
  while (info >> key) {
    if (key == "flags:") {
      std::string value;
      info >> value;
      return strtol(value.c_str(), nullptr, 8);
    }
    std::getline(info, key);
  }
  return -1;
}

// Whether the object st describes is the disk: the same block device, or
// the same file.
bool SameDisk(const struct stat &st, const struct stat &disk) {
  if (S_ISBLK(disk.st_mode)) return S_ISBLK(st.st_mode) && st.st_rdev == disk.st_rdev;
  return S_ISREG(st.st_mode) && st.st_dev == disk.st_dev && st.st_ino == disk.st_ino;
}

bool OpenForWriting(const std::string &procDir, const struct stat &disk) {
  DIR *fds = opendir((procDir + "/fd").c_str());
  if (fds == nullptr) return false;
  bool holds = false;
  while (struct dirent *entry = readdir(fds)) {
    if (!AllDigits(entry->d_name)) continue;
    struct stat st;
    if (stat((procDir + "/fd/" + entry->d_name).c_str(), &st) != 0 || !SameDisk(st, disk)) continue;
    long flags = OpenFlags(procDir, entry->d_name);
    if (flags >= 0 && (flags & O_ACCMODE) != O_RDONLY) {
      holds = true;
      break;
    }
  }
  closedir(fds);
  return holds;
}

}  // namespace

std::vector<Holder> FindHolders(const std::string &path) {
  std::vector<Holder> holders;
  struct stat disk;
  if (stat(path.c_str(), &disk) != 0) return holders;
  DIR *proc = opendir("/proc");
  if (proc == nullptr) return holders;
  while (struct dirent *entry = readdir(proc)) {
    if (!AllDigits(entry->d_name)) continue;
    pid_t pid = pid_t(atol(entry->d_name));
    if (pid == getpid()) continue;
    std::string procDir = std::string("/proc/") + entry->d_name;
    if (!OpenForWriting(procDir, disk)) continue;
    std::string name;
    std::getline(std::ifstream(procDir + "/comm"), name);
    holders.push_back({pid, name});
  }
  closedir(proc);
  std::sort(holders.begin(), holders.end(),
            [](const Holder &a, const Holder &b) { return a.pid < b.pid; });
  return holders;
}

std::string DescribeHolders(const std::vector<Holder> &holders) {
  std::string text;
  for (const Holder &h : holders)
    text += fmt::format("{}pid {} ({})", text.empty() ? "" : ", ", h.pid, h.name);
  return text;
}

DiskUse UseOfDisk(const DiskTarget &target) {
  DiskUse use;
  use.holders = FindHolders(target.real);
  if (target.privateRoot) return use;
  int mounted = zrfs_DiskUsers(target.root.c_str(), target.disk);
  use.mounted = mounted < 0 ? 1 : mounted;  // cannot tell: count it as mounted
  for (const IpcObject &o : FindIpcObjects(target.root))
    if (DiskOfImage(o) == target.disk) use.attached = o.attached;
  return use;
}

std::string CleanCommand(const DiskTarget &target) {
  return target.root.empty() ? "zrfs ipc clean"
                             : fmt::format("zrfs --root {} ipc clean", target.root);
}

}  // namespace zrfs::tool
