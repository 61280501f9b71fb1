// Disk numbers in device paths, disk characters in record-file names, and
// the block type under which a data type is counted.
#include "shared/naming.h"

#include <climits>
#include <cstring>

#include "zrfs/fsc.h"

namespace {

constexpr char kDevicePrefix[] = "/dev/scsi/host";

}  // namespace

namespace zrfs {

int DiskNumberOfPath(const char *path) {
  if (path == nullptr) return -1;
  const char *prefix = strstr(path, kDevicePrefix);
  if (prefix == nullptr) return -1;
  int number = 0;
  for (const char *c = prefix + sizeof kDevicePrefix - 1; *c >= '0' && *c <= '9'; ++c) {
    // An overlong run saturates: every caller refuses numbers above 23.
    int digit = *c - '0';
    number = number > (INT_MAX - digit) / 10 ? INT_MAX : number * 10 + digit;
  }
  return number;
}

int DiskNumberOfLetter(int c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'z') return c - 'a' + 10;
  if (c >= 'A' && c <= 'Z') return c - 'A' + 10;
  return 0;
}

int DiskLetter(uint32_t n) {
  if (n <= 9) return static_cast<int>('0' + n);
  if (n <= 24) return static_cast<int>('a' + (n - 10));
  return '?';
}

uint32_t BlockTypeOf(uint32_t dataType) {
  switch (dataType) {
    case 2:
      return 2;
    case 3:
      return 1;
    case 4:
      return 2;
    case 5:
      return 3;
    case 6:
      return 4;
    default:
      return 0;  // 0, 1 (pre-record ring files) and every unlisted type
  }
}

}  // namespace zrfs
