// What the library holds in a process, counted so that a test can tell
// whether a failed call left something behind: descriptors of the process,
// record-file and block-file handles, descriptor slots, pool slots and the
// reference counts of the shared entries, the writers counted on the blocks
// the process has attached, and the disk's mount count.
#pragma once

#include <dirent.h>

#include <cstring>
#include <ostream>
#include <string>

#include "api/descriptor_table.h"
#include "block/block_file.h"
#include "disk/disk_table.h"
#include "record/record_file.h"
#include "shared/pool_layout.h"
#include "zrfs/fsc.h"

namespace zrfs::test {

struct LibraryState {
  int openFds = 0;         // entries of /proc/self/fd
  int descriptors = 0;     // occupied descriptor slots
  int recordHandles = 0;   // g_tfFileTable entries
  int blockHandles = 0;    // g_stBlkFileTable entries
  int listedEntries = 0;   // occupied slots of the shared file list
  int64_t recordRefs = 0;  // ShrRef summed over listed record-file entries
  int64_t blockRefs = 0;   // ShrRef summed over listed block-file entries
  int liveWriters = 0;     // LiveWriters summed over the process's block handles
  uint32_t mounted = 0;    // mount count of the watched disk

  bool operator==(const LibraryState &) const = default;
};

inline std::ostream &operator<<(std::ostream &out, const LibraryState &s) {
  return out << "{fds " << s.openFds << ", descriptors " << s.descriptors << ", record handles "
             << s.recordHandles << ", block handles " << s.blockHandles << ", listed entries "
             << s.listedEntries << ", record refs " << s.recordRefs << ", block refs "
             << s.blockRefs << ", live writers " << s.liveWriters << ", mounted " << s.mounted
             << "}";
}

inline int CountOpenFds() {
  int n = 0;
  DIR *dir = opendir("/proc/self/fd");
  if (dir == nullptr) return -1;
  while (dirent *e = readdir(dir)) n += e->d_name[0] != '.';
  closedir(dir);
  return n - 1;  // the directory's own descriptor
}

inline int32_t EntryRef(const EntryKind &kind, int index) {
  const auto *pool = static_cast<const uint8_t *>(g_stZrfsShrPool);
  int32_t ref;
  memcpy(&ref, pool + kind.poolOffset + kind.entrySize * uint32_t(index) + kind.shrRefOffset,
         sizeof ref);
  return ref;
}

// Call with no other thread inside the library.
inline LibraryState CaptureLibraryState(int disk) {
  LibraryState s;
  s.openFds = CountOpenFds();
  for (int slot = 0; slot < kDescriptorSlots; ++slot) {
    DescriptorLine copy;
    s.descriptors += CopySlot(slot, &copy);
  }
  for (TfHandle *h : g_tfFileTable) s.recordHandles += h != nullptr;
  for (BfHandle *h : g_stBlkFileTable) {
    if (h == nullptr) continue;
    s.blockHandles += 1;
    s.liveWriters += LiveWriters(h);
  }
  if (g_stZrfsFileList != nullptr && g_stZrfsShrPool != nullptr) {
    for (int slot = 0; slot < kPoolSlotCount; ++slot)
      s.listedEntries += g_stZrfsFileList[slot] != 0;
    for (int i = 0; i < kInPoolEntries; ++i) {
      if (g_stZrfsFileList[kFirstRecordSlot + i] != 0) s.recordRefs += EntryRef(kRecordKind, i);
      if (g_stZrfsFileList[kFirstBlockSlot + i] != 0) s.blockRefs += EntryRef(kBlockKind, i);
    }
  }
  const DfDiskSlot &slot = g_dfDiskTable[disk];
  if (slot.entry != nullptr) s.mounted = slot.entry->mounted;
  return s;
}

}  // namespace zrfs::test
