// Text of this process's record-file table, followed by the block-file and
// disk sections.
#include <cstdio>

#include "block/block_file.h"
#include "record/record_file.h"
#include "shared/proc_lock.h"

namespace {

constexpr int kMinimumSize = 140;
constexpr char kTitle[] =
    "=================ZRFILE==============\n"
    "fileid\terrno\tfilename\t\t\tInRef\tShrRef\t StartAddr\t   EndAddr\t  preStart\t    preEnd\n";

}  // namespace

namespace zrfs {

int DumpRecordFiles(char *buf, int size) {
  if (buf == nullptr || size < kMinimumSize) return 0;
  int n = snprintf(buf, static_cast<size_t>(size), "%s", kTitle);
  if (n >= size) return n;
  for (int slot = 0; slot < kRecordFileSlots; ++slot) {
    TfHandle handle;
    TfFileEntry entry{};
    bool held = false;
    {
      // Copies only, under the table lock: a line may show a header that a
      // writer is changing at this moment.
      ProcessLockGuard tableLock(g_zrFileMutex, LockLevel::kRecord);
      TfHandle *h = g_tfFileTable[slot];
      if (tableLock.ok() && h != nullptr) {
        handle = *h;
        if (h->entry != nullptr) entry = *h->entry;
        held = true;
      }
    }
    if (!held) continue;
    entry.filename[sizeof entry.filename - 1] = '\0';
    n += snprintf(
        buf + n, static_cast<size_t>(size - n),
        "%d\t%d\t%s\t%d\t%d\t%10lld\t%10lld\t%10lld\t%10lld\n", handle.fileId, handle.errNo,
        entry.filename, handle.InRef, entry.ShrRef, static_cast<long long>(entry.header.StartAddr),
        static_cast<long long>(entry.header.EndAddr), static_cast<long long>(entry.header.preStart),
        static_cast<long long>(entry.header.preEnd));
    if (n >= size) return n;
  }
  return n + DumpBlockFiles(buf + n, size - n);
}

}  // namespace zrfs
