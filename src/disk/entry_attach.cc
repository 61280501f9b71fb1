#include "disk/entry_attach.h"

#include "shared/pool.h"
#include "zrfs/fsc.h"

namespace zrfs {

DfDiskEntry *AttachDiskEntry(int disk) {
  uint64_t key = DiskEntryKey(disk);
  return static_cast<DfDiskEntry *>(
      fsc_DfMalloc(uint32_t(key), uint32_t(key >> 32), sizeof(DfDiskEntry)));
}

void DetachDiskEntry(DfDiskEntry *entry) {
  if (entry == nullptr) return;
  fsc_ShmRelease(entry, int(entry->poolSlot), /*last=*/false);
}

}  // namespace zrfs
