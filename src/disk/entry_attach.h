// Attaching a disk's shared image in this process.
//
// A process never unmaps an image it attached.  Transfers read readiness
// from the image without the disk's lock (fast_path.h), so an image must
// stay mapped for as long as any thread may still hold its address.  A
// mount that fails lets go of the image only in the slot: the mapping is
// kept aside and handed out again by the next attachment of that disk.
// The library never removes a disk's segment, so the kept mapping is the
// disk's current image for as long as processes use it.
#pragma once

#include "disk/layout.h"

namespace zrfs {

// Attaches the disk's shared image, creating it when no process has one;
// the mapping kept aside by KeepDiskEntry when there is one.
DfDiskEntry *AttachDiskEntry(int disk);

// Takes the image out of use in this process without unmapping it.
void KeepDiskEntry(int disk, DfDiskEntry *entry);

// Forgets kept mappings (start-up of the disk table, with a new root).
void ForgetKeptDiskEntries();

}  // namespace zrfs
