// Mounting: which copy and map place are read, which headers are refused,
// the upgrade of version-1 disks, and mounting by several processes.
#include <set>

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
  }
  void PutHeader(int copy, const DfDiskHeader &head) {
    WriteImage(root_, dev_, HeaderPlace(copy), &head, sizeof head);
  }
  DfDiskHeader Header(int copy) { return ReadRecord<DfDiskHeader>(root_, dev_, HeaderPlace(copy)); }
  void PutMapByte(uint64_t place, int blk, uint8_t state) {
    WriteImage(root_, dev_, place + blk, &state, 1);
  }
  void PutCurBlk(int copy, int type, int chan, int32_t blk) {
    WriteImage(root_, dev_, CurBlkPage(copy, type) + 4 * chan, &blk, 4);
  }
  void PutBlockHeader(int blk, uint32_t chan, uint32_t type) {
    BlkHeader h{};
    h.hdrAreaSize = kHeaderAreaSize;
    h.inUse = 1;
    h.ichan = chan;
    h.blkType = type;
    WriteImage(root_, dev_, BlockAddr(blk), &h, sizeof h);
  }
  void FailReads(uint64_t from, uint64_t len) {
    faults().Add({.call = Call::kRead,
                  .pathContains = "host03",
                  .fromOffset = from,
                  .toOffset = from + len});
  }
};

TEST_F(MountTest, ReadsTheHeaderOneMapAndTheTablePagesOnly) {
  for (int blk : {0, 2, 5}) PutMapByte(MapPlaceA(0), blk, kBlkUsed);
  io().Reset();
  ASSERT_EQ(df_DiskMount(dev_.c_str()), 0);
  std::vector<Transfer> reads = io().Reads();
  ASSERT_EQ(reads.size(), 34u);
  EXPECT_EQ(reads[0].offset, HeaderPlace(0));
  EXPECT_EQ(reads[1].offset, MapPlaceA(0));
  for (int type = 0; type < kBlockTypes; ++type) {
    EXPECT_EQ(reads[2 + 2 * type].offset, CurBlkPage(0, type));
    EXPECT_EQ(reads[3 + 2 * type].offset, BlkCntPage(0, type));
  }
  for (const Transfer &t : reads) EXPECT_LT(t.offset, kDataStart) << "read inside a block";
  EXPECT_TRUE(io().Writes().empty());
  EXPECT_EQ(Entry().mapIndex, 0u);
  EXPECT_EQ(df_GetDiskUnitSize(), kUnit);
  EXPECT_EQ(df_GetDiskVersion(dev_.c_str()), 2);
}

TEST_F(MountTest, UnreadableFirstHeaderSwitchesEverythingToCopy1) {
  PutCurBlk(1, 2, 5, 3);  // only copy 1 says channel 5 of type 2 fills block 3
  PutMapByte(MapPlaceA(1), 3, kBlkUsed);
  FailReads(HeaderPlace(0), 512);
  ASSERT_EQ(df_DiskMount(dev_.c_str()), 0);
  EXPECT_EQ(Entry().curBlk[2][5], 3);
  EXPECT_EQ(Entry().blkMap[3], kBlkUsed);
  std::set<uint64_t> readPlaces;
  for (const Transfer &t : io().Reads()) readPlaces.insert(t.offset);
  EXPECT_TRUE(readPlaces.count(MapPlaceA(1)));
  EXPECT_FALSE(readPlaces.count(MapPlaceA(0)));
}

TEST_F(MountTest, UnreadablePlaceAFallsBackToPlaceB) {
  PutMapByte(MapPlaceB(0), 4, kBlkBadBlock);
  faults().Add({.call = Call::kRead,
                .pathContains = "host03",
                .fromOffset = MapPlaceA(0),
                .toOffset = MapPlaceA(0) + 1,
                .fault = Fault::kShort,
                .shortBytes = 4096});
  ASSERT_EQ(df_DiskMount(dev_.c_str()), 0);
  EXPECT_EQ(Entry().blkMap[4], kBlkBadBlock);
  EXPECT_EQ(Entry().mapIndex, 1u);
}

TEST_F(MountTest, NoReadableHeaderOrMapMeansNoMount) {
  FailReads(HeaderPlace(0), 512);
  FailReads(HeaderPlace(1), 512);
  EXPECT_EQ(df_DiskMount(dev_.c_str()), -1);
  faults().Clear();
  FailReads(MapPlaceB(0), 2 * kMaxBlocks);  // both places of copy 0
  EXPECT_EQ(df_DiskMount(dev_.c_str()), -1);
  EXPECT_EQ(df_IsDiskReady(kDisk), -1);
  faults().Clear();
  EXPECT_EQ(df_DiskMount(dev_.c_str()), 0);
}

