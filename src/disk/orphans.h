// Orphaned blocks: used blocks that no record file holds any more, which a
// process killed inside an unlink or a block release leaves behind (1 GiB
// each, that nothing else would ever free).  Finding them and giving them
// back.  Callers hold the disk's lock.
//
// A channel's current block is never taken: a block a live process is
// creating a file in is its channel's current block until the file's header
// is written, and an empty current block takes its channel's next file.
#pragma once

#include <cstdint>

#include "disk/layout.h"

namespace zrfs {

// When a channel needs a block and none is free: gives back the first used
// block whose header area holds no record header, whatever its header
// counts, and returns it; -1 when there is none.  Runs under the creation
// lock that the allocating create holds, so no process is inside an unlink
// or a create.  It reads the used part of every used block's header area,
// so a process searches once per format of the disk, again after a search
// that found one or a mount that read the disk afresh.
int32_t ReclaimOrphanedBlock(DfDiskSlot &slot);

// When a mount reads the disk's image from the device: gives back every
// used block whose own header counts no file and whose header area holds
// no record header.  Reads one sector per used block, and the header area
// of the few whose header counts no file.  A block whose header still
// counts a file it no longer holds is left to ReclaimOrphanedBlock.
void ReclaimOrphansAtMount(DfDiskSlot &slot);

}  // namespace zrfs
