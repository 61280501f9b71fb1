// The status record of a record file, filled from its header.  Shared by the
// block statistics scan and the record-file layer, so both report alike.
#pragma once

#include <cstdint>

#include "format/block_format.h"
#include "zrfs.h"

namespace zrfs {

// A file created with a pre-record ring whose valid part is not fixed yet.
bool RingNotFixed(const TfFileHeader &file);

// Ring bytes plus main data.  A wrapped ring counts from its oldest byte
// round to its newest; equal pointers count as a full ring.  A ring not fixed
// yet counts the bytes recorded from its start.
int64_t RecordLogicalSize(const TfFileHeader &file);

// Fills every field of the status record that a header gives (size, blocks,
// times, channel, lock state, record type, creation time, user parameters);
// the name and the stat64 fields that stay untouched are left as they are.
void FillFileStat(const TfFileHeader &file, TfFileStat *st);

}  // namespace zrfs
