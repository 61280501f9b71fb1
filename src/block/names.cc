// Record-file names: "H" + disk character + block (6 hex) + file number
// (4 hex) + tag (4 hex) + attributes (7) + "." + extension.  Fields are
// found by counting back from the first full stop, so a name may stand
// behind a directory part.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "block/block_file.h"
#include "os/os.h"
#include "shared/naming.h"
#include "zrfs/fsc.h"

namespace zrfs {
namespace {

constexpr int kCharsBeforeStop = 23;  // "H", disk, block, file, tag, attributes
constexpr int kDiskBack = 22;
constexpr int kBlockBack = 21;
constexpr int kFileNoBack = 15;
constexpr int kTagBack = 11;

bool ParseHex(const char *digits, int count, uint32_t *value) {
  uint32_t v = 0;
  for (int i = 0; i < count; ++i) {
    char c = digits[i];
    uint32_t nibble;
    if (c >= '0' && c <= '9') {
      nibble = static_cast<uint32_t>(c - '0');
    } else if (c >= 'a' && c <= 'f') {
      nibble = static_cast<uint32_t>(c - 'a' + 10);
    } else if (c >= 'A' && c <= 'F') {
      nibble = static_cast<uint32_t>(c - 'A' + 10);
    } else {
      return false;
    }
    v = v << 4 | nibble;
  }
  *value = v;
  return true;
}

// The first full stop, when at least 23 characters stand before it.
const char *FullStop(const char *name) {
  const char *stop = strchr(name, '.');
  if (stop == nullptr || stop - name < kCharsBeforeStop) return nullptr;
  return stop;
}

}  // namespace

bool ParseRecordName(const char *name, RecordName *out) {
  if (name == nullptr || out == nullptr) return false;
  const char *stop = FullStop(name);
  uint32_t blk, fileNo;
  if (stop == nullptr || !ParseHex(stop - kBlockBack, 6, &blk) ||
      !ParseHex(stop - kFileNoBack, 4, &fileNo) || fileNo == 0 || fileNo > kMaxFileNo)
    return false;
  int disk = DiskNumberOfPath(name);  // a device path in front names the disk
  out->disk = disk >= 0 ? disk : DiskNumberOfLetter(static_cast<unsigned char>(stop[-kDiskBack]));
  out->blk = static_cast<int32_t>(blk);
  out->fileNo = fileNo;
  out->tag = stop - kTagBack;
  return true;
}

void MakeFileName(uint32_t disk, uint32_t blk, uint32_t fileNo, char *name, char *identity,
                  uint32_t lockFlag) {
  char tag[5];
  if (identity[0] == '\0') {
    snprintf(tag, sizeof tag, "%04X", static_cast<unsigned>(os().Random()) & 0xFFFFu);
    memcpy(identity, "ZRND", 4);
    memcpy(identity + 4, tag, 4);
  } else {
    memcpy(tag, identity + 4, 4);
    tag[4] = '\0';
  }
  char attributes[] = "0000C00";
  if (lockFlag == 1) attributes[4] = 'L';
  if (lockFlag == 2) attributes[4] = 'B';
  snprintf(name, 25, "H%c%06X%04X%4s%7s.", DiskLetter(disk), blk, fileNo, tag, attributes);
}

}  // namespace zrfs
