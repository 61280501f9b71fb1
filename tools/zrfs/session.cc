#include "session.h"

#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <limits.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include <fmt/format.h>

#include "check/raw_disk.h"
#include "errors.h"
#include "format/disk_format.h"
#include "ipc_objects.h"
#include "zrfs.h"
#include "zrfs/df.h"
#include "zrfs/fsc.h"

namespace zrfs::tool {
namespace {

constexpr char kDevicePrefix[] = "/dev/scsi/host";
constexpr char kRootPrefix[] = "zrfs-root-";
constexpr int kMaxDisk = 23;

std::atomic<int> g_signal{0};
bool g_sessionActive = false;

void OnSignal(int signal) {
  g_signal.store(signal);
}

std::string TempDirectory() {
  const char *dir = getenv("TMPDIR");
  return dir != nullptr && dir[0] != '\0' ? dir : "/tmp";
}

void MakeDirs(const std::string &path) {
  for (size_t pos = 1; pos != std::string::npos;) {
    pos = path.find('/', pos + 1);
    std::string part = path.substr(0, pos);
    if (mkdir(part.c_str(), 0777) != 0 && errno != EEXIST)
      throw ToolError(fmt::format("cannot make directory {}: {}", part, ErrnoText(errno)));
  }
}

void RemoveTree(const std::string &path) {
  nftw(
      path.c_str(), [](const char *p, const struct stat *, int, struct FTW *) { return remove(p); },
      16, FTW_DEPTH | FTW_PHYS);
}

std::string RealPathOf(const std::string &path) {
  char resolved[PATH_MAX];
  if (realpath(path.c_str(), resolved) == nullptr) return {};
  return resolved;
}

bool IsRegularFile(const std::string &path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string DevicePathOf(int disk) {
  return fmt::format("/dev/scsi/host{:02}/part1", disk);
}

// Makes `copy` a sparse file as large as the disk at `from` holding the
// same two metadata copies: all a mount reads.
void CopyMetadata(const std::string &from, const std::string &copy) {
  RawDisk source(from, false);
  int fd = open(copy.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) throw ToolError(fmt::format("cannot make {}: {}", copy, ErrnoText(errno)));
  std::unique_ptr<int, void (*)(int *)> closer(&fd, [](int *f) { close(*f); });
  if (ftruncate(fd, off_t(source.size())) != 0)
    throw ToolError(fmt::format("cannot size {}: {}", copy, ErrnoText(errno)));
  constexpr size_t kPiece = 1 << 20;
  std::vector<uint8_t> buffer(kPiece);
  uint64_t end = std::min<uint64_t>(CopyBase(int(kMetaCopies)), source.size());
  for (uint64_t at = kFirstCopyBase; at < end; at += kPiece) {
    size_t len = size_t(std::min<uint64_t>(kPiece, end - at));
    if (!source.Read(at, buffer.data(), len))
      throw ToolError(fmt::format("cannot read the metadata of {} at {:#x}", from, at),
                      fmt::format("Run 'zrfs check {}'.", from));
    if (pwrite(fd, buffer.data(), len, off_t(at)) != ssize_t(len))
      throw ToolError(fmt::format("cannot write {}: {}", copy, ErrnoText(errno)));
  }
}

}  // namespace

std::string KeyDirectory(const std::string &root) {
  return root + "/dvr/zrfs";
}

DiskTarget ResolveTarget(const std::string &given, const GlobalOptions &options, int disk,
                         bool mustExist) {
  DiskTarget target;
  target.given = given;
  if (!options.root.empty()) {
    std::string root = RealPathOf(options.root);
    struct stat st;
    if (root.empty() || stat(root.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
      throw UsageError(fmt::format("--root {} is not a directory", options.root),
                       "Give the root directory the recorder processes run under.");
    std::string logical = given;
    if (logical.compare(0, root.size() + 1, root + "/") == 0) logical = logical.substr(root.size());
    if (logical.find(kDevicePrefix) == std::string::npos)
      throw UsageError(fmt::format("{} is not a device path inside {}", given, root),
                       "With --root, name the disk by its device path, e.g. "
                       "/dev/scsi/host03/part1.");
    target.root = root;
    target.logical = logical;
    target.real = root + logical;
    target.disk = fsc_GetDiskNumByPath(logical.c_str());
  } else if (given.find(kDevicePrefix) != std::string::npos && !IsRegularFile(given)) {
    target.logical = given;
    target.real = given;
    target.disk = fsc_GetDiskNumByPath(given.c_str());
  } else {
    target.privateRoot = true;
    target.disk = disk < 0 ? 0 : disk;
    target.logical = DevicePathOf(target.disk);
    target.real = RealPathOf(given);
    if (target.real.empty()) {
      if (mustExist)
        throw ToolError(fmt::format("cannot open {}: {}", given, ErrnoText(errno)),
                        "Check the path; 'zrfs mkimage' makes a new image.");
      target.real = given;
    }
  }
  if (target.disk < 0 || target.disk > kMaxDisk)
    throw UsageError(fmt::format("{} names disk {}, but disks are numbered 0 to {}", given,
                                 target.disk, kMaxDisk));
  if (mustExist && access(target.real.c_str(), F_OK) != 0)
    throw ToolError(fmt::format("cannot open {}: {}", target.real, ErrnoText(errno)),
                    "Check the path; 'zrfs mkimage' makes a new image.");
  return target;
}

Session::Session(DiskTarget target, Device device)
    : target_(std::move(target)), mountedFile_(target_.real) {
  if (g_sessionActive) throw std::logic_error("one session per process");
  g_sessionActive = true;
  try {
    std::string root = target_.root;
    if (target_.privateRoot) {
      SweepAbandonedRoots();
      std::string templ = fmt::format("{}/{}{}-XXXXXX", TempDirectory(), kRootPrefix, getpid());
      std::vector<char> buffer(templ.begin(), templ.end());
      buffer.push_back('\0');
      if (mkdtemp(buffer.data()) == nullptr)
        throw ToolError(
            fmt::format("cannot make a directory in {}: {}", TempDirectory(), ErrnoText(errno)),
            "Set TMPDIR to a writable directory.");
      madeRoot_ = root = buffer.data();
      std::string link = root + target_.logical;
      std::string linked = target_.real;
      if (device == Device::kMetadataCopy) {
        mountedFile_ = linked = root + "/metadata-copy.img";
        CopyMetadata(target_.real, linked);
      }
      MakeDirs(link.substr(0, link.rfind('/')));
      if (symlink(linked.c_str(), link.c_str()) != 0)
        throw ToolError(fmt::format("cannot link {}: {}", link, ErrnoText(errno)));
    }
    MakeDirs(KeyDirectory(root));
    if (!root.empty() && zrfs_SetRootDir(root.c_str()) != 0)
      throw ToolError(fmt::format("cannot use {} as root directory", root));
    if (zrfs_Init() != 0)
      throw ToolError("cannot start the storage library: its System V objects are unavailable",
                      "See 'zrfs ipc status' and the system's IPC limits (ipcs -l).");
  } catch (...) {
    Cleanup();
    throw;
  }
}

Session::~Session() {
  Cleanup();
}

void Session::Mount() {
  RawDisk{mountedFile_, true};  // throws, saying so, for a write-protected disk
  if (zrfs_Mount(path()) != 0) {
    int why = zrfs_LastError();
    if (why != ZRFS_ENOTFORMATTED)
      throw ToolError(fmt::format("cannot mount {}: {}", target_.given, zrfs_StrError(why)));
    throw ToolError(fmt::format("cannot mount {}: it holds no usable disk layout", target_.given),
                    fmt::format("Run 'zrfs check {}' to see what is wrong, or 'zrfs format' for a "
                                "new disk.",
                                target_.given));
  }
  mounted_ = true;
}

void Session::Cleanup() {
  if (mounted_) {
    df_DiskUnmout(path());
    mounted_ = false;
  }
  // The library leaves flushing to its background thread; make what this
  // run wrote durable before the process ends.
  int fd = open(target_.real.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd >= 0) {
    fdatasync(fd);
    close(fd);
  }
  if (!madeRoot_.empty()) {
    RemoveIpcObjects(FindIpcObjects(madeRoot_));
    zrfs_SetRootDir(nullptr);
    RemoveTree(madeRoot_);
    madeRoot_.clear();
  }
  g_sessionActive = false;
}

void InstallSignalHandlers() {
  struct sigaction action;
  memset(&action, 0, sizeof action);
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaction(signal, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);  // a closed pipe shows up as a failed write
}

void ThrowIfInterrupted() {
  int signal = g_signal.load();
  if (signal != 0) throw ToolError(fmt::format("interrupted by {}", strsignal(signal)));
}

int SweepAbandonedRoots() {
  std::string dir = TempDirectory();
  DIR *listing = opendir(dir.c_str());
  if (listing == nullptr) return 0;
  int removed = 0;
  while (struct dirent *entry = readdir(listing)) {
    std::string name = entry->d_name;
    if (name.compare(0, sizeof kRootPrefix - 1, kRootPrefix) != 0) continue;
    long pid = strtol(name.c_str() + sizeof kRootPrefix - 1, nullptr, 10);
    if (pid <= 0 || pid == getpid() || kill(pid_t(pid), 0) == 0 || errno != ESRCH) continue;
    std::string root = dir + "/" + name;
    struct stat st;
    if (lstat(root.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != getuid()) continue;
    RemoveIpcObjects(FindIpcObjects(root));
    RemoveTree(root);
    ++removed;
  }
  closedir(listing);
  return removed;
}

}  // namespace zrfs::tool
