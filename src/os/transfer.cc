// Whole transfers over the seam's single calls: the one loop that absorbs
// interrupted and short transfers.
#include <errno.h>

#include "os/os.h"

namespace zrfs {
namespace {

template <typename Call>
ssize_t Repeat(size_t len, Call call) {
  size_t done = 0;
  while (done < len) {
    ssize_t n = call(done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return done == 0 ? -1 : static_cast<ssize_t>(done);
    if (n == 0) {  // the end of the device
      errno = 0;
      break;
    }
    done += static_cast<size_t>(n);
  }
  return static_cast<ssize_t>(done);
}

}  // namespace

ssize_t ReadFully(int fd, void *buf, size_t len, uint64_t offset) {
  auto *bytes = static_cast<uint8_t *>(buf);
  return Repeat(
      len, [&](size_t done) { return os().PRead(fd, bytes + done, len - done, offset + done); });
}

ssize_t WriteFully(int fd, const void *buf, size_t len, uint64_t offset) {
  const auto *bytes = static_cast<const uint8_t *>(buf);
  return Repeat(
      len, [&](size_t done) { return os().PWrite(fd, bytes + done, len - done, offset + done); });
}

}  // namespace zrfs
