// A fresh root directory per test: its own key directory, disk images and
// therefore its own System V objects, all removed again at the end.
#pragma once

#include <cstdint>
#include <string>

namespace zrfs::test {

class TestRoot {
 public:
  TestRoot();   // makes the directory and points the library at it
  ~TestRoot();  // removes this root's IPC objects and files
  TestRoot(const TestRoot &) = delete;
  TestRoot &operator=(const TestRoot &) = delete;

  const std::string &path() const { return path_; }
  std::string Real(const std::string &logical) const { return path_ + logical; }

  // Logical device path of disk n ("/dev/scsi/host03/part1").
  static std::string DevicePath(int disk);

  // A sparse image of the given size at a logical path; returns the path.
  std::string MakeImage(const std::string &logical, uint64_t bytes) const;

  // Removes every shared-memory segment and semaphore set whose key derives
  // from this root's key files.  Returns how many objects were removed.
  int RemoveIpcObjects() const;

 private:
  std::string path_;
};

}  // namespace zrfs::test
