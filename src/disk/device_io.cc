#include "disk/device_io.h"
#include "disk/disk.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>

#include "os/os.h"
#include "zrfs/df.h"

namespace zrfs {
namespace {

// Presence check switch; on from load time, switched off by the host on
// platforms whose driver cannot answer the request.
std::atomic<uint8_t> g_dfOnlineCheck{1};

}  // namespace

uint64_t DeviceSize(const char *path) {
  if (path == nullptr) return kUnmeasuredSize;
  int fd = os().Open(path, O_RDONLY | O_LARGEFILE, 0666);
  if (fd < 0) return kUnmeasuredSize;
  uint64_t bytes = 0;
  uint32_t sectors = 0;
  if (os().DeviceBytes(fd, &bytes) != 0) {
    bytes = os().DeviceSectors(fd, &sectors) == 0 ? uint64_t{sectors} * 512 : 0;
  }
  os().Close(fd);
  return bytes;
}

ssize_t ReadAt(int fd, uint64_t offset, void *buf, size_t len) {
  return ReadFully(fd, buf, len, offset);
}

bool DiskPresent(int fd) {
  if (g_dfOnlineCheck.load(std::memory_order_relaxed) == 0) return true;
  int present = 0;
  return os().Presence(fd, &present) == 0 && present == 1;
}

WriteResult WriteAt(int fd, uint64_t offset, const void *buf, size_t len) {
  if (!DiskPresent(fd)) return WriteResult::kAbsent;
  return WriteFully(fd, buf, len, offset) == ssize_t(len) ? WriteResult::kGood
                                                          : WriteResult::kFailed;
}

void SetPresenceCheck(bool on) {
  g_dfOnlineCheck.store(uint8_t(on ? 1 : 0), std::memory_order_relaxed);
}

}  // namespace zrfs
