// Device access of the disk layer: size, reads, and writes that first make
// sure the disk is still there.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

#include "disk/disk.h"

namespace zrfs {

inline constexpr uint64_t kUnmeasuredSize = ~uint64_t{0};

// Size of the device in bytes: kUnmeasuredSize when it cannot be opened, 0
// when neither size request answers.
uint64_t DeviceSize(const char *path);

// Reads at offset; the bytes read (fewer when the device failed or ended),
// or -1 when nothing could be read.
ssize_t ReadAt(int fd, uint64_t offset, void *buf, size_t len);
inline bool ReadFullAt(int fd, uint64_t offset, void *buf, size_t len) {
  return ReadAt(fd, offset, buf, len) == ssize_t(len);
}

enum class WriteResult { kGood, kFailed, kAbsent };

// Checks that the disk is present, then writes at offset; good only when
// the whole length was written.  Nothing is written while the disk is absent.
WriteResult WriteAt(int fd, uint64_t offset, const void *buf, size_t len);

// The presence check, DiskPresent, is declared with the layer's core
// (disk.h).

}  // namespace zrfs
