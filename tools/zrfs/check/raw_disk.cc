#include "check/raw_disk.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include <fmt/format.h>

#include "errors.h"

namespace zrfs::tool {

namespace {

ToolError WriteProtected(const std::string &path) {
  return ToolError(fmt::format("{} is write-protected, and this command changes it", path),
                   "Inspection (info, ls, stat, blocks, df, export, dump, check without "
                   "--repair) works on it; make it writable to change it.");
}

}  // namespace

RawDisk::RawDisk(const std::string &path, bool writable) : path_(path) {
  fd_ = open(path.c_str(), (writable ? O_RDWR : O_RDONLY) | O_CLOEXEC);
  if (fd_ < 0 && writable && errno == EROFS) throw WriteProtected(path);
  if (fd_ < 0)
    throw ToolError(
        fmt::format("cannot open {}{}: {}", path, writable ? " for writing" : "", ErrnoText(errno)),
        errno == EACCES ? "Run as a user that may access the disk." : "");
  // The descriptor is closed by hand on a throw: the destructor does not run.
  auto fail = [&](ToolError error) {
    close(fd_);
    return error;
  };
  struct stat st;
  if (fstat(fd_, &st) != 0) throw fail(ToolError(fmt::format("cannot stat {}", path)));
  blockDevice_ = S_ISBLK(st.st_mode);
  if (blockDevice_) {
    if (ioctl(fd_, BLKGETSIZE64, &size_) != 0)
      throw fail(ToolError(fmt::format("cannot read the size of {}: {}", path, ErrnoText(errno))));
    // A device set read-only still opens for writing; its writes fail.
    int readOnly = 0;
    if (writable && ioctl(fd_, BLKROGET, &readOnly) == 0 && readOnly != 0)
      throw fail(WriteProtected(path));
  } else {
    size_ = static_cast<uint64_t>(st.st_size);
  }
}

RawDisk::~RawDisk() {
  if (fd_ >= 0) close(fd_);
}

bool RawDisk::Read(uint64_t offset, void *buf, size_t len) const {
  auto *bytes = static_cast<uint8_t *>(buf);
  size_t done = 0;
  while (done < len) {
    ssize_t n = pread(fd_, bytes + done, len - done, static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += size_t(n);
  }
  return true;
}

void RawDisk::Write(uint64_t offset, const void *buf, size_t len) {
  const auto *bytes = static_cast<const uint8_t *>(buf);
  size_t done = 0;
  while (done < len) {
    ssize_t n = pwrite(fd_, bytes + done, len - done, static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0)
      throw ToolError(fmt::format("cannot write {} bytes at {:#x} of {}: {}", len, offset, path_,
                                  n < 0 ? ErrnoText(errno) : "device full"));
    done += size_t(n);
  }
}

void RawDisk::Sync() {
  if (fdatasync(fd_) != 0)
    throw ToolError(fmt::format("cannot flush {}: {}", path_, ErrnoText(errno)));
}

}  // namespace zrfs::tool
