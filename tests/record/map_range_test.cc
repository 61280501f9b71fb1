#include <gtest/gtest.h>

#include "record/record_file.h"

namespace {

using zrfs::tf_MapRange;
using zrfs::TfFileHeader;

struct Mapped {
  int count;
  uint32_t offsets[3];
  uint32_t lengths[3];
};

Mapped Map(const TfFileHeader &h, uint32_t pos, uint32_t len, bool reading) {
  Mapped m{};
  m.count = tf_MapRange(pos, len, &h, m.offsets, m.lengths, reading);
  return m;
}

TfFileHeader Plain(uint64_t start, uint64_t end) {
  TfFileHeader h{};
  h.StartAddr = start;
  h.EndAddr = end;
  return h;
}

TfFileHeader Ring(uint64_t preStart, uint64_t preEnd, uint64_t startPtr, uint64_t endPtr,
                  uint64_t mainEnd) {
  TfFileHeader h{};
  h.preStart = preStart;
  h.preEnd = preEnd;
  h.preRecStartPtr = startPtr;
  h.preRecEndPtr = endPtr;
  h.StartAddr = preEnd;
  h.EndAddr = mainEnd;
  return h;
}

TEST(MapRange, FileWithoutRingIsItsMainWindow) {
  TfFileHeader h = Plain(0x200000, 0x201000);
  Mapped m = Map(h, 100, 50, true);
  ASSERT_EQ(m.count, 1);
  EXPECT_EQ(m.offsets[0], 0x200000u + 100);
  EXPECT_EQ(m.lengths[0], 50u);
  m = Map(h, 4000, 500, true);  // crosses the end: cut there
  ASSERT_EQ(m.count, 1);
  EXPECT_EQ(m.lengths[0], 96u);
  EXPECT_EQ(Map(h, 4096, 1, true).count, -1);  // starts at the end
  m = Map(h, 4096, 1000, false);               // writing may extend it
  ASSERT_EQ(m.count, 1);
  EXPECT_EQ(m.offsets[0], 0x201000u);
  EXPECT_EQ(Map(h, 0, 0, true).count, -1);
  EXPECT_EQ(tf_MapRange(0, 1, nullptr, m.offsets, m.lengths, true), -1);
}

TEST(MapRange, UnfixedRingIsWrittenAndReadFromItsStart) {
  TfFileHeader h = Ring(0x200000, 0x300000, 0, 0, 0);
  h.StartAddr = 0;
  for (bool reading : {true, false}) {
    Mapped m = Map(h, 1234, 10, reading);
    ASSERT_EQ(m.count, 1);
    EXPECT_EQ(m.offsets[0], 0x200000u + 1234);
  }
}

TEST(MapRange, WrappedRingReadsOlderThenNewerThenMain) {
  // Ring [B, B+1000): oldest byte at B+900, newest just before B+100.
  const uint64_t B = 0x200000;
  TfFileHeader h = Ring(B, B + 1000, B + 900, B + 100, B + 1000 + 300);
  Mapped m = Map(h, 50, 400, true);  // 50 older, 100 newer, 250 main
  ASSERT_EQ(m.count, 3);
  EXPECT_EQ(m.offsets[0], B + 950);
  EXPECT_EQ(m.lengths[0], 50u);
  EXPECT_EQ(m.offsets[1], B);
  EXPECT_EQ(m.lengths[1], 100u);
  EXPECT_EQ(m.offsets[2], B + 1000);
  EXPECT_EQ(m.lengths[2], 250u);
  m = Map(h, 150, 1000, true);  // starts in the newer part, cut at the end of main
  ASSERT_EQ(m.count, 2);
  EXPECT_EQ(m.offsets[0], B + 50);
  EXPECT_EQ(m.lengths[0], 50u);
  EXPECT_EQ(m.lengths[1], 300u);
}

TEST(MapRange, UnwrappedAndEqualPointers) {
  const uint64_t B = 0x200000;
  TfFileHeader h = Ring(B, B + 1000, B + 100, B + 400, B + 1000 + 10);
  Mapped m = Map(h, 0, 1000, true);
  ASSERT_EQ(m.count, 2);
  EXPECT_EQ(m.offsets[0], B + 100);
  EXPECT_EQ(m.lengths[0], 300u);
  EXPECT_EQ(m.lengths[1], 10u);
  h = Ring(B, B + 1000, B + 500, B + 500, B + 1000 + 10);  // equal: the ring part is empty here
  m = Map(h, 0, 5, true);
  ASSERT_EQ(m.count, 1);
  EXPECT_EQ(m.offsets[0], B + 1000);
}

}  // namespace
