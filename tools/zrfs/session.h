// Where a disk is and how the library gets at it.
//
// The library names disks by device paths that contain "/dev/scsi/host"
// and keeps its shared state under a key directory, both resolved under a
// root directory.  The tool accepts three kinds of target:
//
//  - an image file (any regular file, whatever its name) or a device not
//    named like a recorder disk:
//    the tool makes a private root, puts a link at
//    ROOT/dev/scsi/hostNN/part1 to the target, and removes the root with its
//    System V objects when it ends;
//  - a recorder device path ("/dev/scsi/host3/part1") on the recorder itself:
//    the system's own root and key directory, shared with the recorder
//    processes, so nothing is removed;
//  - with --root DIR, a device path inside that root (given as the logical
//    path or as DIR + logical path): DIR's key directory, shared with the
//    processes that run under it.
#pragma once

#include <memory>
#include <string>

namespace zrfs::tool {

struct GlobalOptions {
  std::string root;  // --root; empty: none
};

struct DiskTarget {
  std::string given;    // as typed
  std::string real;     // the file or device on this system
  std::string logical;  // the device path the library is given
  std::string root;     // root directory; "" for the system's own
  bool privateRoot = false;
  int disk = 0;
};

// Works out where `given` is.  disk picks the disk number of a private root
// (-1: 0).  mustExist: the image or device must already be there.
DiskTarget ResolveTarget(const std::string &given, const GlobalOptions &options, int disk,
                         bool mustExist = true);

// The key directory of a root, as a real path ("/dvr/zrfs" under it).
std::string KeyDirectory(const std::string &root);

// One library session: the root (made for a private target), the library
// started in this process, optionally the disk mounted.  At the end it
// unmounts, makes the disk's writes durable and, for a private root,
// removes the root's System V objects and files.  One per process.
class Session {
 public:
  // What a private root's device link points at: the image or device
  // itself, or a scratch copy of its metadata inside the root (the same
  // size, sparse but for the two metadata copies), which a mount then
  // reads and writes instead: the target is only read, so it may be
  // write-protected.  A shared root always uses the device itself.
  enum class Device { kDirect, kMetadataCopy };

  explicit Session(DiskTarget target, Device device = Device::kDirect);
  ~Session();
  Session(const Session &) = delete;
  Session &operator=(const Session &) = delete;

  const DiskTarget &target() const { return target_; }
  const char *path() const { return target_.logical.c_str(); }

  // Mounts the disk; throws ToolError on failure, saying why: a
  // write-protected device, no layout (with a hint to run check), or the
  // library's reason.
  void Mount();

 private:
  void Cleanup();

  DiskTarget target_;
  std::string mountedFile_;  // what the library opens: the target, or a copy of its metadata
  std::string madeRoot_;     // private root to remove, or ""
  bool mounted_ = false;
};

// Set by SIGINT, SIGTERM and SIGHUP.  Long loops call ThrowIfInterrupted so
// the session still cleans up.
void InstallSignalHandlers();
void ThrowIfInterrupted();

// Removes private roots of earlier runs that died without cleaning up (their
// process no longer exists).  Returns how many were removed.
int SweepAbandonedRoots();

}  // namespace zrfs::tool
