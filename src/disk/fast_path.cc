#include "disk/fast_path.h"

#include <atomic>

#include "disk/disk_table.h"
#include "disk/written_ranges.h"

namespace zrfs {
namespace {

WrittenRanges g_written[kMaxDisks];

}  // namespace

bool DiskReadyNow(unsigned disk) {
  if (disk >= unsigned(kMaxDisks)) return false;
  const DfDiskEntry *entry = PublishedEntry(g_dfDiskTable[disk]);
  return entry != nullptr && MountedNow(*entry);
}

void MarkForFlush(unsigned disk) {
  if (disk >= unsigned(kMaxDisks)) return;
  std::atomic_ref<int32_t> mark(g_dfDiskTable[disk].syncMark);
  int32_t seen = mark.load(std::memory_order_relaxed);
  if (seen == 1) return;  // the common case: already marked, nothing to write
  // Urgent requests (2 or more) accumulate; otherwise the mark becomes 1.
  while (!mark.compare_exchange_weak(seen, seen >= 2 ? seen + 1 : 1, std::memory_order_relaxed)) {
  }
}

void NoteWrittenData(unsigned disk, uint64_t offset, uint64_t len) {
  if (disk < unsigned(kMaxDisks) && len > 0) g_written[disk].Add(offset, offset + len);
}

int TakeWrittenData(unsigned disk, ByteRange *out) {
  return disk < unsigned(kMaxDisks) ? g_written[disk].Take(out) : 0;
}

}  // namespace zrfs