TEST_F(MountTest, WrongHeadersAreRefusedAndNotRetriedFromCopy1) {
  DfDiskHeader good = Header(0);
  DfDiskHeader bad = good;
  bad.magic[3] = 'X';
  PutHeader(0, bad);
  EXPECT_EQ(df_DiskMount(dev_.c_str()), -1);  // copy 1 is intact but not consulted

  bad = good;
  bad.magic[4] = '!';  // "ZRFS" must end with its NUL
  PutHeader(0, bad);
  EXPECT_EQ(df_DiskMount(dev_.c_str()), -1);

  bad = good;
  bad.tolblk = 0x20001;
  PutHeader(0, bad);
  EXPECT_EQ(df_DiskMount(dev_.c_str()), -1);

  bad = good;
  bad.unitSize = 0;  // every block would share one address
  PutHeader(0, bad);
  EXPECT_EQ(df_DiskMount(dev_.c_str()), -1);

  DfDiskHeader largest = good;
  largest.tolblk = 0x20000;
  PutHeader(0, largest);
  EXPECT_EQ(df_DiskMount(dev_.c_str()), 0);
  EXPECT_EQ(df_GetDiskUsedBlockNum(dev_.c_str()), 0x20000);
}

TEST_F(MountTest, VersionOneDiskGetsItsCountsRebuiltFromBlockHeaders) {
  for (int copy : {0, 1}) {
    DfDiskHeader head = Header(copy);
    head.ver = 1;
    PutHeader(copy, head);
    std::string junk(16 * kTablePageSize, char(0x11));  // counts of an older layout
    WriteImage(root_, dev_, BlkCntPage(copy, 15), junk.data(), junk.size());
  }
  for (int blk : {0, 1, 3, 5}) PutMapByte(MapPlaceA(0), blk, kBlkUsed);
  PutMapByte(MapPlaceA(0), 2, kBlkBadBlock);
  PutBlockHeader(0, 2, 1);
  PutBlockHeader(1, 2, 1);
  PutBlockHeader(3, 7, 4);
  PutBlockHeader(5, 2000, 1);  // channel out of range: not counted
  PutBlockHeader(2, 9, 0);     // bad block: not counted
  PutBlockHeader(4, 9, 0);     // free block: not counted

  io().Reset();
  ASSERT_EQ(df_DiskMount(dev_.c_str()), 0);
  EXPECT_EQ(df_GetDiskVersion(dev_.c_str()), 2);
  const DfDiskEntry &entry = Entry();
  EXPECT_EQ(entry.blkCnt[1][2], 2u);
  EXPECT_EQ(entry.blkCnt[4][7], 1u);
  uint64_t total = 0;
  for (auto &row : entry.blkCnt)
    for (uint32_t n : row) total += n;
  EXPECT_EQ(total, 3u);

  for (int copy : {0, 1}) {
    SCOPED_TRACE(copy);
    EXPECT_EQ(Header(copy).ver, 2u);
    EXPECT_EQ(Image(BlkCntPage(copy, 1), kTablePageSize),
              std::string(reinterpret_cast<const char *>(entry.blkCnt[1]), kTablePageSize));
    EXPECT_EQ(Image(BlkCntPage(copy, 0), kTablePageSize), std::string(kTablePageSize, '\0'));
  }
  // The upgrade reads one header per used block and writes 16 count pages
  // per copy and the two headers.
  EXPECT_EQ(io().Writes().size(), 34u);
}

TEST_F(MountTest, UpgradeThatReachesNeitherCopyFails) {
  DfDiskHeader head = Header(0);
  head.ver = 0;
  PutHeader(0, head);
  faults().Add({.call = Call::kWrite,
                .pathContains = "host03",
                .fromOffset = BlkCntPage(0, 3),
                .toOffset = BlkCntPage(0, 3) + 1});
  faults().Add({.call = Call::kWrite,
                .pathContains = "host03",
                .fromOffset = BlkCntPage(1, 8),
                .toOffset = BlkCntPage(1, 8) + 1});
  EXPECT_EQ(df_DiskMount(dev_.c_str()), -1);
  EXPECT_EQ(Header(0).ver, 0u);
}

TEST_F(MountTest, SecondMountInOneProcessDoesNotCountAndUnmountIsFinal) {
  ASSERT_EQ(df_DiskMount(dev_.c_str()), 0);
  ASSERT_EQ(df_DiskMount(dev_.c_str()), 0);
  EXPECT_EQ(Entry().mounted, 1u);
  EXPECT_EQ(df_DiskUnmout(dev_.c_str()), 0);
  EXPECT_EQ(Entry().mounted, 0u);
  EXPECT_EQ(Entry().stat, 1u);
  EXPECT_EQ(df_IsDiskReady(kDisk), -1);
  EXPECT_EQ(df_DiskUnmout(dev_.c_str()), 0);  // nothing left to let go
  EXPECT_EQ(Entry().mounted, 0u);
  EXPECT_EQ(df_GetDiskVersion(dev_.c_str()), 2);  // the image stays attached
}

