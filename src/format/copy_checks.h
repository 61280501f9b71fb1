// What a mount asks of a metadata copy before it takes it, and which of two
// copies it tries first.  Pure functions over bytes already read: the
// library's mount and the disk checker judge copies with the same rules.
#pragma once

#include <cstdint>

#include "format/disk_format.h"

namespace zrfs {

// Every map byte of the disk's blocks is one of the four block states.
inline bool MapStatesKnown(const uint8_t *map, uint32_t blocks) {
  for (uint32_t blk = 0; blk < blocks; ++blk)
    if (map[blk] != kBlkFree && map[blk] != kBlkUsed && !IsBadState(map[blk])) return false;
  return true;
}

// A current-block row names no block (-1) or a block of the disk.
inline bool CurBlkRowInRange(const int32_t *row, uint32_t blocks) {
  for (int chan = 0; chan < kChannels; ++chan)
    if (row[chan] != -1 && (row[chan] < 0 || uint32_t(row[chan]) >= blocks)) return false;
  return true;
}

// A block-count row counts no more blocks than the disk has.
inline bool BlkCntRowInRange(const uint32_t *row, uint32_t blocks) {
  for (int chan = 0; chan < kChannels; ++chan)
    if (row[chan] > blocks) return false;
  return true;
}

// Disks before version 2 kept no counts; a mount rebuilds them from the
// blocks, so their count pages are neither read nor judged.
inline bool CountsKept(const DfDiskHeader &head) {
  return head.ver >= kFormatVersion;
}

// The copy to try first of those whose header was accepted: the higher
// update count, and copy 0 on a tie (it is written first, so it holds
// whatever part of a cut-short change reached either copy).  -1 when
// neither was accepted.
inline int NewestCopy(const bool accepted[kMetaCopies], const DfDiskHeader heads[kMetaCopies]) {
  if (!accepted[0]) return accepted[1] ? 1 : -1;
  if (!accepted[1]) return 0;
  return heads[1].updateCount > heads[0].updateCount ? 1 : 0;
}

// What a recorded repair says about the copy it rewrote.
inline const char *CopyFaultText(CopyFault fault) {
  switch (fault) {
    case CopyFault::kNone:
      return "nothing";
    case CopyFault::kBehind:
      return "it was behind the other by changes that had not reached it";
    case CopyFault::kHeaderUnreadable:
      return "its header could not be read";
    case CopyFault::kHeaderRefused:
      return "its header was refused";
    case CopyFault::kMapUnreadable:
      return "neither of its map places could be read";
    case CopyFault::kMapStrayStates:
      return "its map held bytes that are no block state";
    case CopyFault::kTableUnreadable:
      return "a page of its tables could not be read";
    case CopyFault::kTableOutOfRange:
      return "its tables named or counted blocks the disk does not have";
  }
  return "an unknown fault";
}

}  // namespace zrfs
