// The rules every part of the system judges and measures a record file's
// header by: the library's status, the checker and the tool all use them.
#include "format/record_header.h"

#include <gtest/gtest.h>

namespace zrfs {
namespace {

constexpr uint64_t kRing = 0x200000;     // preStart
constexpr uint64_t kRingEnd = 0x300000;  // preEnd: a 1 MiB ring
constexpr uint64_t kMain = 0x400000;     // StartAddr of the main part

TfFileHeader RingFile(uint64_t startPtr, uint64_t endPtr, uint64_t mainBytes) {
  TfFileHeader h{};
  h.preStart = kRing;
  h.preEnd = kRingEnd;
  h.preRecStartPtr = startPtr;
  h.preRecEndPtr = endPtr;
  h.StartAddr = kMain;
  h.EndAddr = kMain + mainBytes;
  return h;
}

TEST(RecordHeaderTest, LogicalSizeOfEveryRingState) {
  TfFileHeader plain{};
  plain.StartAddr = kMain;
  plain.EndAddr = kMain + 1234;
  EXPECT_FALSE(RingNotFixed(plain));
  EXPECT_EQ(RecordLogicalSize(plain), 1234);

  // Not fixed yet: the bytes recorded from the ring's start.
  TfFileHeader open{};
  open.preStart = kRing;
  open.preEnd = kRingEnd;
  open.EndAddr = kRing + 5000;
  EXPECT_TRUE(RingNotFixed(open));
  EXPECT_EQ(RecordLogicalSize(open), 5000);

  EXPECT_EQ(RecordLogicalSize(RingFile(kRing + 100, kRing + 600, 10)), 510);  // in order
  // Wrapped: from the oldest byte to the ring's end, then from its start.
  EXPECT_EQ(RecordLogicalSize(RingFile(kRing + 600, kRing + 100, 10)),
            int64_t(kRingEnd - kRing - 500 + 10));
  // Equal pointers: the ring is full, whatever point it was fixed at.
  for (uint64_t at : {kRing, kRing + 4096, kRingEnd - 1})
    EXPECT_EQ(RecordLogicalSize(RingFile(at, at, 10)), int64_t(kRingEnd - kRing + 10)) << at;
}

TEST(RecordHeaderTest, ASectorHoldsTheFileOfItsOwnNumberWithTheMagicInAnyCase) {
  TfFileHeader h{};
  h.fileNo = 7;
  memcpy(h.magic, "ZRND", 4);
  EXPECT_TRUE(HoldsFile(h, 7));
  EXPECT_FALSE(HoldsFile(h, 8));
  memcpy(h.magic, "zrnd", 4);
  EXPECT_TRUE(HoldsFile(h, 7));
  memset(h.magic, 0, 4);  // a removed file keeps only its number
  EXPECT_FALSE(HoldsFile(h, 7));
}

}  // namespace
}  // namespace zrfs
