#include <gtest/gtest.h>

#include "record/record_file.h"

namespace {

using zrfs::TfFileHeader;

constexpr uint64_t B = 0x200000;

TfFileHeader Plain(uint64_t start, uint64_t end) {
  TfFileHeader h{};
  h.StartAddr = start;
  h.EndAddr = end;
  return h;
}

// A ring [preStart, preEnd) with its oldest byte at startPtr and its newest
// just before endPtr, followed by the main window up to mainEnd.
TfFileHeader Ring(uint64_t preStart, uint64_t preEnd, uint64_t startPtr, uint64_t endPtr,
                  uint64_t mainEnd) {
  TfFileHeader h = Plain(preEnd, mainEnd);
  h.preStart = preStart;
  h.preEnd = preEnd;
  h.preRecStartPtr = startPtr;
  h.preRecEndPtr = endPtr;
  return h;
}

TfFileHeader UnfixedRing() {
  TfFileHeader h = Ring(B, B + 0x100000, 0, 0, 0);
  h.StartAddr = 0;
  return h;
}

TEST(MapRange, PiecesOfEachLayout) {
  // Ring [B, B+1000): oldest byte at B+900, newest just before B+100.
  TfFileHeader wrapped = Ring(B, B + 1000, B + 900, B + 100, B + 1300);
  TfFileHeader unwrapped = Ring(B, B + 1000, B + 100, B + 400, B + 1010);
  TfFileHeader equal = Ring(B, B + 1000, B + 500, B + 500, B + 1010);
  struct Piece {
    uint64_t offset;
    uint32_t length;
  };
  struct {
    const char *layout;
    TfFileHeader header;
    uint32_t pos, len;
    bool reading;
    int count;
    Piece pieces[3];
  } rows[] = {
      {"plain", Plain(B, B + 4096), 100, 50, true, 1, {{B + 100, 50}}},
      {"plain, cut at the end", Plain(B, B + 4096), 4000, 500, true, 1, {{B + 4000, 96}}},
      {"plain, read at the end", Plain(B, B + 4096), 4096, 1, true, -1},
      {"plain, write at the end", Plain(B, B + 4096), 4096, 1000, false, 1, {{B + 4096, 1000}}},
      {"plain, nothing", Plain(B, B + 4096), 0, 0, true, -1},
      {"unfixed ring, read", UnfixedRing(), 1234, 10, true, 1, {{B + 1234, 10}}},
      {"unfixed ring, write", UnfixedRing(), 1234, 10, false, 1, {{B + 1234, 10}}},
      {"wrapped, older", wrapped, 50, 400, true, 3, {{B + 950, 50}, {B, 100}, {B + 1000, 250}}},
      {"wrapped, newer", wrapped, 150, 1000, true, 2, {{B + 50, 50}, {B + 1000, 300}}},
      {"unwrapped", unwrapped, 0, 1000, true, 2, {{B + 100, 300}, {B + 1000, 10}}},
      // Equal pointers: a full ring from the start pointer round to it again,
      // as the file's size counts it.
      {"equal pointers", equal, 0, 1010, true, 3, {{B + 500, 500}, {B, 500}, {B + 1000, 10}}},
  };
  for (const auto &row : rows) {
    uint32_t offsets[3] = {}, lengths[3] = {};
    int count = zrfs::MapRange(row.pos, row.len, &row.header, offsets, lengths, row.reading);
    ASSERT_EQ(count, row.count) << row.layout;
    for (int i = 0; i < count; ++i) {
      EXPECT_EQ(offsets[i], row.pieces[i].offset) << row.layout << ", piece " << i;
      EXPECT_EQ(lengths[i], row.pieces[i].length) << row.layout << ", piece " << i;
    }
  }
  uint32_t offsets[3], lengths[3];
  EXPECT_EQ(zrfs::MapRange(0, 1, nullptr, offsets, lengths, true), -1);
}

}  // namespace
