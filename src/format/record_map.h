// Where a record file's logical bytes lie in its block: up to three pieces,
// the older part of a wrapped ring, the newer part of the ring, and the main
// data window.  Pure functions of the header, shared by the library's reads
// and writes and by the tool's reads of an image.
#pragma once

#include <cstdint>

#include "format/block_format.h"

namespace zrfs {

inline constexpr uint64_t kWriteLimit = 0x7FFFFFFF;  // how far a write may extend a window
inline constexpr int kMaxPieces = 3;

namespace record_map {

struct Piece {
  uint64_t start;   // block offset
  uint64_t length;  // bytes
};

// The file's pieces in logical order; empty pieces have length 0.
inline void LayOut(const TfFileHeader &h, bool reading, Piece (&pieces)[kMaxPieces]) {
  uint64_t limit = reading ? h.EndAddr : kWriteLimit;
  Piece main{h.StartAddr, limit > h.StartAddr ? limit - h.StartAddr : 0};
  pieces[0] = pieces[1] = Piece{0, 0};
  pieces[2] = main;
  if (h.preStart == 0 || h.preEnd == 0) return;        // no ring
  if (h.preRecStartPtr == 0 || h.preRecEndPtr == 0) {  // ring not fixed yet
    pieces[2] = Piece{h.preStart, kWriteLimit};
  } else if (h.preRecStartPtr < h.preRecEndPtr) {  // not wrapped
    pieces[1] = Piece{h.preRecStartPtr, h.preRecEndPtr - h.preRecStartPtr};
  } else {  // wrapped; equal pointers: a full ring, oldest byte at the start pointer
    pieces[0] = Piece{h.preRecStartPtr, h.preEnd - h.preRecStartPtr};
    pieces[1] = Piece{h.preStart, h.preRecEndPtr - h.preStart};
  }
}

}  // namespace record_map

// Cuts [pos, pos + len) of a file's logical layout into up to three block
// ranges (kMaxPieces).  Returns their number (1..3), or -1 when nothing lies
// there.  reading: a read stops at EndAddr; a write may extend the window.
inline int MapRange(uint32_t pos, uint32_t len, const TfFileHeader *header, uint32_t *offsets,
                    uint32_t *lengths, bool reading) {
  if (header == nullptr || offsets == nullptr || lengths == nullptr || len == 0) return -1;
  record_map::Piece pieces[kMaxPieces];
  record_map::LayOut(*header, reading, pieces);
  uint64_t position = pos;
  uint64_t remaining = len;
  uint64_t logicalStart = 0;
  int count = 0;
  for (const record_map::Piece &piece : pieces) {
    if (remaining == 0) break;
    uint64_t pieceEnd = logicalStart + piece.length;
    if (pieceEnd > position) {
      uint64_t take = remaining < pieceEnd - position ? remaining : pieceEnd - position;
      offsets[count] = static_cast<uint32_t>(piece.start + (position - logicalStart));
      lengths[count] = static_cast<uint32_t>(take);
      ++count;
      position += take;
      remaining -= take;
    }
    logicalStart = pieceEnd;
  }
  return remaining == len ? -1 : count;
}

}  // namespace zrfs
