#include <sys/mman.h>

#include <atomic>
#include <chrono>

#include <gtest/gtest.h>

#include "block_fixture.h"
#include "support/processes.h"

namespace {

using namespace std::chrono_literals;
using zrfs::BlkHeader;
using zrfs::TfFileHeader;
using zrfs::test::BlockTest;
using zrfs::test::kDataStart;
using zrfs::test::kUnit;

using CreateTest = BlockTest;

TEST_F(CreateTest, FirstFileOfAFreshBlockSetsUpTheBlockHeader) {
  std::string name;
  TfFileHeader file;
  BfHandle *h = Create(Param(5, 0, "mp4"), &name, &file);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(name.size(), 27u);
  EXPECT_EQ(name.substr(0, 12), "H30000000001");
  EXPECT_EQ(name.substr(16), "0000C00.mp4");
  EXPECT_EQ(name.substr(12, 4), std::string(file.tag, 4));

  TfFileHeader onDisk = DiskFileHeader(0, 1);
  EXPECT_EQ(memcmp(&onDisk, &file, sizeof file), 0);
  EXPECT_EQ(memcmp(onDisk.magic, "ZRND", 4), 0);
  EXPECT_EQ(onDisk.fileNo, 1u);
  EXPECT_STREQ(onDisk.extName, "mp4");
  EXPECT_EQ(onDisk.ichan, 5u);
  EXPECT_EQ(onDisk.createTime, 1700000000);
  EXPECT_EQ(onDisk.recType, 7);
  EXPECT_EQ(onDisk.StartAddr, 0x200000u);
  EXPECT_EQ(onDisk.EndAddr, 0x200000u);
  EXPECT_EQ(onDisk.lockFlag, 0u);

  BlkHeader block = DiskBlockHeader(0);
  EXPECT_EQ(block.hdrAreaSize, 0x200000u);
  EXPECT_EQ(block.inUse, 1u);
  EXPECT_EQ(block.createTime, 1700000000);
  EXPECT_EQ(block.dataOffset, 0x200000);
  EXPECT_EQ(block.appendPos, 0x200000);
  EXPECT_EQ(block.fileNum, 1u);
  EXPECT_EQ(block.lastFileNo, 1u);
  EXPECT_EQ(block.ichan, 5u);
  EXPECT_EQ(bf_CloseFile(h), 0);
}

TEST_F(CreateTest, LaterFilesTakeTheNextNumberAndLeaveTheBlockStart) {
  TfFileHeader file;
  BfHandle *first = Create(Param(5), nullptr, &file);
  ASSERT_NE(first, nullptr);
  // A block that has lost files on the way: 7 handed out, 3 left.
  first->share->head.lastFileNo = 7;
  first->share->head.fileNum = 3;
  FileCreateParam later = Param(5, 7);  // kind 7 counts in block type 0, as kind 0 does
  later.createTime = 1800000000;
  std::string name;
  BfHandle *second = Create(later, &name, &file);
  ASSERT_EQ(second, first);  // same block, same handle
  EXPECT_EQ(first->InRef, 2);
  EXPECT_EQ(file.fileNo, 8u);
  EXPECT_EQ(name.substr(8, 4), "0008");
  BlkHeader block = DiskBlockHeader(0);
  EXPECT_EQ(block.fileNum, 4u);
  EXPECT_EQ(block.lastFileNo, 8u);
  EXPECT_EQ(block.createTime, 1700000000);  // from the block's first file
  EXPECT_EQ(block.hdrAreaSize, 0x200000u);
  EXPECT_EQ(block.blkType, 0u);
  bf_CloseFile(second);
  bf_CloseFile(first);
  EXPECT_EQ(OpenHandles(), 0);
}

TEST_F(CreateTest, KindDecidesWhereTheDataGoes) {
  TfFileHeader ring, locked, plain;
  std::string lockedName;
  BfHandle *a = Create(Param(1, 1, "ts", 65536), nullptr, &ring);
  BfHandle *b = Create(Param(2, 2, "ts"), &lockedName, &locked);
  BfHandle *c = Create(Param(3, 6, "a-very-long-extension"), nullptr, &plain);
  ASSERT_TRUE(a && b && c);
  EXPECT_EQ(ring.preStart, 0x200000u);
  EXPECT_EQ(ring.preEnd, 0x200000u + 65536);
  EXPECT_EQ(ring.StartAddr, 0u);
  EXPECT_EQ(ring.EndAddr, 0u);
  EXPECT_EQ(locked.lockFlag, 2u);
  EXPECT_EQ(lockedName.substr(16, 8), "0000B00.");
  EXPECT_EQ(locked.StartAddr, 0x200000u);
  EXPECT_EQ(std::string(plain.extName), "a-very-");  // 7 characters in the header
  bf_CloseFile(a);
  bf_CloseFile(b);
  bf_CloseFile(c);
}

TEST_F(CreateTest, ChannelsGetBlocksOfTheirOwn) {
  TfFileHeader file;
  BfHandle *a = Create(Param(1), nullptr, &file);
  BfHandle *b = Create(Param(2), nullptr, &file);
  ASSERT_TRUE(a && b);
  EXPECT_EQ(a->share->blkid, 0);
  EXPECT_EQ(b->share->blkid, 1);
  EXPECT_EQ(b->share->blkaddr, int64_t(kDataStart + kUnit));
  bf_CloseFile(a);
  bf_CloseFile(b);
}

TEST_F(CreateTest, OpenFindsTheFileByNameWhateverTheTagCase) {
  std::string name;
  TfFileHeader made, opened;
  BfHandle *h = Create(Param(4), &name, &made);
  ASSERT_NE(h, nullptr);
  for (char &c : name) c = char(tolower(c));
  BfHandle *again = bf_OpenFile(name.c_str(), &opened);
  ASSERT_EQ(again, h);
  EXPECT_EQ(h->InRef, 2);
  EXPECT_EQ(h->share->ShrRef, 2);
  EXPECT_EQ(memcmp(&made, &opened, sizeof made), 0);
  bf_CloseFile(again);
  bf_CloseFile(h);
  EXPECT_EQ(OpenHandles(), 0);
  EXPECT_EQ(bf_CloseFile(nullptr), -1);
  EXPECT_EQ(bf_GetErrorNo(nullptr), 0);
  EXPECT_EQ(bf_UnInit(), 0);
}

TEST_F(CreateTest, OpenRefusesWrongNamesAndLeavesNothingAttached) {
  std::string name;
  TfFileHeader file;
  BfHandle *h = Create(Param(4), &name, &file);
  ASSERT_NE(h, nullptr);
  bf_CloseFile(h);
  std::string wrongTag = name;
  wrongTag[12] = wrongTag[12] == '0' ? '1' : '0';
  std::string noStop = name.substr(0, 23);
  std::string otherFile = name;
  otherFile[11] = '2';  // an empty slot
  std::string pastDisk = name;
  pastDisk.replace(2, 6, "000004");  // the image has blocks 0..3
  std::string hugeBlock = name;
  hugeBlock.replace(2, 6, "FFFFFF");
  for (const std::string &bad : {wrongTag, noStop, otherFile, pastDisk, hugeBlock}) {
    EXPECT_EQ(bf_OpenFile(bad.c_str(), &file), nullptr) << bad;
    EXPECT_EQ(OpenHandles(), 0) << bad;
  }
  EXPECT_EQ(bf_OpenFile(nullptr, &file), nullptr);
  EXPECT_EQ(bf_OpenFile(name.c_str(), nullptr), nullptr);
  EXPECT_NE(bf_OpenFile(name.c_str(), &file), nullptr);
}

TEST(BlockProcesses, TwoProcessesShareOneEntryAndCountTheirOwnAttachments) {
  zrfs::test::TestRoot root;
  std::string dev = root.MakeImage(zrfs::test::TestRoot::DevicePath(3), zrfs::test::ImageBytes(2));
  struct Shared {
    std::atomic<int> step;
    int lockId;
    char name[64];
  };
  auto *shared = static_cast<Shared *>(
      mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
  auto waitFor = [&](int step) {
    while (shared->step.load() < step) usleep(1000);
  };
  pid_t creator = zrfs::test::Spawn([&] {
    zrfs::test::StartAndMount(dev, /*format=*/true);
    FileCreateParam p{};
    p.ichan = 4;
    snprintf(p.diskPath, sizeof p.diskPath, "%s", dev.c_str());
    TfFileHeader file;
    BfHandle *h = bf_CreateFile(&p, shared->name, &file);
    ASSERT_NE(h, nullptr);
    shared->lockId = h->lockId;
    shared->step = 1;
    waitFor(2);
    EXPECT_EQ(h->InRef, 1);
    EXPECT_EQ(h->share->ShrRef, 2);
    shared->step = 3;
    waitFor(4);
    EXPECT_EQ(h->share->ShrRef, 1);
    bf_CloseFile(h);
  });
  pid_t opener = zrfs::test::Spawn([&] {
    waitFor(1);
    zrfs::test::StartAndMount(dev, /*format=*/false);
    TfFileHeader mine;
    BfHandle *other = bf_OpenFile(shared->name, &mine);
    ASSERT_NE(other, nullptr);
    EXPECT_EQ(other->InRef, 1);
    EXPECT_EQ(other->lockId, shared->lockId);  // one lock for the block
    shared->step = 2;
    waitFor(3);
    bf_CloseFile(other);
    shared->step = 4;
  });
  bool ok = zrfs::test::WaitAll({creator, opener}, 30s);
  munmap(shared, sizeof(Shared));
  EXPECT_TRUE(ok);
}

TEST_F(CreateTest, NullArgumentsAndAnUnmountedDiskCreateNothing) {
  FileCreateParam p = Param(1);
  char name[64];
  TfFileHeader file;
  EXPECT_EQ(bf_CreateFile(nullptr, name, &file), nullptr);
  EXPECT_EQ(bf_CreateFile(&p, nullptr, &file), nullptr);
  EXPECT_EQ(bf_CreateFile(&p, name, nullptr), nullptr);
  p.ichan = 1024;
  EXPECT_EQ(bf_CreateFile(&p, name, &file), nullptr);
  ASSERT_EQ(df_DiskUnmout(dev_.c_str()), 0);
  p.ichan = 1;
  EXPECT_EQ(bf_CreateFile(&p, name, &file), nullptr);
  EXPECT_EQ(OpenHandles(), 0);
}

}  // namespace
