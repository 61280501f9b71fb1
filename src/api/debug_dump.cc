// The diagnostic text of this process: descriptors, then the record-file,
// block-file and disk sections of the layers below.
#include <cstdio>

#include "api/descriptor_table.h"
#include "record/record_file.h"
#include "shared/call_reason.h"
#include "zrfs.h"

namespace {

constexpr int kMinimumSize = 1024;
constexpr char kTitle[] =
    "===============ZRFS===================\n"
    "id\tfd\t\trwflag\terrno\toffset\n";

}  // namespace

using namespace zrfs;

extern "C" int zrfs_GetDebugInfo(char *buf, int size) {
  CallReason reason;
  if (buf == nullptr || size < kMinimumSize) return reason.Give(0, false, Status::kBadArgument);
  buf[0] = '\0';
  int n = snprintf(buf, static_cast<size_t>(size), "%s", kTitle);
  if (n >= size) return n;
  for (int slot = 0; slot < kDescriptorSlots; ++slot) {
    DescriptorLine copy;
    if (!CopySlot(slot, &copy)) continue;  // the line is formatted outside the table lock
    n += snprintf(buf + n, static_cast<size_t>(size - n), "%d\t0x%08x\t%d\t%d\t%lld\n", slot,
                  static_cast<unsigned>(copy.fd), copy.rwflag, copy.errNo,
                  static_cast<long long>(copy.offset));
    if (n >= size) return n;
  }
  n += DumpRecordFiles(buf + n, size - 1 - n);
  buf[size - 1] = '\0';
  return reason.Give(n, true, Status::kOk);
}
