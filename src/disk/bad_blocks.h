// What tagging a byte range bad and taking it back share: the blocks a
// range touches and the map written to both copies.
#pragma once

#include <cstdint>

#include "disk/layout.h"

namespace zrfs {

// One past a range of length bytes from offset; a range past 2^64 ends there.
inline uint64_t RangeEnd(uint64_t offset, uint32_t length) {
  uint64_t end = offset + length;
  return end < offset ? ~uint64_t{0} : end;
}

// Blocks [first, last] that the device range [offset, end] touches, or
// false when it misses the data area.  The block holding byte `end` (one
// past the range) is included, so a range ending on a block boundary also
// takes the next block: a failing sector is often followed by more.
bool BlocksTouched(const DfDiskEntry &entry, uint64_t offset, uint64_t end, uint32_t *first,
                   uint32_t *last);

// Map to copy 0, then copy 1, as one metadata change (each copy's header
// after its map).  True when either copy was written; *placeAFailed is that
// of the first that was.
bool WriteMapToBothCopies(DfDiskSlot &slot, int *placeAFailed);

}  // namespace zrfs
