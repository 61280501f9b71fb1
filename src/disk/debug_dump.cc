// The disk section of the diagnostic dump: one line per disk slot of this
// process that has its shared image attached, followed by one indented
// line when a mount has mended one of the disk's metadata copies and, for a
// disk some process has mounted, one with its retention mode and quotas.
#include <cstdio>

#include "disk/disk.h"
#include "disk/disk_table.h"
#include "disk/policy.h"
#include "format/copy_checks.h"
#include "shared/proc_lock.h"
#include "zrfs/df.h"

namespace zrfs {
namespace {

constexpr int kMinDumpSize = 100;

const char kDiskTitle[] =
    "===========ZRDISK============\nid\tfd\tmapIndex\tstat\tmounted\tver\ttolblk\tuseblk\tbadblk\n";

// The dump's buffer is bounded, so only the first few quotas are named.
constexpr uint32_t kQuotasShown = 8;

struct Quota {
  uint32_t chan, blocks;
};

struct PolicyLine {
  bool known;  // the disk is mounted and its policy segment attached
  uint32_t retention;
  uint32_t quotas;  // channels with a quota
  Quota shown[kQuotasShown];
};

struct DiskLine {
  int fd;
  uint32_t mapIndex, stat, mounted, ver, tolblk;
  uint32_t used, bad;
  CopyRepair repair;
  PolicyLine policy;
};

// The policy means something only while a process has the disk mounted:
// the next first mount starts again from the defaults.
PolicyLine TakePolicy(int disk, const DfDiskEntry &entry) {
  PolicyLine line{};
  const DiskPolicy *policy = entry.mounted > 0 ? AttachDiskPolicy(disk) : nullptr;
  if (policy == nullptr) return line;
  line.known = true;
  line.retention = policy->retention;
  for (uint32_t chan = 0; chan < uint32_t(kPolicyChannels); ++chan) {
    if (policy->quota[chan] == 0) continue;
    if (line.quotas < kQuotasShown) line.shown[line.quotas] = {chan, policy->quota[chan]};
    ++line.quotas;
  }
  return line;
}

int PrintPolicy(char *buf, int size, int disk, const PolicyLine &p) {
  int n = snprintf(buf, size_t(size), "  disk %d: retention %s, quotas", disk,
                   p.retention == kRetentionOverwriteOldest ? "overwrite oldest" : "keep all");
  if (p.quotas == 0 && n < size) n += snprintf(buf + n, size_t(size - n), " none");
  for (uint32_t i = 0; i < p.quotas && i < kQuotasShown && n < size; ++i)
    n += snprintf(buf + n, size_t(size - n), "%s chan %u: %u", i == 0 ? "" : ",",
                  unsigned(p.shown[i].chan), unsigned(p.shown[i].blocks));
  if (p.quotas > kQuotasShown && n < size)
    n += snprintf(buf + n, size_t(size - n), ", +%u more", unsigned(p.quotas - kQuotasShown));
  if (n < size) n += snprintf(buf + n, size_t(size - n), "\n");
  return n;
}

// Copies what the line shows under the slot's lock.  The map is counted in
// place rather than from a copy of the whole image: the lock is held about
// as long, and no 257 KiB of scratch space is needed.
bool TakeLine(int disk, DfDiskSlot &slot, DiskLine *line) {
  ProcessLockGuard lock(slot.semId, LockLevel::kDisk);
  if (!lock.ok() || slot.entry == nullptr) return false;
  const DfDiskEntry &entry = *slot.entry;
  *line = {
      slot.fd, entry.mapIndex,    entry.stat, entry.mounted, entry.head.ver, entry.head.tolblk, 0,
      0,       entry.head.repair, {}};
  line->policy = TakePolicy(disk, entry);
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
    if (!TakeLine(disk, g_dfDiskTable[disk], &line)) continue;
    total += snprintf(buf + total, size_t(size - total), "%d\t%d\t%d\t\t%d\t%d\t%d\t%d\t%d\t%d\n",
                      disk, line.fd, int(line.mapIndex), int(line.stat), int(line.mounted),
                      int(line.ver), int(line.tolblk), int(line.used), int(line.bad));
    if (total >= size) return total;
    if (line.repair.fault != CopyFault::kNone) {
      const CopyRepair &r = line.repair;
      total += snprintf(buf + total, size_t(size - total),
                        "  disk %d: a mount took copy %d and rewrote copy %d (%s), %u block(s) "
                        "taken back from their headers\n",
                        disk, int(r.usedCopy), int(r.rewrittenCopy), CopyFaultText(r.fault),
                        unsigned(r.blocksTakenBack));
      if (total >= size) return total;
    }
    if (!line.policy.known) continue;
    total += PrintPolicy(buf + total, size - total, disk, line.policy);
    if (total >= size) return total;
  }
  return total;
}

}  // namespace zrfs
