// Bad-block tagging and the statistics that follow the map: statfs, the
// used-block list, the space of a (channel, type).
#include "disk/disk_fixture.h"

namespace zrfs::test {
namespace {

class StatisticsTest : public DiskTest {
 protected:
  void SetUp() override {
    DiskTest::SetUp();
    FormatAndMount();
    io().Reset();
  }
  // Map states of blocks 0..kBlocks (one beyond): F(ree), U(sed), u (bad
  // unit), b (bad block).
  std::string States() {
    std::string out;
    for (uint32_t blk = 0; blk <= kBlocks; ++blk) out += "FUub"[Index(Entry().blkMap[blk])];
    return out;
  }
  static int Index(uint8_t s) {
    return s == kBlkFree ? 0 : s == kBlkUsed ? 1 : s == kBlkBadUnit ? 2 : 3;
  }
  int Tag(uint64_t offset, uint32_t length) { return df_TagBadUnit(dev_.c_str(), offset, length); }
};

TEST_F(StatisticsTest, RangeTagsEveryBlockItTouchesAndWritesOnlyTheMap) {
  ASSERT_EQ(Allocate(dev_, 0), 0);
  io().Reset();
  EXPECT_EQ(Tag(kDataStart, uint32_t(kUnit)), 0);  // ends on block 1's first byte: block 1 too
  EXPECT_EQ(States(), "uuFFFFFFF");
  EXPECT_EQ(io().Writes(), MapOnlyChange());
  EXPECT_EQ(Entry().curBlk[0][0], 0);  // tables and counts stay
  EXPECT_EQ(Entry().blkCnt[0][0], 1u);
  EXPECT_EQ(Tag(BlockAddr(4) - 1, 1), 0);       // the last byte of block 3
  EXPECT_EQ(Tag(BlockAddr(7), UINT32_MAX), 0);  // clipped at the last block
  EXPECT_EQ(States(), "uuFuuFFuF");

  ASSERT_EQ(df_TagBadBlock(kDisk, 5), 0);
  io().Reset();
  EXPECT_EQ(Tag(0x200000, 4096), 0);         // metadata only
  EXPECT_EQ(Tag(kDataStart - 100, 100), 0);  // ends where the blocks start
  EXPECT_EQ(Tag(BlockAddr(kBlocks), 1), 0);  // the spare unit
  EXPECT_EQ(Tag(BlockAddr(5) + 9, 9), 0);    // already bad
  EXPECT_TRUE(io().Writes().empty());
  EXPECT_EQ(States(), "uuFuubFuF");
  EXPECT_EQ(Tag(ImageBytesFor(kBlocks), 1), -1);  // at the device's end
  ASSERT_EQ(df_DiskUnmout(dev_.c_str()), 0);
  EXPECT_EQ(Tag(kDataStart, 1), -1);  // not ready
}

TEST_F(StatisticsTest, StatisticsFollowTheMapAndTheBlockHeaders) {
  io().fakeDeviceBytes = 2000398934016;  // a 2 TB disk
  ASSERT_EQ(df_DiskFormat(dev_.c_str()), 0);
  ASSERT_EQ(df_DiskUnmout(dev_.c_str()), 0);
  ASSERT_EQ(df_DiskMount(dev_.c_str()), 0);
  unsigned char raw[40];
  memset(raw, 0xEE, sizeof raw);
  auto *fs = reinterpret_cast<DfStatfs *>(raw);
  ASSERT_EQ(df_DiskStatfs(dev_.c_str(), fs), 0);
  EXPECT_EQ(memcmp(raw, "SFRZ", 4), 0);  // "ZRFS" as a big-endian number
  EXPECT_EQ(fs->f_bsize, 512u);
  EXPECT_EQ(fs->f_blocks, 3902799872u);
  EXPECT_EQ(fs->f_bavail, 3902799872u);
  EXPECT_EQ(raw[32], 0xEE);

  for (uint32_t chan = 0; chan < 4; ++chan) ASSERT_EQ(Allocate(dev_, chan, 3), int32_t(chan));
  Entry().curBlk[1][3] = -1;
  ASSERT_EQ(Allocate(dev_, 3, 3), 4);  // channel 3, data type 3 (block type 1): 2 blocks
  ASSERT_EQ(df_TagBadBlock(kDisk, 1), 0);
  ASSERT_EQ(df_DiskStatfs(dev_.c_str(), fs), 0);
  EXPECT_EQ(fs->f_bfree, 3902799872u - 5 * 2097152u);  // used and bad are not free
  EXPECT_EQ(df_GetBlockNumOfDataType(dev_.c_str(), 3, 3), 2048);
  EXPECT_EQ(df_GetBlockNumOfDataType(dev_.c_str(), 3, 0), 0);
  EXPECT_EQ(df_GetBlockNumOfDataType(dev_.c_str(), 16, 3), -1);  // channels 0..15 only
  EXPECT_EQ(df_GetDiskUsedBlockNum(dev_.c_str()), 1861);

  Put(BlockAddr(0), BlkHeader{.createTime = 1700000000, .fileNum = 3});
  Put(BlockAddr(2), BlkHeader{.createTime = -5, .fileNum = 4095});
  DfBlockInfo info[8];
  memset(info, 0xEE, sizeof info);
  io().Reset();
  ASSERT_EQ(df_GetBlockInfo(dev_.c_str(), info, 8), 4);  // the bad block 1 is left out
  EXPECT_EQ(io().Reads().size(), 4u);
  EXPECT_EQ(info[0].blkid, 0u);
  EXPECT_EQ(info[0].createTime, 1700000000u);
  EXPECT_EQ(info[0].fileNum, 3u);
  EXPECT_EQ(info[1].blkid, 2u);
  EXPECT_EQ(int64_t(info[1].createTime), -5);
  EXPECT_EQ(info[1].fileNum, 4095u);
  EXPECT_EQ(info[3].blkid, 4u);
  EXPECT_EQ(info[0].reserved0, 0xEEEEEEEEu);  // padding is not written
  EXPECT_EQ(df_GetBlockInfo(dev_.c_str(), info, 2), 2);
  EXPECT_EQ(df_GetBlockInfo(dev_.c_str(), info, 0), -1);
  FailReads(BlockAddr(3), BlockAddr(3) + 1);
  EXPECT_EQ(df_GetBlockInfo(dev_.c_str(), info, 8), -1);

  ASSERT_EQ(df_DiskUnmout(dev_.c_str()), 0);
  EXPECT_EQ(df_DiskStatfs(dev_.c_str(), fs), -1);
  EXPECT_EQ(df_GetBlockNumOfDataType(dev_.c_str(), 3, 3), -1);
  EXPECT_EQ(df_GetDiskUsedBlockNum(dev_.c_str()), 0);
}

}  // namespace
}  // namespace zrfs::test
