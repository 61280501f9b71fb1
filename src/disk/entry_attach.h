// Attaching and letting go of a disk's shared image in this process.
#pragma once

#include "disk/layout.h"

namespace zrfs {

// Attaches the disk's shared image, creating it when no process has one.
DfDiskEntry *AttachDiskEntry(int disk);

// Detaches this process's attachment only.  The segment and its list slot
// stay, because other processes may still hold the image (and a fresh
// segment for them would mean two block maps for one disk).
void DetachDiskEntry(DfDiskEntry *entry);

}  // namespace zrfs
