#include <atomic>
#include <chrono>

#include <gtest/gtest.h>

#include "block/mounted_image.h"
#include "support/processes.h"

namespace {

using namespace std::chrono_literals;
using namespace zrfs::test;
using zrfs::BlkHeader;
using zrfs::TfFileHeader;

class CreateTest : public MountedImage<Layer::kBlock> {
 protected:
  BfHandle *Create(const FileCreateParam &p, std::string *name, TfFileHeader *header) {
    return CreateBlockFile(p, header, name);
  }
};

TEST_F(CreateTest, FirstFileOfAFreshBlockSetsUpTheBlockHeader) {
  std::string name;
  TfFileHeader file;
  BfHandle *h = Create(Param(5), &name, &file);
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
  EXPECT_EQ(block.blkType, 0u);
  bf_CloseFile(second);
  bf_CloseFile(first);
  EXPECT_EQ(OpenBlockHandles(), 0);
}

TEST_F(CreateTest, KindDecidesWhereTheDataGoesAndChannelsGetBlocksOfTheirOwn) {
  TfFileHeader ring, locked, plain;
  std::string lockedName;
  BfHandle *a = Create(Param(1, 1, 65536, "ts"), nullptr, &ring);
  BfHandle *b = Create(Param(2, 2, 0, "ts"), &lockedName, &locked);
  BfHandle *c = Create(Param(3, 6, 0, "a-very-long-extension"), nullptr, &plain);
  ASSERT_TRUE(a && b && c);
  EXPECT_EQ(ring.preStart, 0x200000u);
  EXPECT_EQ(ring.preEnd, 0x200000u + 65536);
  EXPECT_EQ(ring.StartAddr, 0u);
  EXPECT_EQ(ring.EndAddr, 0u);
  EXPECT_EQ(locked.lockFlag, 2u);
  EXPECT_EQ(lockedName.substr(16, 8), "0000B00.");
  EXPECT_EQ(locked.StartAddr, 0x200000u);
  EXPECT_EQ(std::string(plain.extName), "a-very-");  // 7 characters in the header
  EXPECT_EQ(a->share->blkid, 0);
  EXPECT_EQ(b->share->blkid, 1);
  EXPECT_EQ(b->share->blkaddr, int64_t(BlockAddress(1)));
  for (BfHandle *h : {a, b, c}) bf_CloseFile(h);
}

TEST_F(CreateTest, OpenFindsTheFileByNameInAnyCaseAndRefusesWrongNames) {
  std::string name;
  TfFileHeader file, opened;
  BfHandle *h = Create(Param(4), &name, &file);
  ASSERT_NE(h, nullptr);
  std::string lower = name;
  for (char &c : lower) c = char(tolower(c));
  ASSERT_EQ(bf_OpenFile(lower.c_str(), &opened), h);
  EXPECT_EQ(h->InRef, 2);
  EXPECT_EQ(h->share->ShrRef, 2);
  EXPECT_EQ(memcmp(&file, &opened, sizeof file), 0);
  bf_CloseFile(h);
  bf_CloseFile(h);
  EXPECT_EQ(bf_CloseFile(nullptr), -1);
  EXPECT_EQ(bf_GetErrorNo(nullptr), 0);
  auto changed = [&](size_t at, const char *with) {
    return name.substr(0, at) + with + name.substr(at + strlen(with));
  };
  struct {
    const char *why;
    std::string name;
  } rows[] = {
      {"wrong tag", changed(12, name[12] == '0' ? "1" : "0")},
      {"no full stop", name.substr(0, 23)},
      {"empty slot", changed(11, "2")},
      {"block past the disk", changed(2, "000004")},  // the image has blocks 0..3
      {"huge block", changed(2, "FFFFFF")},
  };
  for (const auto &row : rows) {
    EXPECT_EQ(bf_OpenFile(row.name.c_str(), &file), nullptr) << row.why;
    EXPECT_EQ(OpenBlockHandles(), 0) << row.why;
  }
  EXPECT_EQ(bf_OpenFile(nullptr, &file), nullptr);
  EXPECT_EQ(bf_OpenFile(name.c_str(), nullptr), nullptr);
  EXPECT_NE(bf_OpenFile(name.c_str(), &file), nullptr);
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
  EXPECT_EQ(OpenBlockHandles(), 0);
}

TEST(BlockProcesses, TwoProcessesShareOneEntryAndCountTheirOwnAttachments) {
  TestRoot root;
  std::string dev = MakeDisk(root, 2);
  struct Shared {
    std::atomic<int> step;
    int lockId;
    char name[64];
  };
  SharedMapping<Shared> shared;
  auto waitFor = [&](int step) {
    while (shared->step.load() < step) usleep(1000);
  };
  pid_t creator = Spawn([&] {
    StartAndMount(Layer::kBlock, dev, true);
    FileCreateParam p = Param(dev, 4);
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
  pid_t opener = Spawn([&] {
    waitFor(1);
    StartAndMount(Layer::kBlock, dev, false);
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
  EXPECT_TRUE(WaitAll({creator, opener}, 30s));
}

}  // namespace