TEST_F(MountTest, BadArgumentsGetTheDocumentedResults) {
  EXPECT_EQ(df_DiskMount(nullptr), -1);
  EXPECT_EQ(df_DiskMount("/dev/hda"), -1);
  EXPECT_EQ(df_DiskMount("/dev/scsi/host24/part1"), -1);
  EXPECT_EQ(df_DiskUnmout(nullptr), -1);
  EXPECT_EQ(df_DiskUnmout("/dev/scsi/host30/part1"), -1);
  EXPECT_EQ(df_IsDiskReady(24), -1);
  EXPECT_EQ(df_IsDiskReady(~0u), -1);
  EXPECT_EQ(df_GetDiskVersion(nullptr), 1);
  EXPECT_EQ(df_GetDiskVersion("/dev/scsi/host07/part1"), 1);  // never attached here
  EXPECT_EQ(df_DiskMount("/dev/scsi/host07/part1"), -1);      // no such device
}

// Processes that start the library themselves, forked before any call.
class MountProcessesTest : public ::testing::Test {
 protected:
  void SetUp() override { dev_ = root_.MakeImage(TestRoot::DevicePath(3), ImageBytesFor(6)); }
  TestRoot root_;
  std::string dev_;
  SharedWords step_;
};

TEST_F(MountProcessesTest, MountedCountFollowsTheProcessesAndTheLastUnmountEndsIt) {
  auto mounted = [](void) {
    uint64_t key = DiskEntryKey(3);
    auto *entry = static_cast<DfDiskEntry *>(
        fsc_DfMalloc(uint32_t(key), uint32_t(key >> 32), sizeof(DfDiskEntry)));
    return entry->mounted;
  };
  pid_t a = Spawn([&] {
    StartDiskLayer();
    ASSERT_EQ(df_DiskFormat(dev_.c_str()), 0);
    ASSERT_EQ(df_DiskMount(dev_.c_str()), 0);
    step_[0] = 1;
    ASSERT_TRUE(step_.Await(1, 1));
    EXPECT_EQ(mounted(), 2u);
    EXPECT_EQ(df_DiskUnmout(dev_.c_str()), 0);
    EXPECT_EQ(df_IsDiskReady(3), 0);  // still mounted by B
    step_[0] = 2;
  });
  pid_t b = Spawn([&] {
    StartDiskLayer();
    ASSERT_TRUE(step_.Await(0, 1));
    ASSERT_EQ(df_DiskMount(dev_.c_str()), 0);
    step_[1] = 1;
    ASSERT_TRUE(step_.Await(0, 2));
    EXPECT_EQ(df_IsDiskReady(3), 0);
    EXPECT_EQ(mounted(), 1u);
    EXPECT_EQ(df_DiskUnmout(dev_.c_str()), 0);
    EXPECT_EQ(df_IsDiskReady(3), -1);
    EXPECT_EQ(mounted(), 0u);
  });
  EXPECT_TRUE(WaitAll({a, b}, 30s));
}

// A mount that fails in one process must not take the disk image away from
// another process that still holds it: the failing process lets go of its
// own attachment only.  If it removed the segment, its next mount would
// make a second image, and the two processes would hand out blocks from two
// maps.
TEST_F(MountProcessesTest, FailedMountLeavesTheImageOtherProcessesUse) {
  pid_t a = Spawn([&] {
    StartDiskLayer();
    ASSERT_EQ(df_DiskFormat(dev_.c_str()), 0);
    ASSERT_EQ(df_DiskMount(dev_.c_str()), 0);
    ASSERT_EQ(df_DiskUnmout(dev_.c_str()), 0);  // the slot keeps the image
    step_[0] = 1;
    ASSERT_TRUE(step_.Await(1, 1));  // B's mount has failed
    ASSERT_EQ(df_DiskMount(dev_.c_str()), 0);
    step_[0] = 2;
    ASSERT_TRUE(step_.Await(1, 2));  // B has mounted
    int32_t blk = Allocate(dev_, 0);
    EXPECT_EQ(blk, 0);
    step_[2] = blk + 1;
    step_[0] = 3;
  });
  pid_t b = Spawn([&] {
    TestOs os = StartDiskLayer();
    ASSERT_TRUE(step_.Await(0, 1));
    for (int copy : {0, 1})
      os.faults->Add({.call = Call::kRead,
                      .pathContains = "host03",
                      .fromOffset = HeaderPlace(copy),
                      .toOffset = HeaderPlace(copy) + 512});
    EXPECT_EQ(df_DiskMount(dev_.c_str()), -1);
    os.faults->Clear();
    step_[1] = 1;
    ASSERT_TRUE(step_.Await(0, 2));
    ASSERT_EQ(df_DiskMount(dev_.c_str()), 0);
    step_[1] = 2;
    ASSERT_TRUE(step_.Await(0, 3));
    int32_t blk = Allocate(dev_, 1);
    EXPECT_EQ(blk, 1);
    step_[3] = blk + 1;
  });
  EXPECT_TRUE(WaitAll({a, b}, 30s));
  EXPECT_NE(step_[2].load(), step_[3].load()) << "two channels were given the same block";
}

}  // namespace
}  // namespace zrfs::test
