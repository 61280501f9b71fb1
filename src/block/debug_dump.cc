// Text of this process's block-file table, followed by the disk section.
#include <cstdio>

#include "block/block_file.h"
#include "disk/disk.h"
#include "shared/proc_lock.h"
#include "zrfs/df.h"

namespace {

constexpr int kMinimumSize = 120;
constexpr char kTitle[] =
    "==============ZRBLOCK===========\n"
    "blkidx\tFd\terrno\tichan\tdiskid\tblkid\tInRef\tShrRef\tblkaddr\n";

}  // namespace

namespace zrfs {

int DumpBlockFiles(char *buf, int size) {
  if (buf == nullptr || size < kMinimumSize) return 0;
  int n = snprintf(buf, static_cast<size_t>(size), "%s", kTitle);
  if (n >= size) return n;
  for (int slot = 0; slot < kBlockFileSlots; ++slot) {
    BfHandle handle;
    BfShareEntry entry{};
    bool held = false;
    {
      // Copies only: the row is formatted after the table lock is given back.
      ProcessLockGuard tableLock(g_tBlkFileMutex, LockLevel::kBlock);
      BfHandle *h = g_stBlkFileTable[slot];
      if (tableLock.ok() && h != nullptr) {
        handle = *h;
        if (h->share != nullptr) entry = *h->share;
        held = true;
      }
    }
    if (!held) continue;
    n += snprintf(buf + n, static_cast<size_t>(size - n), "%d\t%d\t%d\t%d\t%d\t%x\t%d\t%d\t%lld\n",
                  handle.blkidx, handle.Fd, handle.errNo, static_cast<int>(entry.head.ichan),
                  entry.diskid, static_cast<unsigned>(entry.blkid), handle.InRef, entry.ShrRef,
                  static_cast<long long>(entry.blkaddr));
    if (n >= size) return n;
  }
  return n + DumpDisks(buf + n, size - n);
}

}  // namespace zrfs
