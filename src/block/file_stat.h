// The status record of a record file, filled from its header.  Shared by the
// block statistics scan and the record-file layer, so both report alike.
#pragma once

#include <cstdint>

#include "format/record_header.h"
#include "zrfs.h"

namespace zrfs {

// Fills every field of the status record that a header gives (size, blocks,
// times, channel, lock state, record type, creation time, user parameters);
// the name and the stat64 fields that stay untouched are left as they are.
void FillFileStat(const TfFileHeader &file, TfFileStat *st);

// FillFileStat, and the name made from the header (its lock state and the
// 7 extension characters the header keeps), as a block's listing shows it.
void FillListedFileStat(uint32_t disk, uint32_t blk, const TfFileHeader &file, TfFileStat *st);

}  // namespace zrfs
