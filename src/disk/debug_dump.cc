// The disk section of the diagnostic dump: one line per disk slot of this
// process that has its shared image attached, followed by one indented
// line when a mount has mended one of the disk's metadata copies.
#include <cstdio>

#include "disk/disk.h"
#include "disk/disk_table.h"
#include "format/copy_checks.h"
#include "shared/proc_lock.h"
#include "zrfs/df.h"

namespace zrfs {
namespace {

constexpr int kMinDumpSize = 100;

const char kDiskTitle[] =
    "===========ZRDISK============\nid\tfd\tmapIndex\tstat\tmounted\tver\ttolblk\tuseblk\tbadblk\n";

struct DiskLine {
  int fd;
  uint32_t mapIndex, stat, mounted, ver, tolblk;
  uint32_t used, bad;
  CopyRepair repair;
};

// Copies what the line shows under the slot's lock.  The map is counted in
// place rather than from a copy of the whole image: the lock is held about
// as long, and no 257 KiB of scratch space is needed.
bool TakeLine(DfDiskSlot &slot, DiskLine *line) {
  ProcessLockGuard lock(slot.semId, LockLevel::kDisk);
  if (!lock.ok() || slot.entry == nullptr) return false;
  const DfDiskEntry &entry = *slot.entry;
  *line = {slot.fd,          entry.mapIndex,    entry.stat, entry.mounted,
           entry.head.ver,   entry.head.tolblk, 0,          0,
           entry.head.repair};
  for (uint32_t blk = 0; blk < UsableBlocks(entry); ++blk) {
    line->used += entry.blkMap[blk] == kBlkUsed;
    line->bad += IsBadState(entry.blkMap[blk]);
  }
  return true;
}

}  // namespace
int DumpDisks(char *buf, int size) {
  if (buf == nullptr || size < kMinDumpSize) return 0;
  int total = snprintf(buf, size_t(size), "%s", kDiskTitle);
  if (total >= size) return total;
  for (int disk = 0; disk < kMaxDisks; ++disk) {
    DiskLine line;
    if (!TakeLine(g_dfDiskTable[disk], &line)) continue;
    total += snprintf(buf + total, size_t(size - total), "%d\t%d\t%d\t\t%d\t%d\t%d\t%d\t%d\t%d\n",
                      disk, line.fd, int(line.mapIndex), int(line.stat), int(line.mounted),
                      int(line.ver), int(line.tolblk), int(line.used), int(line.bad));
    if (total >= size) return total;
    if (line.repair.fault == CopyFault::kNone) continue;
    const CopyRepair &r = line.repair;
    total += snprintf(buf + total, size_t(size - total),
                      "  disk %d: a mount took copy %d and rewrote copy %d (%s), %u block(s) "
                      "taken back from their headers\n",
                      disk, int(r.usedCopy), int(r.rewrittenCopy), CopyFaultText(r.fault),
                      unsigned(r.blocksTakenBack));
    if (total >= size) return total;
  }
  return total;
}

}  // namespace zrfs
