#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "block/mounted_image.h"

namespace {

using namespace zrfs::test;
using zrfs::BlkHeader;
using zrfs::TfFileHeader;

class UnlinkStatTest : public MountedImage<Layer::kBlock> {
 protected:
  // Creates n files on channel 6 (one block) and closes them.
  std::vector<std::string> MakeFiles(int n) {
    std::vector<std::string> names;
    for (int i = 0; i < n; ++i) {
      TfFileHeader file;
      BfHandle *h = CreateBlockFile(Param(6), &file, &names.emplace_back());
      EXPECT_NE(h, nullptr);
      bf_CloseFile(h);
    }
    return names;
  }
};

TEST_F(UnlinkStatTest, RemovingFilesKeepsTheBlockAndItsNumbersUntilTheLastGivesItBack) {
  std::vector<std::string> names = MakeFiles(3);
  EXPECT_EQ(bf_Unlink(names[1].c_str()), 0);
  EXPECT_EQ(MapByte(0), 1);
  BlkHeader block = DiskBlockHeader(0);
  EXPECT_EQ(block.fileNum, 2u);
  EXPECT_EQ(block.lastFileNo, 3u);
  TfFileHeader slot = DiskFileHeader(0, 2);
  EXPECT_EQ(slot.fileNo, 2u);  // the slot keeps only its number
  TfFileHeader zero{};
  zero.fileNo = 2;
  EXPECT_EQ(memcmp(&slot, &zero, sizeof slot), 0);
  EXPECT_EQ(bf_Unlink(names[1].c_str()), -1);
  EXPECT_EQ(bf_GetBlockFileNum(dev_.c_str(), 0), 2);
  EXPECT_EQ(bf_GetBlockFileNum("/dev/sda", 0), 0);
  EXPECT_EQ(bf_GetBlockFileNum(nullptr, 0), 0);
  EXPECT_EQ(bf_GetBlockFileNum(dev_.c_str(), 4), 0);  // beyond the disk

  for (int i : {0, 2}) EXPECT_EQ(bf_Unlink(names[size_t(i)].c_str()), 0);
  EXPECT_EQ(MapByte(0), 0);  // the last file gave the block back
  EXPECT_EQ(ReadImage(BlockAddress(0), 0x200000), std::string(0x200000, '\0'));
  EXPECT_EQ(bf_Unlink(names[0].c_str()), -1);  // gone: no tag to match
  EXPECT_EQ(OpenBlockHandles(), 0);
}

TEST_F(UnlinkStatTest, NamesWithImpossibleFileNumbersTouchNothing) {
  std::vector<std::string> names = MakeFiles(1);
  std::string data(4096, 'v');
  TfFileHeader file;
  BfHandle *h = bf_OpenFile(names[0].c_str(), &file);
  ASSERT_NE(h, nullptr);
  ASSERT_EQ(bf_Write(0x200000, data.data(), 4096, h), 4096);
  bf_CloseFile(h);
  std::string before = ReadImage(BlockAddress(0), 0x201000);
  for (const char *fileNo : {"0000", "1000", "FFFF"}) {
    std::string crafted = names[0];
    crafted.replace(8, 4, fileNo);
    EXPECT_EQ(bf_Unlink(crafted.c_str()), -1) << crafted;
    EXPECT_EQ(bf_OpenFile(crafted.c_str(), &file), nullptr) << crafted;
  }
  EXPECT_EQ(ReadImage(BlockAddress(0), 0x201000), before);
  EXPECT_EQ(OpenBlockHandles(), 0);
}

TEST_F(UnlinkStatTest, BlockStatListsFilesInSlotOrderUpToTheRoom) {
  std::vector<std::string> names = MakeFiles(5);
  ASSERT_EQ(bf_Unlink(names[2].c_str()), 0);
  TfFileStat st[10];
  memset(st, 0xAB, sizeof st);
  EXPECT_EQ(bf_BlockStat(dev_.c_str(), 0, st, 2), 2);
  EXPECT_EQ(st[0].filename, names[0]);
  EXPECT_EQ(st[1].filename, names[1]);
  EXPECT_EQ(st[2].st_size, int64_t(0xABABABABABABABABull));  // untouched
  EXPECT_EQ(bf_BlockStat(dev_.c_str(), 0, st, 10), 4);
  EXPECT_EQ(st[2].filename, names[3]);
  EXPECT_EQ(st[3].filename, names[4]);
  EXPECT_EQ(st[3].ichan, 6u);
  EXPECT_EQ(st[3].recType, 7);
  EXPECT_EQ(st[3].createTime, 1700000000);
  EXPECT_EQ(st[3].st_dev, 0xABABABABABABABABull);  // stat64 fields that are not filled
  EXPECT_EQ(bf_BlockStat(dev_.c_str(), 0, st, 0), 0);
  EXPECT_EQ(MapByte(0), 1);  // room for none is not an empty block
  EXPECT_EQ(bf_BlockStat(nullptr, 0, st, 1), -1);
  EXPECT_EQ(bf_BlockStat(dev_.c_str(), 0, nullptr, 1), -1);
  EXPECT_EQ(bf_BlockStat(dev_.c_str(), -1, st, 1), -1);
  EXPECT_EQ(bf_BlockStat(dev_.c_str(), 4, st, 1), -1);
}

TEST_F(UnlinkStatTest, BlockStatReportsTheLogicalSizeOfAWrappedRing) {
  std::vector<std::string> names = MakeFiles(1);
  TfFileHeader file = DiskFileHeader(0, 1);
  file.preStart = 3145728;
  file.preEnd = 4194304;
  file.preRecStartPtr = 3670016;
  file.preRecEndPtr = 3407872;
  file.StartAddr = 4194304;
  file.EndAddr = 5242880;
  file.modifyTime = 0x1'2345'6789;
  WriteImage(BlockAddress(0) + 512, &file, sizeof file);
  TfFileStat st;
  ASSERT_EQ(bf_BlockStat(dev_.c_str(), 0, &st, 1), 1);
  EXPECT_EQ(st.st_size, 1835008);
  EXPECT_EQ(st.st_blocks, 3584);
  EXPECT_EQ(st.st_mtim.tv_sec, 0x23456789);
  EXPECT_EQ(st.st_ctim.tv_sec, 0x23456789);
}

TEST_F(UnlinkStatTest, BlockInUseWithoutFileHeadersIsGivenBack) {
  std::vector<std::string> names = MakeFiles(2);
  std::vector<char> zeros(2 * 512, 0);
  WriteImage(BlockAddress(0) + 512, zeros.data(), zeros.size());  // both headers lost
  TfFileStat st[4];
  EXPECT_EQ(bf_BlockStat(dev_.c_str(), 0, st, 4), 0);
  EXPECT_EQ(MapByte(0), 0);

  // A block whose header says it holds no file is left alone.
  std::vector<std::string> more = MakeFiles(1);
  ASSERT_EQ(MapByte(0), 1);
  BlkHeader block = DiskBlockHeader(0);
  block.fileNum = 0;
  WriteImage(BlockAddress(0), &block, sizeof block);
  WriteImage(BlockAddress(0) + 512, zeros.data(), 512);
  EXPECT_EQ(bf_BlockStat(dev_.c_str(), 0, st, 4), 0);
  EXPECT_EQ(MapByte(0), 1);
}

TEST(HeaderScanBuffer, IsMadeOnceWhenThreadsAskTogether) {
  std::vector<std::thread> threads;
  std::vector<uint8_t *> got(8);
  for (int i = 0; i < 8; ++i) threads.emplace_back([&, i] { got[i] = zrfs::HeaderScanBuffer(); });
  for (auto &t : threads) t.join();
  for (uint8_t *p : got) EXPECT_EQ(p, got[0]);
  EXPECT_NE(got[0], nullptr);
}

}  // namespace
