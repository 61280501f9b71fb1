// What the record-data path asks of the disk layer on every transfer,
// answered without the disk's lock: readiness, the flush mark, and the
// data ranges the flush thread may drop from the cache.
//
// A process never unmaps a disk's image it attached (entry_attach.h), so
// the unlocked reads never touch memory that has gone.
#pragma once

#include <cstdint>

namespace zrfs {

// As df_IsDiskReady(disk) == 0: the image is attached here, mounted and
// usable.  The mount, unmount and format paths publish what this reads.
bool DiskReadyNow(unsigned disk);

// As df_SetSyncMark(disk, 1).
void MarkForFlush(unsigned disk);

// Record data written at [offset, offset + len) of the device since the
// last flush: once the flush thread has made it durable, it drops these
// pages (and only these) from the cache.
void NoteWrittenData(unsigned disk, uint64_t offset, uint64_t len);

}  // namespace zrfs
