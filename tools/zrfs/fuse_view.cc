// The FUSE view over the catalog.  Paths are looked up in a tree rebuilt
// from the catalog whenever a folder is listed (at most once a second, so a
// recursive listing reads the disk once); a file's size and times are read
// again from its header at each look-up, so a recording that grows shows
// its current size.  Reads go straight to the device with positional reads.
#include "fuse_view.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/wait.h>

#include <cerrno>
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <shared_mutex>
#include <vector>

#include <fmt/format.h>

#include "catalog.h"
#include "errors.h"
#include "time_window.h"

#ifdef ZRFS_HAVE_FUSE
#define FUSE_USE_VERSION 35
#include <fuse.h>
#endif

extern char **environ;

namespace zrfs::tool {

int UnmountFuseView(const std::string &mountpoint) {
  const char *argv[] = {"fusermount3", "-u", mountpoint.c_str(), nullptr};
  pid_t pid;
  int status = 0;
  if (posix_spawnp(&pid, "fusermount3", nullptr, nullptr, const_cast<char **>(argv), environ) ==
          0 &&
      waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0)
    return kExitOk;
  // Without fusermount3 (or as root), the system call does it.
  if (umount2(mountpoint.c_str(), 0) == 0) return kExitOk;
  throw ToolError(fmt::format("cannot unmount {}: {}", mountpoint, ErrnoText(errno)),
                  "Is a zrfs view mounted there?  'mount | grep zrfs' lists them.");
}

#ifndef ZRFS_HAVE_FUSE

bool FuseViewBuilt() {
  return false;
}

int ServeFuseView(const std::string &, int, const std::string &, bool, bool) {
  throw ToolError("this zrfs was built without FUSE",
                  "Install libfuse3-dev (apt-get install libfuse3-dev fuse3) and build again.");
}

#else

bool FuseViewBuilt() {
  return true;
}

namespace {

using Clock = std::chrono::steady_clock;

class View {
 public:
  View(const std::string &path, int disk, bool utc) : catalog_(path, disk), utc_(utc) {
    ZrfsViewInfo info{};
    (void)zrfs_ViewInfo(catalog_.view(), &info);  // the folders' time; 0 when unreadable
    diskTime_ = info.createTime;
    Rebuild();
  }

  int GetAttr(const std::string &path, struct stat *st) {
    *st = {};
    if (!Known(path)) RefreshIfStale();  // perhaps a recording begun since the last listing
    std::shared_lock lock(mutex_);
    if (dirs_.count(path) != 0) {
      st->st_mode = S_IFDIR | 0555;
      st->st_nlink = 2;
      st->st_mtime = st->st_ctime = st->st_atime = time_t(diskTime_);
      return 0;
    }
    auto file = files_.find(path);
    if (file == files_.end()) return -ENOENT;
    Recording now = file->second;
    if (!catalog_.Update(&now)) return -ENOENT;  // removed since the listing
    st->st_mode = S_IFREG | 0444;
    st->st_nlink = 1;
    st->st_size = now.size;
    st->st_blocks = (now.size + 511) / 512;
    st->st_mtime = st->st_ctime = st->st_atime = time_t(now.SpanEnd());
    return 0;
  }

  bool Known(const std::string &path) {
    std::shared_lock lock(mutex_);
    return dirs_.count(path) != 0 || files_.count(path) != 0;
  }

  int List(const std::string &path, void *buf, fuse_fill_dir_t filler) {
    RefreshIfStale();
    std::shared_lock lock(mutex_);
    auto dir = dirs_.find(path);
    if (dir == dirs_.end()) return -ENOENT;
    filler(buf, ".", nullptr, 0, fuse_fill_dir_flags(0));
    filler(buf, "..", nullptr, 0, fuse_fill_dir_flags(0));
    for (const std::string &child : dir->second)
      filler(buf, child.c_str(), nullptr, 0, fuse_fill_dir_flags(0));
    return 0;
  }

  int Open(const std::string &path, int flags) {
    std::shared_lock lock(mutex_);
    if (files_.count(path) == 0) return dirs_.count(path) != 0 ? -EISDIR : -ENOENT;
    return (flags & O_ACCMODE) == O_RDONLY ? 0 : -EROFS;
  }

