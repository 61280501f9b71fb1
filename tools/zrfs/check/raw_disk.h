// Plain positioned reads and writes of a disk or image, past the library:
// the checker must see the bytes even of disks the library refuses.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace zrfs::tool {

class RawDisk {
 public:
  // Opens read-only, or read-write for repairs.  Throws ToolError.
  RawDisk(const std::string &path, bool writable);
  ~RawDisk();
  RawDisk(const RawDisk &) = delete;
  RawDisk &operator=(const RawDisk &) = delete;

  const std::string &path() const { return path_; }
  uint64_t size() const { return size_; }
  bool isBlockDevice() const { return blockDevice_; }

  // True when all len bytes were read.  Bytes past the end read as missing.
  bool Read(uint64_t offset, void *buf, size_t len) const;
  // Writes all len bytes or throws ToolError.
  void Write(uint64_t offset, const void *buf, size_t len);
  // Makes the writes durable; throws ToolError.
  void Sync();

 private:
  std::string path_;
  int fd_ = -1;
  uint64_t size_ = 0;
  bool blockDevice_ = false;
};

}  // namespace zrfs::tool
