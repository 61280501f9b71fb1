// Tagging bad blocks and bad byte ranges: which blocks a range takes, and
// that only the map is written.
#include "disk/disk_fixture.h"

namespace zrfs::test {
namespace {

class BadBlocksTest : public DiskTest {
 protected:
  void SetUp() override {
    DiskTest::SetUp();
    FormatAndMount();
  }
  // Map states of blocks 0..kBlocks-1 and one beyond, as a string of
  // F(ree), U(sed), u (bad unit), b (bad block).
  std::string States() {
    std::string out;
    for (uint32_t blk = 0; blk <= kBlocks; ++blk) {
      uint8_t s = Entry().blkMap[blk];
      out += s == kBlkFree ? 'F' : s == kBlkUsed ? 'U' : s == kBlkBadUnit ? 'u' : 'b';
    }
    return out;
  }
  int Tag(uint64_t offset, uint32_t length) { return df_TagBadUnit(dev_.c_str(), offset, length); }
  bool MapOnlyWritten() {
    std::vector<Transfer> writes = io().Writes();
    if (writes.size() != 4) return false;
    uint64_t expected[] = {MapPlaceA(0), MapPlaceB(0), MapPlaceA(1), MapPlaceB(1)};
    for (int i = 0; i < 4; ++i)
      if (writes[i].offset != expected[i] || writes[i].len != size_t(kMaxBlocks)) return false;
    return true;
  }
};

TEST_F(BadBlocksTest, RangeTagsEveryBlockItTouchesAndTheOneAfterItsEnd) {
  ASSERT_EQ(Allocate(dev_, 0), 0);
  io().Reset();
  EXPECT_EQ(Tag(kDataStart, uint32_t(kUnit)), 0);  // ends exactly on block 1's start
  EXPECT_EQ(States(), "uuFFFFF");                  // used and free alike
  EXPECT_TRUE(MapOnlyWritten());
  EXPECT_EQ(Entry().blkCnt[0][0], 1u);  // counts and tables stay
  EXPECT_EQ(Entry().curBlk[0][0], 0);

  EXPECT_EQ(Tag(BlockAddr(3) + 100, 10), 0);  // inside one block
  EXPECT_EQ(States(), "uuFuFFF");
  EXPECT_EQ(Tag(BlockAddr(4) - 1, 1), 0);  // the last byte of block 3 takes block 4 too
  EXPECT_EQ(States(), "uuFuuFF");
}

TEST_F(BadBlocksTest, RangeStartingInTheMetadataOrRunningPastTheLastBlockIsClipped) {
  EXPECT_EQ(Tag(kDataStart - 4096, 8192), 0);
  EXPECT_EQ(States(), "uFFFFFF");
  EXPECT_EQ(Tag(BlockAddr(5), UINT32_MAX), 0);  // beyond dataEnd: up to the last block
  EXPECT_EQ(States(), "uFFFFuF");               // the byte after the last block stays free
}

TEST_F(BadBlocksTest, RangesThatChangeNothingWriteNothing) {
  io().Reset();
  EXPECT_EQ(Tag(0x200000, 4096), 0);            // wholly in the metadata
  EXPECT_EQ(Tag(kDataStart - 100, 100), 0);     // ends where the data area starts
  EXPECT_EQ(Tag(BlockAddr(kBlocks), 4096), 0);  // the spare unit after the blocks
  ASSERT_EQ(df_TagBadBlock(kDisk, 2), 0);
  io().Reset();
  EXPECT_EQ(Tag(BlockAddr(2) + 5, 5), 0);  // already bad
  EXPECT_TRUE(io().Writes().empty());
  EXPECT_EQ(States(), "FFbFFFF");  // a bad block keeps its own state
}

TEST_F(BadBlocksTest, RangeAtOrBeyondTheDeviceEndOrOnADiskNotReadyIsRefused) {
  uint64_t deviceEnd = ImageBytesFor(kBlocks);
  EXPECT_EQ(Tag(deviceEnd, 1), -1);
  EXPECT_EQ(Tag(deviceEnd + 12345, 1), -1);
  EXPECT_EQ(Tag(deviceEnd - 1, 1), 0);  // inside the device, beyond the blocks
  EXPECT_EQ(df_TagBadUnit(nullptr, kDataStart, 1), -1);
  EXPECT_EQ(df_TagBadUnit("/dev/scsi/host24/part1", kDataStart, 1), -1);
  ASSERT_EQ(df_DiskUnmout(dev_.c_str()), 0);
  EXPECT_EQ(Tag(kDataStart, 1), -1);
}

TEST_F(BadBlocksTest, BadBlockLeavesTheUsedCountsAndTheBlockList) {
  ASSERT_EQ(Allocate(dev_, 0), 0);
  ASSERT_EQ(Allocate(dev_, 1), 1);
  DfBlockInfo info[4];
  ASSERT_EQ(df_GetBlockInfo(dev_.c_str(), info, 4), 2);
  io().Reset();
  ASSERT_EQ(df_TagBadBlock(kDisk, 0), 0);
  EXPECT_TRUE(MapOnlyWritten());
  ASSERT_EQ(df_GetBlockInfo(dev_.c_str(), info, 4), 1);
  EXPECT_EQ(info[0].blkid, 1u);
  char dump[512];
  df_GetDebugInfo(dump, sizeof dump);
  EXPECT_TRUE(strstr(dump, "\t6\t1\t1\n") != nullptr) << dump;  // tolblk, useblk, badblk
}

TEST_F(BadBlocksTest, TagBadBlockChecksItsArgumentsAndNeedsOneCopy) {
  EXPECT_EQ(df_TagBadBlock(kDisk, -1), -1);
  EXPECT_EQ(df_TagBadBlock(kDisk, kBlocks), -1);
  EXPECT_EQ(df_TagBadBlock(kDisk, 0x20000), -1);
  EXPECT_EQ(df_TagBadBlock(24, 0), -1);
  EXPECT_EQ(df_TagBadBlock(5, 0), -1);  // no image attached
  EXPECT_EQ(States(), "FFFFFFF");

  faults().Add({.call = Call::kWrite,
                .pathContains = "host03",
                .fromOffset = CopyBase(0),
                .toOffset = CopyBase(1)});
  EXPECT_EQ(df_TagBadBlock(kDisk, 1), 0);  // copy 1 took it
  faults().Add({.call = Call::kWrite,
                .pathContains = "host03",
                .fromOffset = CopyBase(1),
                .toOffset = CopyBase(2)});
  EXPECT_EQ(df_TagBadBlock(kDisk, 2), -1);
  EXPECT_EQ(States(), "FbbFFFF");  // the image stays tagged
}

}  // namespace
}  // namespace zrfs::test