  int Read(const std::string &path, char *buf, size_t size, off_t offset) {
    std::shared_lock lock(mutex_);  // a refresh changes the view's map
    auto file = files_.find(path);
    if (file == files_.end()) return -ENOENT;
    size_t done = 0;
    while (done < size) {
      uint32_t piece = uint32_t(std::min<size_t>(size - done, 1u << 30));
      int n = catalog_.Read(file->second.name, uint64_t(offset) + done, buf + done, piece);
      if (n < 0) return done > 0 ? int(done) : -EIO;
      if (n == 0) break;
      done += size_t(n);
    }
    return int(done);
  }

 private:
  void RefreshIfStale() {
    std::unique_lock lock(mutex_);
    if (Clock::now() - refreshed_ < std::chrono::seconds(1)) return;
    if (catalog_.Refresh()) Rebuild();  // an unreadable disk keeps the last tree
  }

  // The tree of the catalog's recordings; the caller holds the lock
  // exclusively (or is the constructor).
  void Rebuild() {
    dirs_.clear();
    files_.clear();
    dirs_["/"] = {"all"};
    dirs_["/all"];
    for (const Recording &r : catalog_.All()) {
      std::string channel = fmt::format("ch{}", r.channel);
      std::string day = DayOf(r.createTime, utc_);
      std::string leaf = ClockOf(r.createTime, utc_) + "_" + r.name;
      dirs_["/"].insert(channel);
      dirs_["/" + channel].insert(day);
      dirs_["/" + channel + "/" + day].insert(leaf);
      dirs_["/all"].insert(r.name);
      files_["/" + channel + "/" + day + "/" + leaf] = r;
      files_["/all/" + r.name] = r;
    }
    refreshed_ = Clock::now();
  }

  Catalog catalog_;
  bool utc_;
  int64_t diskTime_ = 0;
  std::shared_mutex mutex_;
  std::map<std::string, std::set<std::string> > dirs_;
  std::map<std::string, Recording> files_;
  Clock::time_point refreshed_;
};

View *TheView() {
  return static_cast<View *>(fuse_get_context()->private_data);
}

int GetAttr(const char *path, struct stat *st, fuse_file_info *) {
  return TheView()->GetAttr(path, st);
}

int ReadDir(const char *path, void *buf, fuse_fill_dir_t filler, off_t, fuse_file_info *,
            fuse_readdir_flags) {
  return TheView()->List(path, buf, filler);
}

int OpenFile(const char *path, fuse_file_info *fi) {
  return TheView()->Open(path, fi->flags);
}

int ReadFile(const char *path, char *buf, size_t size, off_t offset, fuse_file_info *) {
  return TheView()->Read(path, buf, size, offset);
}

void *Init(fuse_conn_info *, fuse_config *config) {
  config->attr_timeout = 1.0;  // a growing file's size is at most a second old
  config->entry_timeout = 1.0;
  return TheView();
}

}  // namespace

int ServeFuseView(const std::string &path, int disk, const std::string &mountpoint, bool foreground,
                  bool utc) {
  View view(path, disk, utc);  // the disk is read before anything is mounted: errors show here
  fuse_operations ops{};
  ops.getattr = GetAttr;
  ops.readdir = ReadDir;
  ops.open = OpenFile;
  ops.read = ReadFile;
  ops.init = Init;
  std::string options = fmt::format("ro,fsname=zrfs,subtype=zrfs");
  std::vector<const char *> argv = {"zrfs", mountpoint.c_str(), "-o", options.c_str()};
  if (foreground) argv.push_back("-f");
  argv.push_back(nullptr);
  int status = fuse_main(int(argv.size() - 1), const_cast<char **>(argv.data()), &ops, &view);
  if (status != 0)
    throw ToolError(fmt::format("cannot serve the view on {} (fuse status {})", mountpoint, status),
                    "The mount point must be an empty folder, and /dev/fuse must be there.");
  return kExitOk;
}

#endif

}  // namespace zrfs::tool
