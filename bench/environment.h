// The devices the benchmark writes to, made afresh for each run and removed
// on every way out: a sparse image file, a loop device over an identical
// sparse file (both for the library and for raw writes), and a second loop
// device holding ext4 for the same recordings as ordinary files.  The
// library sees the image as disk 0 and the loop device as disk 1 through a
// private root directory.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace bench {

struct Target {
  std::string label;     // "image" or "loop"
  std::string libDisk;   // device path as the library names it
  std::string device;    // the real file or device, for raw writes
  std::string loopName;  // "loopN" when it is a loop device, for its counters
};

struct Ext4Target {
  std::string device;  // /dev/loopN
  std::string loopName;
  std::string mountDir;
};

class Environment {
 public:
  // Makes everything under dir (a fresh directory).  Loop devices are left
  // out when unavailable; loopProblem() then says why.
  bool Setup(const std::string &dir, uint64_t imageBytes, bool wantLoops, std::string *error);
  // Unmounts, detaches, removes the System V objects and the files.  Safe to
  // call more than once and from a signal handler's last resort.
  void Cleanup();

  const std::string &root() const { return root_; }
  const std::vector<Target> &targets() const { return targets_; }
  const Ext4Target *ext4() const { return ext4_.mountDir.empty() ? nullptr : &ext4_; }
  const std::string &loopProblem() const { return loopProblem_; }

  // Unmounts and mounts the ext4 file system again; the mount's latency.
  bool RemountExt4(uint64_t *mountNanos);

 private:
  bool AttachLoop(const std::string &file, std::string *device);
  std::string dir_, root_;
  std::vector<Target> targets_;
  Ext4Target ext4_;
  std::vector<std::string> loops_;
  bool mounted_ = false;
  std::string loopProblem_;
};

// 512-byte sectors written to a block device so far (from /sys/block).
uint64_t SectorsWritten(const std::string &loopName);

// Flushes a device or file: fdatasync on a descriptor of its own.
bool FlushDevice(const std::string &path);

// Flushes the file system that holds dir.
bool FlushFileSystem(const std::string &dir);

}  // namespace bench
