#include "environment.h"

#include <fcntl.h>
#include <ftw.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "zrfs.h"

namespace bench {
namespace {

constexpr char kExt4Options[] =
    "-q -F -m 0 -N 4096 -J size=256 -E lazy_itable_init=0,lazy_journal_init=0";

bool MakeDirs(const std::string &path) {
  for (size_t pos = 1; pos != std::string::npos;) {
    pos = path.find('/', pos + 1);
    mkdir(path.substr(0, pos).c_str(), 0777);
  }
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

bool MakeSparse(const std::string &path, uint64_t bytes) {
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) return false;
  bool ok = ftruncate(fd, off_t(bytes)) == 0;
  close(fd);
  return ok;
}

std::string Run(const std::string &command, int *status) {
  std::string out;
  FILE *pipe = popen((command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) {
    *status = -1;
    return out;
  }
  char line[256];
  while (fgets(line, sizeof line, pipe) != nullptr) out += line;
  *status = pclose(pipe);
  while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
  return out;
}

}  // namespace

bool Environment::AttachLoop(const std::string &file, std::string *device) {
  int status = 0;
  std::string out = Run("losetup -f --show " + file, &status);
  if (status != 0 || out.rfind("/dev/loop", 0) != 0) {
    loopProblem_ = "losetup failed: " + out;
    return false;
  }
  loops_.push_back(out);
  *device = out;
  return true;
}

bool Environment::Setup(const std::string &dir, uint64_t imageBytes, bool wantLoops,
                        std::string *error) {
  dir_ = dir;
  root_ = dir + "/root";
  if (!MakeDirs(root_ + "/dvr/zrfs") || !MakeDirs(root_ + "/dev/scsi/host00") ||
      !MakeDirs(root_ + "/dev/scsi/host01")) {
    *error = "cannot make " + root_;
    return false;
  }
  std::string image = root_ + "/dev/scsi/host00/part1";
  if (!MakeSparse(image, imageBytes)) {
    *error = "cannot make the image " + image;
    return false;
  }
  targets_.push_back({"image", "/dev/scsi/host00/part1", image, ""});
  if (!wantLoops) {
    loopProblem_ = "left out by --no-loop";
    return true;
  }
  if (geteuid() != 0) {
    loopProblem_ = "loop devices need root";
    return true;
  }
  std::string loopFile = dir + "/loop.img", ext4File = dir + "/ext4.img", loop, ext4Loop;
  if (!MakeSparse(loopFile, imageBytes) || !MakeSparse(ext4File, imageBytes)) {
    *error = "cannot make the loop images";
    return false;
  }
  if (!AttachLoop(loopFile, &loop)) return true;
  if (symlink(loop.c_str(), (root_ + "/dev/scsi/host01/part1").c_str()) != 0) {
    *error = "cannot link " + loop;
    return false;
  }
  targets_.push_back({"loop", "/dev/scsi/host01/part1", loop, loop.substr(5)});
  if (!AttachLoop(ext4File, &ext4Loop)) return true;
  int status = 0;
  std::string out = Run(std::string("mkfs.ext4 ") + kExt4Options + " " + ext4Loop, &status);
  std::string mountDir = dir + "/ext4";
  if (status != 0) {
    loopProblem_ = "mkfs.ext4 failed: " + out;
    return true;
  }
  if (!MakeDirs(mountDir) || mount(ext4Loop.c_str(), mountDir.c_str(), "ext4", 0, nullptr) != 0) {
    loopProblem_ = "cannot mount ext4 on " + ext4Loop;
    return true;
  }
  mounted_ = true;
  ext4_ = {ext4Loop, ext4Loop.substr(5), mountDir};
  return true;
}

bool Environment::RemountExt4(uint64_t *mountNanos) {
  if (!mounted_) return false;
  if (umount(ext4_.mountDir.c_str()) != 0) return false;
  mounted_ = false;
  auto start = std::chrono::steady_clock::now();
  if (mount(ext4_.device.c_str(), ext4_.mountDir.c_str(), "ext4", 0, nullptr) != 0) return false;
  *mountNanos = uint64_t(
      std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - start)
          .count());
  mounted_ = true;
  return true;
}

void Environment::Cleanup() {
  if (mounted_ && umount(ext4_.mountDir.c_str()) != 0) umount2(ext4_.mountDir.c_str(), MNT_DETACH);
  mounted_ = false;
  for (const std::string &loop : loops_) {
    int status = 0;
    Run("losetup -d " + loop, &status);
  }
  loops_.clear();
  if (!root_.empty()) zrfs_RemoveIpcObjects(root_.c_str());
  if (!dir_.empty()) {
    nftw(
        dir_.c_str(),
        [](const char *p, const struct stat *, int, struct FTW *) { return remove(p); }, 16,
        FTW_DEPTH | FTW_PHYS);
  }
  dir_.clear();
  root_.clear();
}

uint64_t SectorsWritten(const std::string &loopName) {
  std::ifstream stat("/sys/block/" + loopName + "/stat");
  uint64_t field[7] = {};
  for (uint64_t &f : field) stat >> f;
  return field[6];  // reads, merges, sectors, ticks, then writes, merges, sectors
}

bool FlushDevice(const std::string &path) {
  int fd = open(path.c_str(), O_RDONLY);
  if (fd < 0) return false;
  bool ok = fdatasync(fd) == 0;
  close(fd);
  return ok;
}

bool FlushFileSystem(const std::string &dir) {
  int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY);
  if (fd < 0) return false;
  bool ok = syncfs(fd) == 0;
  close(fd);
  return ok;
}

}  // namespace bench
