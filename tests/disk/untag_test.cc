// Taking a bad-range tagging back (df_UntagBadUnit): tagged blocks go back
// to used when they still hold the recordings their channel's count
// accounts for, else to free; blocks that failed an I/O stay bad.
#include "disk/disk_fixture.h"

namespace zrfs::test {
namespace {

class UntagTest : public DiskTest {
 protected:
  void SetUp() override {
    DiskTest::SetUp();
    FormatAndMount();
  }
  // Map states of blocks 0..kBlocks-1: F(ree), U(sed), u (bad unit), b (bad block).
  std::string States() {
    std::string out;
    for (uint32_t blk = 0; blk < kBlocks; ++blk) {
      uint8_t s = Entry().blkMap[blk];
      out += s == kBlkFree ? 'F' : s == kBlkUsed ? 'U' : s == kBlkBadUnit ? 'u' : 'b';
    }
    return out;
  }
  // A block header that says the block holds files of (type, chan).
  void Holds(int blk, uint32_t type, uint32_t chan) {
    Put(BlockAddr(blk), BlkHeader{.inUse = 1, .ichan = chan, .blkType = type, .fileNum = 2});
  }
  int Tag(int first, int count) {
    return df_TagBadUnit(dev_.c_str(), BlockAddr(first), uint32_t(count * kUnit - 1));
  }
  int Untag(int first, int count) {
    return df_UntagBadUnit(dev_.c_str(), BlockAddr(first), uint32_t(count * kUnit - 1));
  }
};

TEST_F(UntagTest, RecordedBlocksGoBackToUseAndTheRestToFree) {
  ASSERT_EQ(Allocate(dev_, 3), 0);  // channel 3's block, counted
  Holds(0, 0, 3);
  Holds(1, 0, 3);  // a free block whose header is left from before the format
  ASSERT_EQ(df_TagBadBlock(kDisk, 3), 0);
  ASSERT_EQ(Tag(0, 4), 0);
  ASSERT_EQ(States(), "uuubFFFF");

  io().Reset();
  EXPECT_EQ(Untag(0, 4), 0);
  EXPECT_EQ(States(), "UFFbFFFF");  // the failed block 3 stays bad
  EXPECT_EQ(io().Writes(), MapOnlyChange());
  EXPECT_EQ(Entry().blkCnt[0][3], 1u);  // counts and current blocks are not touched
  EXPECT_EQ(Entry().curBlk[0][3], 0);
  // Written through: what a new mount reads.
  EXPECT_EQ(uint8_t(Image(MapPlaceA(0), 1)[0]), kBlkUsed);
  EXPECT_EQ(uint8_t(Image(MapPlaceB(1) + 1, 1)[0]), kBlkFree);

  io().Reset();
  EXPECT_EQ(Untag(0, 4), 0);  // nothing tagged any more: nothing written
  EXPECT_TRUE(io().Writes().empty());
}

TEST_F(UntagTest, TheChannelsCurrentBlockWinsOverAStaleHeaderOfTheSameChannel) {
  // Block 0 shows files of channel 5 left from before the format; block 1
  // is channel 5's real block, its current one, counted once.
  Entry().blkMap[1] = kBlkUsed;
  Entry().curBlk[0][5] = 1;
  Entry().blkCnt[0][5] = 1;
  Holds(0, 0, 5);
  Holds(1, 0, 5);
  ASSERT_EQ(Tag(0, 2), 0);
  ASSERT_EQ(States().substr(0, 2), "uu");
  EXPECT_EQ(Untag(0, 2), 0);
  EXPECT_EQ(States().substr(0, 2), "FU");
}

TEST_F(UntagTest, RefusesWhatItCannotDoAndChangesNothing) {
  ASSERT_EQ(Allocate(dev_, 3), 0);
  Holds(0, 0, 3);
  ASSERT_EQ(Tag(0, 2), 0);
  FailReads(BlockAddr(0), BlockAddr(0) + 1);
  io().Reset();
  EXPECT_EQ(Untag(0, 2), -1);  // a header cannot be read
  EXPECT_EQ(States().substr(0, 2), "uu");
  EXPECT_TRUE(io().Writes().empty());
  faults().Clear();

  EXPECT_EQ(df_UntagBadUnit(dev_.c_str(), ImageBytesFor(kBlocks), 1), -1);  // off the device
  EXPECT_EQ(df_UntagBadUnit(nullptr, kDataStart, 1), -1);
  EXPECT_EQ(df_UntagBadUnit(dev_.c_str(), 0x200000, 4096), 0);  // metadata only
  ASSERT_EQ(df_DiskUnmout(dev_.c_str()), 0);
  EXPECT_EQ(Untag(0, 2), -1);  // not ready
  ASSERT_EQ(df_DiskMount(dev_.c_str()), 0);
  EXPECT_EQ(Untag(0, 2), 0);
  EXPECT_EQ(States().substr(0, 2), "UF");
}

}  // namespace
}  // namespace zrfs::test
