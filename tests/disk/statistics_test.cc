// Disk statistics and the disk section of the diagnostic dump.
#include <string>

#include "disk/disk_fixture.h"

namespace zrfs::test {
namespace {

class StatisticsTest : public DiskTest {
 protected:
  void SetUp() override {
    DiskTest::SetUp();
    FormatAndMount();
  }
  void PutBlockHeader(int blk, int64_t createTime, uint32_t fileNum) {
    BlkHeader h{};
    h.createTime = createTime;
    h.fileNum = fileNum;
    WriteImage(root_, dev_, BlockAddr(blk), &h, sizeof h);
  }
};

TEST_F(StatisticsTest, StatfsOfATwoTerabyteDisk) {
  io().ReportDeviceBytes(2000398934016);
  ASSERT_EQ(df_DiskFormat(dev_.c_str()), 0);
  ASSERT_EQ(df_DiskUnmout(dev_.c_str()), 0);
  ASSERT_EQ(df_DiskMount(dev_.c_str()), 0);
  unsigned char raw[40];
  memset(raw, 0xEE, sizeof raw);
  auto *out = reinterpret_cast<DfStatfs *>(raw);
  ASSERT_EQ(df_DiskStatfs(dev_.c_str(), out), 0);
  EXPECT_EQ(memcmp(raw, "SFRZ", 4), 0);  // "ZRFS" as a big-endian number
  EXPECT_EQ(out->f_bsize, 512u);
  EXPECT_EQ(out->f_blocks, 3902799872u);
  EXPECT_EQ(out->f_bfree, 3902799872u);
  EXPECT_EQ(out->f_bavail, 3902799872u);
  EXPECT_EQ(raw[32], 0xEE);  // a larger record keeps the rest

  ASSERT_EQ(Allocate(dev_, 0), 0);
  ASSERT_EQ(df_TagBadBlock(kDisk, 1), 0);
  ASSERT_EQ(df_DiskStatfs(dev_.c_str(), out), 0);
  EXPECT_EQ(out->f_blocks, 3902799872u);
  EXPECT_EQ(out->f_bfree, 3902799872u - 2 * 2097152u);  // used and bad are not free
}

TEST_F(StatisticsTest, StatfsNeedsAReadyDisk) {
  DfStatfs out;
  EXPECT_EQ(df_DiskStatfs(dev_.c_str(), nullptr), -1);
  EXPECT_EQ(df_DiskStatfs(nullptr, &out), -1);
  EXPECT_EQ(df_DiskStatfs("/dev/scsi/host24/part1", &out), -1);
  ASSERT_EQ(df_DiskUnmout(dev_.c_str()), 0);
  EXPECT_EQ(df_DiskStatfs(dev_.c_str(), &out), -1);
}

TEST_F(StatisticsTest, BlockListNamesUsedBlocksWithTheirHeaders) {
  DfBlockInfo info[8];
  EXPECT_EQ(df_GetBlockInfo(dev_.c_str(), info, 8), -1);  // none used
  for (uint32_t chan = 0; chan < 4; ++chan) ASSERT_EQ(Allocate(dev_, chan), int32_t(chan));
  ASSERT_EQ(df_TagBadBlock(kDisk, 1), 0);
  PutBlockHeader(0, 1700000000, 3);
  PutBlockHeader(2, -5, 4095);
  PutBlockHeader(3, 42, 1);
  memset(info, 0xEE, sizeof info);
  io().Reset();
  ASSERT_EQ(df_GetBlockInfo(dev_.c_str(), info, 8), 3);
  EXPECT_EQ(io().Reads().size(), 3u);  // one sector per used block
  EXPECT_EQ(info[0].blkid, 0u);
  EXPECT_EQ(info[0].createTime, 1700000000u);
  EXPECT_EQ(info[0].fileNum, 3u);
  EXPECT_EQ(info[1].blkid, 2u);
  EXPECT_EQ(int64_t(info[1].createTime), -5);
  EXPECT_EQ(info[1].fileNum, 4095u);
  EXPECT_EQ(info[2].blkid, 3u);
  EXPECT_EQ(info[0].reserved0, 0xEEEEEEEEu);  // padding is not written
  EXPECT_EQ(info[3].blkid, 0xEEEEEEEEu);

  EXPECT_EQ(df_GetBlockInfo(dev_.c_str(), info, 2), 2);
  EXPECT_EQ(info[1].blkid, 2u);
  EXPECT_EQ(df_GetBlockInfo(dev_.c_str(), info, 0), -1);
  EXPECT_EQ(df_GetBlockInfo(dev_.c_str(), info, -3), -1);
  EXPECT_EQ(df_GetBlockInfo(nullptr, info, 8), -1);
  EXPECT_EQ(df_GetBlockInfo(dev_.c_str(), nullptr, 8), -1);
  EXPECT_EQ(df_GetBlockInfo("/dev/scsi/host09/part1", info, 8), -1);

  faults().Add({.call = Call::kRead,
                .pathContains = "host03",
                .fromOffset = BlockAddr(3),
                .toOffset = BlockAddr(3) + 1});
  EXPECT_EQ(df_GetBlockInfo(dev_.c_str(), info, 8), -1);  // one unreadable header spoils all
}

TEST_F(StatisticsTest, SpaceOfAChannelAndDataTypeInMebibytes) {
  EXPECT_EQ(Allocate(dev_, 3, 3), 0);  // data type 3 counts under block type 1
  Entry().curBlk[1][3] = -1;           // force a second block for the pair
  EXPECT_EQ(Allocate(dev_, 3, 3), 1);
  EXPECT_EQ(df_GetBlockNumOfDataType(dev_.c_str(), 3, 3), 2048);
  EXPECT_EQ(df_GetBlockNumOfDataType(dev_.c_str(), 3, 0), 0);
  EXPECT_EQ(df_GetBlockNumOfDataType(dev_.c_str(), 15, 3), 0);
  EXPECT_EQ(df_GetBlockNumOfDataType(dev_.c_str(), 16, 3), -1);  // only channels 0..15
  EXPECT_EQ(df_GetBlockNumOfDataType(dev_.c_str(), 1024, 3), -1);
  EXPECT_EQ(df_GetBlockNumOfDataType(dev_.c_str(), 3, -1), -1);
  EXPECT_EQ(df_GetBlockNumOfDataType(nullptr, 3, 3), -1);
  EXPECT_EQ(df_GetBlockNumOfDataType("/dev/scsi/host30/part1", 3, 3), -1);
  EXPECT_EQ(df_GetDiskUsedBlockNum(dev_.c_str()), int(kBlocks));
  EXPECT_EQ(df_GetDiskUsedBlockNum(nullptr), 0);
  EXPECT_EQ(df_GetDiskUsedBlockNum("/dev/scsi/host08/part1"), 0);

  ASSERT_EQ(df_DiskUnmout(dev_.c_str()), 0);
  EXPECT_EQ(df_GetBlockNumOfDataType(dev_.c_str(), 3, 3), -1);
  EXPECT_EQ(df_GetDiskUsedBlockNum(dev_.c_str()), 0);
}

TEST_F(StatisticsTest, DumpShowsOneLinePerAttachedDisk) {
  const std::string title =
      "===========ZRDISK============"
      "\nid\tfd\tmapIndex\tstat\tmounted\tver\ttolblk\tuseblk\tbadblk\n";
  ASSERT_EQ(Allocate(dev_, 0), 0);
  ASSERT_EQ(Allocate(dev_, 1), 1);
  ASSERT_EQ(df_TagBadBlock(kDisk, 4), 0);
  ASSERT_EQ(df_TagBadUnit(dev_.c_str(), BlockAddr(5), 1), 0);

  // A second disk, formatted here but never mounted.
  std::string other = root_.MakeImage(TestRoot::DevicePath(12), ImageBytesFor(2));
  ASSERT_EQ(df_DiskFormat(other.c_str()), 0);

  char buf[4096];
  int fd = g_dfDiskTable[3].fd;
  std::string expected = title + "3\t" + std::to_string(fd) + "\t0\t\t0\t1\t2\t6\t2\t2\n" +
                         "12\t-1\t0\t\t1\t0\t2\t2\t0\t0\n";
  ASSERT_EQ(df_GetDebugInfo(buf, sizeof buf), int(expected.size()));
  EXPECT_EQ(std::string(buf), expected);

  // Cut short: the count is what the text would have had.
  char small[120];
  EXPECT_EQ(df_GetDebugInfo(small, sizeof small), int(expected.size()));
  EXPECT_EQ(std::string(small), expected.substr(0, sizeof small - 1));
  std::string firstLine = expected.substr(0, expected.find("12\t"));
  EXPECT_EQ(df_GetDebugInfo(small, 100), int(firstLine.size()));  // stops at the cut line
  EXPECT_EQ(std::string(small), expected.substr(0, 99));
  memset(small, 'x', sizeof small);
  EXPECT_EQ(df_GetDebugInfo(small, 99), 0);
  EXPECT_EQ(small[0], 'x');
  EXPECT_EQ(df_GetDebugInfo(nullptr, 4096), 0);
}

}  // namespace
}  // namespace zrfs::test
