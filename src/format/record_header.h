// Pure rules over a record file's header (block_format.h): whether a header
// sector holds a file, the state of its pre-record ring, and its logical
// size.  Shared by the library, the checker and the tool, so all of them
// judge and measure a file alike.
#pragma once

#include <strings.h>

#include <cstdint>

#include "format/block_format.h"

namespace zrfs {

// The sector holds a record file's header: the "ZRND" magic, case ignored
// as the recorders have always compared it.
inline bool HasRecordMagic(const TfFileHeader &file) {
  return strncasecmp(file.magic, "ZRND", 4) == 0;
}

// Header sector n holds file number n (a removed file keeps only its number).
inline bool HoldsFile(const TfFileHeader &file, uint32_t n) {
  return file.fileNo == n && HasRecordMagic(file);
}

// A file created with a pre-record ring whose valid part is not fixed yet.
inline bool RingNotFixed(const TfFileHeader &file) {
  return file.preStart != 0 && file.preEnd != 0 &&
         (file.preRecStartPtr == 0 || file.preRecEndPtr == 0);
}

// Ring bytes plus main data, in 64-bit arithmetic.  A wrapped ring counts
// from its oldest byte round to its newest; equal pointers count as a full
// ring (preEnd - preStart bytes).  A ring not fixed yet counts the bytes
// recorded from its start: such a file is written at preStart + position
// and its end is a block offset.  Negative only for a damaged header.
// Valid bytes of a fixed ring: 0 without one (or before it is fixed).
inline uint64_t RingLength(const TfFileHeader &file) {
  if (file.preRecStartPtr == 0 || file.preRecEndPtr == 0) return 0;
  if (file.preRecEndPtr > file.preRecStartPtr) return file.preRecEndPtr - file.preRecStartPtr;
  return (file.preEnd - file.preRecStartPtr) + (file.preRecEndPtr - file.preStart);
}

inline int64_t RecordLogicalSize(const TfFileHeader &file) {
  if (RingNotFixed(file))
    return static_cast<int64_t>(file.EndAddr > file.preStart ? file.EndAddr - file.preStart : 0);
  return static_cast<int64_t>((file.EndAddr - file.StartAddr) + RingLength(file));
}

}  // namespace zrfs
