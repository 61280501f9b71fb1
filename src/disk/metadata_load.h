// Filling a disk's shared image from the device at mount: choosing which
// metadata copy to take, bringing old versions to the current one, and
// mending a copy found damaged or behind.
#pragma once

#include "disk/layout.h"
#include "shared/status.h"

namespace zrfs {

// Reads both copies into the slot's image and keeps the one to mount from.
// Writes only to upgrade an old version or to mend a copy.  The caller
// holds the slot's lock and has the device open.
Status LoadFromDevice(DfDiskSlot &slot);

}  // namespace zrfs
