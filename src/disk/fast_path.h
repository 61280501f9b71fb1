// What the record-data path asks of the disk layer on every transfer,
// answered without the disk's lock: readiness, the flush mark, and the
// data ranges the flush thread may drop from the cache.
//
// Only a process that has a block of the disk attached may call these: the
// disk's shared image then stays mapped in the process (a mount that fails
// meanwhile keeps it mapped, see mount.cc), so the unlocked reads never
// touch memory that has gone.
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

// Counts the blocks of a disk this process has attached.
void PinDiskImage(unsigned disk);
void UnpinDiskImage(unsigned disk);
bool DiskImagePinned(unsigned disk);

}  // namespace zrfs
