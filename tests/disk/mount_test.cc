// Mounting: what is read, the fall-backs, refused headers, the version-1
// upgrade, and mounting by several processes.
#include "disk/disk_fixture.h"
#include "support/processes.h"

namespace zrfs::test {
namespace {

using namespace std::chrono_literals;

class MountTest : public DiskTest {
 protected:
  void SetUp() override {
    DiskTest::SetUp();
    ASSERT_EQ(df_DiskFormat(dev_.c_str()), 0);
    io().Reset();
  }
  void PutBlockHeader(int blk, uint32_t chan, uint32_t type) {
    BlkHeader h{};
    h.inUse = 1;
    h.fileNum = 1;
    h.ichan = chan;
    h.blkType = type;
    Put(BlockAddr(blk), h);
  }
  void Remount() {
    ASSERT_EQ(df_DiskUnmout(dev_.c_str()), 0);  // the last one: the image is read again
    io().Reset();
    ASSERT_EQ(df_DiskMount(dev_.c_str()), 0);
  }
};

TEST_F(MountTest, ReadsBothCopiesMetadataAndFallsBackToCopy1AndToPlaceB) {
  ASSERT_EQ(df_DiskMount(dev_.c_str()), 0);  // headers, maps, tables: nothing per block
  Places expected;
  for (int copy : {0, 1}) {
    expected.insert({{HeaderPlace(copy), 512}, {MapPlaceA(copy), kMaxBlocks}});
    for (int type = 0; type < kBlockTypes; ++type) {
      expected.insert({CurBlkPage(copy, type), kTablePageSize});
      expected.insert({BlkCntPage(copy, type), kTablePageSize});
    }
  }
  // Copy 1, level with copy 0, is compared with the image taken from copy 0.
  for (uint64_t piece = 0; piece < uint64_t(kMaxBlocks); piece += 0x10000)
    expected.insert({MapPlaceA(1) + piece, 0x10000});
  for (int type = 0; type < kBlockTypes; ++type) {
    expected.insert({CurBlkPage(1, type), kTablePageSize});
    expected.insert({BlkCntPage(1, type), kTablePageSize});
  }
  EXPECT_EQ(io().Reads(), expected);
  EXPECT_TRUE(io().Writes().empty());  // the copies are whole and level
  ASSERT_EQ(df_DiskUnmout(dev_.c_str()), 0);

  Put(CurBlkPage(1, 2) + 4 * 5, int32_t(3));  // only copy 1 says so
  Put(MapPlaceA(1) + 3, kBlkUsed);
  FailReads(HeaderPlace(0), HeaderPlace(0) + 1);
  io().Reset();
  ASSERT_EQ(df_DiskMount(dev_.c_str()), 0);
  EXPECT_EQ(Entry().curBlk[2][5], 3);
  EXPECT_EQ(Entry().blkMap[3], kBlkUsed);
  EXPECT_EQ(io().Reads().count({MapPlaceA(0), kMaxBlocks}), 0u);
  EXPECT_EQ(At<int32_t>(CurBlkPage(0, 2) + 4 * 5), 3);  // copy 0 written from copy 1

  // A map read that comes short and then fails is not complete either.
  faults().Clear();
  Put(MapPlaceB(0) + 4, kBlkBadBlock);
  faults().Add({.call = Call::kRead,
                .pathContains = "host03",
                .fromOffset = MapPlaceA(0),
                .toOffset = MapPlaceA(0) + 1,
                .fault = Fault::kShort,
                .shortBytes = 4096});
  FailReads(MapPlaceA(0) + 4096, MapPlaceA(0) + kMaxBlocks);
  Remount();
  EXPECT_EQ(Entry().blkMap[4], kBlkBadBlock);
  EXPECT_EQ(Entry().mapIndex, 1u);

  FailReads(MapPlaceB(0), MapPlaceB(0) + 1);  // neither place of copy 0: copy 1 stands in
  Remount();
  EXPECT_EQ(Entry().head.repair.fault, CopyFault::kMapUnreadable);
  for (uint64_t place : {MapPlaceA(1), MapPlaceB(1)}) FailReads(place, place + 1);
  ASSERT_EQ(df_DiskUnmout(dev_.c_str()), 0);
  EXPECT_EQ(df_DiskMount(dev_.c_str()), -1);  // no map anywhere
  EXPECT_EQ(df_IsDiskReady(kDisk), -1);
}

// Which headers a disk may have is decided once (DiskHeaderFaults): a
// mount refuses exactly the faults in kMountRefuses, and takes a disk with
// any other fault as its header says.  A format writes none.  Both copies
// carry the fault: copy 1 stands in for a wrong copy 0 alone
// (damaged_copy_test.cc).
TEST_F(MountTest, WrongHeadersInBothCopiesAreRefused) {
  auto good = At<DfDiskHeader>(HeaderPlace(0));
  EXPECT_EQ(DiskHeaderFaults(good, 0), 0u);
  struct Case {
    uint32_t fault;
    void (*spoil)(DfDiskHeader &);
  };
  const Case cases[] = {
      {kNoMagic, [](DfDiskHeader &h) { h.magic[0] = 'z'; }},
      {kNoMagic, [](DfDiskHeader &h) { h.magic[4] = '!'; }},   // "ZRFS" ends with NUL
      {kNoUnitSize, [](DfDiskHeader &h) { h.unitSize = 0; }},  // every block at one address
      {kMagicNotPadded, [](DfDiskHeader &h) { h.magic[6] = 1; }},
      {kUnknownVersion, [](DfDiskHeader &h) { h.ver = 3; }},
      {kOtherMetaSize, [](DfDiskHeader &h) { h.metaSize = 0x400000; }},
      {kUnitNotWhole, [](DfDiskHeader &h) { h.unitSize += 512; }},
      {kOtherDataStart, [](DfDiskHeader &h) { h.dataStart += 0x200000; }},
      {kTooManyBlocks, [](DfDiskHeader &h) { h.tolblk = 0x20001; }},
      {kOtherDataEnd, [](DfDiskHeader &h) { h.dataEnd += 1; }},
      {kReservedNotZero, [](DfDiskHeader &h) { h.reserved4[100] = 7; }},
  };
  for (const Case &c : cases) {
    DfDiskHeader head = good;
    c.spoil(head);
    uint32_t faults = DiskHeaderFaults(head, 0);
    EXPECT_NE(faults & c.fault, 0u) << c.fault;
    Put(HeaderPlace(0), head);
    Put(HeaderPlace(1), head);
    bool mounted = df_DiskMount(dev_.c_str()) == 0;
    EXPECT_EQ(mounted, (c.fault & kMountRefuses) == 0) << c.fault;
    EXPECT_EQ(mounted, MountAccepts(head)) << c.fault;
    if (mounted) ASSERT_EQ(df_DiskUnmout(dev_.c_str()), 0);
  }
  DfDiskHeader most = good;  // the most blocks a disk may have
  most.tolblk = 0x20000;
  for (int copy : {0, 1}) Put(HeaderPlace(copy), most);
  ASSERT_EQ(df_DiskMount(dev_.c_str()), 0);
  EXPECT_EQ(df_GetDiskUsedBlockNum(dev_.c_str()), 0x20000);
  EXPECT_NE(DiskHeaderFaults(good, good.dataEnd - 1) & kPastDeviceEnd, 0u);
  EXPECT_EQ(DiskHeaderFaults(good, good.dataEnd), 0u);
}

TEST_F(MountTest, VersionOneDiskGetsItsCountsRebuiltFromBlockHeaders) {
  auto head = At<DfDiskHeader>(HeaderPlace(0));
  head.ver = 1;
  Put(HeaderPlace(0), head);
  Put(BlkCntPage(0, 1), uint32_t(77));  // a stale count
  for (int blk : {0, 1, 3, 5}) Put(MapPlaceA(0) + blk, kBlkUsed);
  Put(MapPlaceA(0) + 2, kBlkBadBlock);
  PutBlockHeader(0, 2, 1);
  PutBlockHeader(1, 2, 1);
  PutBlockHeader(3, 7, 4);
  PutBlockHeader(5, 2000, 1);  // no such channel: skipped
  PutBlockHeader(2, 9, 0);     // bad and free blocks are not counted
  PutBlockHeader(4, 9, 0);
  ASSERT_EQ(df_DiskMount(dev_.c_str()), 0);

  uint32_t expected[kBlockTypes][kChannels] = {};
  expected[1][2] = 2;
  expected[4][7] = 1;
  EXPECT_EQ(memcmp(Entry().blkCnt, expected, sizeof expected), 0);
  std::string rows;  // on the device type 15's page comes first
  for (int type = kBlockTypes - 1; type >= 0; --type)
    rows.append(reinterpret_cast<char *>(expected[type]), kTablePageSize);
  for (int copy : {0, 1}) {
    EXPECT_EQ(At<DfDiskHeader>(HeaderPlace(copy)).ver, 2u);
    EXPECT_EQ(Image(BlkCntPage(copy, 15), 0x10000), rows);
  }
  // One sector per used block read for the counts and one for orphans;
  // of copy 0 the current-block pages only are read (its counts are
  // rebuilt); the 32 count pages and 2 headers written.
  EXPECT_EQ(io().Writes().size(), 34u);
  EXPECT_EQ(io().Reads().size(), 2u * (1 + 1) + 4 + 4 + 16 + 32);
}

using MountProcessesTest = DiskProcessesTest;

uint32_t Mounted() {
  return g_dfDiskTable[3].entry->mounted;
}

TEST_F(MountProcessesTest, MountedCountFollowsTheProcessesAndTheLastUnmountEndsIt) {
  pid_t a = Spawn([&] {
    StartDiskLayer();
    ASSERT_EQ(df_DiskFormat(dev_.c_str()), 0);
    ASSERT_EQ(df_DiskMount(dev_.c_str()), 0);
    shared_[0] = 1;
    ASSERT_TRUE(shared_.Await(1, 1));
    EXPECT_EQ(Mounted(), 2u);
    EXPECT_EQ(df_DiskUnmout(dev_.c_str()), 0);
    EXPECT_EQ(df_IsDiskReady(3), 0);  // B still has it
    shared_[0] = 2;
  });
  pid_t b = Spawn([&] {
    StartDiskLayer();
    ASSERT_TRUE(shared_.Await(0, 1));
    ASSERT_EQ(df_DiskMount(dev_.c_str()), 0);
    ASSERT_EQ(df_DiskMount(dev_.c_str()), 0);  // a second mount here does not count
    shared_[1] = 1;
    ASSERT_TRUE(shared_.Await(0, 2));
    EXPECT_EQ(Mounted(), 1u);
    EXPECT_EQ(df_DiskUnmout(dev_.c_str()), 0);
    EXPECT_EQ(df_IsDiskReady(3), -1);
    EXPECT_EQ(Mounted(), 0u);
    EXPECT_EQ(g_dfDiskTable[3].entry->stat, 1u);
  });
  EXPECT_TRUE(WaitAll({a, b}, 30s));
}

// A process that dies keeps its mount counted.  The next mount by a
// process alone with the image does not count it, and reads the device
// again, which may hold another disk by then.
TEST_F(MountProcessesTest, MountsOfProcessesThatAreGoneDoNotCountAndTheDeviceIsReadAgain) {
  pid_t gone = Spawn([&] {
    StartDiskLayer();
    ASSERT_EQ(df_DiskFormat(dev_.c_str()), 0);
    ASSERT_EQ(df_DiskMount(dev_.c_str()), 0);  // and exits without unmounting
  });
  ASSERT_TRUE(WaitAll({gone}, 30s));
  // Another disk in the slot: one block fewer.
  std::string real = root_.Real(dev_);
  int fd = open(real.c_str(), O_RDWR);
  DfDiskHeader head;
  ASSERT_EQ(pread(fd, &head, sizeof head, off_t(HeaderPlace(0))), ssize_t(sizeof head));
  head.tolblk -= 1;
  head.dataEnd -= head.unitSize;
  for (int copy : {0, 1})
    ASSERT_EQ(pwrite(fd, &head, sizeof head, off_t(HeaderPlace(copy))), ssize_t(sizeof head));
  close(fd);
  pid_t next = Spawn([&] {
    StartDiskLayer();
    ASSERT_EQ(df_DiskMount(dev_.c_str()), 0);
    EXPECT_EQ(Mounted(), 1u);
    EXPECT_EQ(df_GetDiskUsedBlockNum(dev_.c_str()), int(head.tolblk));
    EXPECT_EQ(df_DiskUnmout(dev_.c_str()), 0);
    EXPECT_EQ(Mounted(), 0u);  // the last unmount ends it
  });
  EXPECT_TRUE(WaitAll({next}, 30s));
}

// A failed mount must not take the image away from a process that holds it:
// B's next mount would make a second image, and A and B would hand out
// blocks from two maps.
TEST_F(MountProcessesTest, FailedMountLeavesTheImageOtherProcessesUse) {
  pid_t a = Spawn([&] {
    StartDiskLayer();
    ASSERT_EQ(df_DiskFormat(dev_.c_str()), 0);
    ASSERT_EQ(df_DiskMount(dev_.c_str()), 0);
    ASSERT_EQ(df_DiskUnmout(dev_.c_str()), 0);  // the slot keeps the image
    shared_[0] = 1;
    ASSERT_TRUE(shared_.Await(1, 1));
    ASSERT_EQ(df_DiskMount(dev_.c_str()), 0);
    shared_[0] = 2;
    ASSERT_TRUE(shared_.Await(1, 2));
    shared_[2] = Allocate(dev_, 0);
    shared_[0] = 3;
  });
  pid_t b = Spawn([&] {
    TestOs os = StartDiskLayer();
    ASSERT_TRUE(shared_.Await(0, 1));
    for (int copy : {0, 1})
      os.faults->Add({.call = Call::kRead,
                      .fromOffset = HeaderPlace(copy),
                      .toOffset = HeaderPlace(copy) + 1});
    EXPECT_EQ(df_DiskMount(dev_.c_str()), -1);
    os.faults->Clear();
    shared_[1] = 1;
    ASSERT_TRUE(shared_.Await(0, 2));
    ASSERT_EQ(df_DiskMount(dev_.c_str()), 0);
    shared_[1] = 2;
    ASSERT_TRUE(shared_.Await(0, 3));
    shared_[3] = Allocate(dev_, 1);
  });
  ASSERT_TRUE(WaitAll({a, b}, 30s));
  EXPECT_EQ(shared_[2], 0);
  EXPECT_EQ(shared_[3], 1) << "two channels were given the same block";
}

}  // namespace
}  // namespace zrfs::test
