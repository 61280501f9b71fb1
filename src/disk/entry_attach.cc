#include "disk/entry_attach.h"

#include "shared/pool.h"
#include "shared/pool_layout.h"
#include "zrfs/fsc.h"

namespace zrfs {
namespace {

// Used under the disk's lock only.
DfDiskEntry *g_keptEntry[kMaxDisks];

}  // namespace

DfDiskEntry *AttachDiskEntry(int disk) {
  if (disk < 0 || disk >= kMaxDisks) return nullptr;
  if (DfDiskEntry *kept = g_keptEntry[disk]) {
    g_keptEntry[disk] = nullptr;
    return kept;
  }
  uint64_t key = DiskEntryKey(disk);
  return static_cast<DfDiskEntry *>(
      AcquireDiskEntry(uint32_t(key), uint32_t(key >> 32), sizeof(DfDiskEntry)));
}

void KeepDiskEntry(int disk, DfDiskEntry *entry) {
  if (disk >= 0 && disk < kMaxDisks && entry != nullptr) g_keptEntry[disk] = entry;
}

void ForgetKeptDiskEntries() {
  for (DfDiskEntry *&kept : g_keptEntry) kept = nullptr;
}

}  // namespace zrfs
