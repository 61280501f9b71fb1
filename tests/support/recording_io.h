// Recording through the public calls as a recorder does: writer patterns
// written and read back through descriptors, the block and file number a
// record-file name carries, and steps that pace a test's processes.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "block/mounted_image.h"
#include "zrfs.h"

namespace zrfs::test {

inline constexpr uint32_t kKiB = 1024;
inline constexpr uint32_t kMiB = 1024 * kKiB;

// Writes bytes [from, from + len) of writer w's pattern at the descriptor's
// position, chunk by chunk, as a recorder appends.  Fails at the first write
// that does not return its length.
inline ::testing::AssertionResult WritePattern(int fd, int w, uint64_t from, uint64_t len,
                                               uint32_t chunk = 256 * kKiB) {
  std::vector<char> buf(chunk);
  for (uint64_t done = 0; done < len;) {
    auto n = uint32_t(std::min<uint64_t>(chunk, len - done));
    for (uint32_t i = 0; i < n; ++i) buf[i] = PatternByte(w, from + done + i);
    int wrote = zrfs_Write(fd, buf.data(), n);
    if (wrote != int(n))
      return ::testing::AssertionFailure()
             << "writing " << n << " bytes at pattern byte " << from + done << " of writer " << w
             << " returned " << wrote << " (error " << zrfs_error(fd) << ")";
    done += n;
  }
  return ::testing::AssertionSuccess();
}

// Reads len bytes at the descriptor's position; they must be bytes
// [from, from + len) of writer w's pattern.
inline ::testing::AssertionResult ReadsPattern(int fd, int w, uint64_t from, uint64_t len) {
  std::vector<char> buf(len);
  int got = zrfs_Read(fd, buf.data(), uint32_t(len));
  if (got != int(len))
    return ::testing::AssertionFailure()
           << "reading " << len << " bytes returned " << got << " (error " << zrfs_error(fd) << ")";
  for (uint64_t i = 0; i < len; ++i)
    if (buf[i] != PatternByte(w, from + i))
      return ::testing::AssertionFailure()
             << "pattern byte " << from + i << " of writer " << w << " is " << int(uint8_t(buf[i]))
             << ", not " << int(uint8_t(PatternByte(w, from + i)));
  return ::testing::AssertionSuccess();
}

// The same from the start of the file, which must hold exactly len bytes.
inline ::testing::AssertionResult HoldsPattern(int fd, int w, uint64_t len) {
  TfFileStat st{};
  if (zrfs_fstat(fd, &st) != 0) return ::testing::AssertionFailure() << "no status record";
  if (uint64_t(st.st_size) != len)
    return ::testing::AssertionFailure() << "size " << st.st_size << ", not " << len;
  if (zrfs_Seek(fd, 0, 0) != 0) return ::testing::AssertionFailure() << "seek to the start failed";
  return ReadsPattern(fd, w, 0, len);
}

// The same for the record file of that name, opened for reading.
inline ::testing::AssertionResult FileHoldsPattern(const std::string &name, int w, uint64_t len) {
  int fd = zrfs_Open(nullptr, const_cast<char *>(name.c_str()), 0);
  if (fd < 0) return ::testing::AssertionFailure() << name << " does not open";
  ::testing::AssertionResult holds = HoldsPattern(fd, w, len);
  zrfs_Close(fd);
  return holds << " (" << name << ")";
}

// Fields of a record-file name: the block (characters 2..7) and the file
// number (characters 8..11), both hexadecimal.
inline int BlockOfName(const std::string &name) {
  return int(strtol(name.substr(2, 6).c_str(), nullptr, 16));
}
inline uint32_t FileNoOfName(const std::string &name) {
  return uint32_t(strtoul(name.substr(8, 4).c_str(), nullptr, 16));
}

inline constexpr uint64_t RoundUpToAppendStep(uint64_t offset) {
  return (offset + kAppendAlign - 1) / kAppendAlign * kAppendAlign;
}

// Waits until step reaches value.  False after the limit, so a process
// whose partner failed gives up instead of waiting forever.
inline bool AwaitStep(const std::atomic<int> &step, int value,
                      std::chrono::seconds limit = std::chrono::seconds(60)) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  while (step.load() < value) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

}  // namespace zrfs::test
