#include <vector>

#include <gtest/gtest.h>

#include "block/mounted_image.h"
#include "support/fault_os.h"

namespace {

using namespace zrfs::test;
using zrfs::BlkHeader;
using zrfs::TfFileHeader;

class BlockIoTest : public MountedImage<Layer::kBlock> {
 protected:
  void SetUp() override {
    MountedImage::SetUp();
    ASSERT_NE(h_ = CreateBlockFile(Param(2), &file_), nullptr);
  }
  void TearDown() override {
    if (h_ != nullptr) bf_CloseFile(h_);
  }
  BfHandle *h_ = nullptr;
  TfFileHeader file_;
};

TEST_F(BlockIoTest, WritesAtTheEndOfTheBlock) {
  std::vector<char> page(4096, 'e');
  EXPECT_EQ(bf_Write(kUnit - 4096, page.data(), 4096, h_), 4096);
  EXPECT_EQ(bf_GetErrorNo(h_), 28);  // written, with the warning that the block is full
  EXPECT_EQ(ReadImage(BlockAddress(0) + kUnit - 1, 1), "e");
  EXPECT_EQ(bf_Write(kUnit - 4095, page.data(), 4096, h_), -1);  // one byte too many
  EXPECT_EQ(bf_GetErrorNo(h_), 28);
  EXPECT_EQ(ReadImage(BlockAddress(1), 1), std::string(1, '\0'));  // nothing spilled over
  EXPECT_EQ(bf_Write(0x200000, page.data(), 1000, h_), 1000);
  EXPECT_EQ(bf_GetErrorNo(h_), 0);
}

TEST_F(BlockIoTest, BadArgumentsAreRefusedBeforeAnyTransferAndKeepTheErrorNumber) {
  char buf[16] = {};
  FaultOs faults;
  struct {
    const char *what;
    int result, expected;
  } rows[] = {
      {"write at the block size", bf_Write(uint32_t(kUnit), buf, 10, h_), -1},
      {"write of nothing", bf_Write(0x200000, buf, 0, h_), 0},
      {"write of nothing from null", bf_Write(0x200000, nullptr, 0, h_), 0},
      {"write from null", bf_Write(0x200000, nullptr, 5, h_), -1},
      {"read at the block size", bf_Read(uint32_t(kUnit), buf, 16, h_), -1},
      {"read of nothing", bf_Read(0x200000, buf, 0, h_), -1},
      {"read into null", bf_Read(0x200000, nullptr, 16, h_), -1},
      {"read without a handle", bf_Read(0x200000, buf, 16, nullptr), -1},
  };
  for (const auto &row : rows) EXPECT_EQ(row.result, row.expected) << row.what;
  EXPECT_EQ(faults.Count(Call::kWrite), 0);
  EXPECT_EQ(bf_GetErrorNo(h_), 0);
  EXPECT_EQ(bf_Read(0x200000, buf, 16, h_), 16);
}

TEST_F(BlockIoTest, ReadThatComesShortThenFailsCountsItsBytesAndTagsTheBlock) {
  std::string data(512, 'r');
  ASSERT_EQ(bf_Write(0x300000, data.data(), 512, h_), 512);
  FaultOs faults;
  faults.Add({.call = Call::kRead,
              .pathContains = "host03",
              .nth = 1,
              .fault = Fault::kShort,
              .shortBytes = 100});
  faults.Add({.call = Call::kRead, .pathContains = "host03", .nth = 2});
  char buf[512];
  EXPECT_EQ(bf_Read(0x300000, buf, 512, h_), 100);
  EXPECT_EQ(std::string(buf, 100), data.substr(0, 100));
  EXPECT_EQ(bf_GetErrorNo(h_), 5);
  EXPECT_EQ(MapByte(0), 0xFF);  // reported bad to the disk layer
}

TEST_F(BlockIoTest, AbsentOrUnmountedDiskFailsTransfersWithEio) {
  char buf[100] = {};
  FaultOs faults;
  faults.Add({.call = Call::kPresence, .fault = Fault::kAbsent});
  EXPECT_EQ(bf_Write(0x200000, buf, 100, h_), -1);
  EXPECT_EQ(bf_GetErrorNo(h_), 5);
  faults.Clear();
  ASSERT_EQ(df_DiskUnmout(dev_.c_str()), 0);
  EXPECT_EQ(bf_Write(0x200000, buf, 100, h_), -1);
  EXPECT_EQ(bf_GetErrorNo(h_), 5);
  EXPECT_EQ(bf_Read(0x200000, buf, 100, h_), -1);
  EXPECT_EQ(faults.Count(Call::kWrite) + faults.Count(Call::kRead), 0);
}

// Transfers ask for readiness without the disk's lock, so a mount that
// fails while a block stays attached must keep the disk's image mapped for
// them and the disk not ready until a mount succeeds.
TEST_F(BlockIoTest, AMountThatFailsUnderAnAttachedBlockLeavesItsTransfersFailing) {
  char buf[100] = {};
  ASSERT_EQ(df_DiskUnmout(dev_.c_str()), 0);  // the last one: the next mount reads the disk
  zrfs::DfDiskHeader good = ReadRecord<zrfs::DfDiskHeader>(0x100000);
  zrfs::DfDiskHeader bad = good;
  bad.magic[0] = 'X';
  WriteImage(0x100000, &bad, sizeof bad);
  WriteImage(zrfs::HeaderPlace(1), &bad, sizeof bad);
  EXPECT_EQ(df_DiskMount(dev_.c_str()), -1);
  EXPECT_EQ(df_IsDiskReady(3), -1);
  EXPECT_EQ(bf_Write(0x200000, buf, 100, h_), -1);
  EXPECT_EQ(bf_GetErrorNo(h_), 5);
  EXPECT_EQ(bf_Read(0x200000, buf, 100, h_), -1);

  WriteImage(0x100000, &good, sizeof good);
  WriteImage(zrfs::HeaderPlace(1), &good, sizeof good);
  ASSERT_EQ(df_DiskMount(dev_.c_str()), 0);
  EXPECT_EQ(df_IsDiskReady(3), 0);
  EXPECT_EQ(bf_Write(0x200000, buf, 100, h_), 100);
  EXPECT_EQ(bf_GetErrorNo(h_), 0);
}

// A sync raises the block's append position to the page after the file's
// end, never lowers it, and leaves it alone for a ring not yet fixed.
TEST_F(BlockIoTest, SyncRaisesTheAppendPositionToTheNextPageOnly) {
  TfFileHeader file = file_;
  file.preStart = 0x200000;  // an unfixed ring: the file header alone
  file.preEnd = 0x300000;
  file.EndAddr = 0x280000;
  file.modifyTime = 1800000000;
  ASSERT_EQ(bf_Sync(&file, h_), 0);
  EXPECT_EQ(DiskBlockHeader(0).appendPos, 0x200000);
  EXPECT_EQ(DiskBlockHeader(0).modifyTime, 0);
  EXPECT_EQ(DiskFileHeader(0, 1).EndAddr, 0x280000u);

  file = file_;
  file.EndAddr = 2101249;
  FaultOs faults;
  ASSERT_EQ(bf_Sync(&file, h_), 0);
  EXPECT_EQ(faults.Count(Call::kWrite), 2);
  EXPECT_EQ(DiskBlockHeader(0).appendPos, 2105344);
  EXPECT_EQ(DiskFileHeader(0, 1).EndAddr, 2101249u);
  ASSERT_EQ(bf_Sync(&file, h_), 0);
  EXPECT_EQ(faults.Count(Call::kWrite), 3);  // the file header only
  file.EndAddr = 0x200000 + 100;             // a newer time below the append position
  file.modifyTime = 1900000000;
  ASSERT_EQ(bf_Sync(&file, h_), 0);
  EXPECT_EQ(DiskBlockHeader(0).appendPos, 2105344);
  EXPECT_EQ(DiskBlockHeader(0).modifyTime, 1900000000);
}

// A failure between the two header writes of a sync must never leave a file
// on disk ending beyond its block's append position: the next file of the
// block would start inside its data.
TEST_F(BlockIoTest, FailedSyncNeverLeavesAFileEndingPastTheAppendPosition) {
  for (int failing : {1, 2}) {
    TfFileHeader file = file_;
    file.EndAddr = 0x200000 + 3 * 4096 * uint64_t(failing) + 5;
    FaultOs faults;
    faults.Add({.call = Call::kWrite, .pathContains = "host03", .nth = failing});
    EXPECT_EQ(bf_Sync(&file, h_), -1);
    int64_t appendOnDisk = DiskBlockHeader(0).appendPos;
    EXPECT_LE(DiskFileHeader(0, 1).EndAddr, uint64_t(appendOnDisk)) << "write " << failing;
    h_->share->head.appendPos = appendOnDisk;  // as a fresh process would see it
  }
}

}  // namespace
