// Block choice, release and addresses: which block a channel gets, when a
// current block is given up, and what reaches the device.
#include <set>

#include "disk/disk_fixture.h"

namespace zrfs::test {
namespace {

constexpr uint32_t kKindOfType1 = 3;  // fsc_GetBlkType(3) == 1

std::set<std::pair<uint64_t, size_t>> Places(const std::vector<Transfer> &transfers) {
  std::set<std::pair<uint64_t, size_t>> out;
  for (const Transfer &t : transfers) out.insert({t.offset, t.len});
  return out;
}

// The metadata writes of a change of one type's rows: the map at both
// places of both copies, and the named pages.
std::set<std::pair<uint64_t, size_t>> MetadataPlaces(int type, bool cur, bool cnt) {
  std::set<std::pair<uint64_t, size_t>> places;
  for (int copy : {0, 1}) {
    places.insert({MapPlaceA(copy), kMaxBlocks});
    places.insert({MapPlaceB(copy), kMaxBlocks});
    if (cur) places.insert({CurBlkPage(copy, type), kTablePageSize});
    if (cnt) places.insert({BlkCntPage(copy, type), kTablePageSize});
  }
  return places;
}

std::set<std::pair<uint64_t, size_t>> HeadAreaPlaces(int blk) {
  std::set<std::pair<uint64_t, size_t>> places;
  for (uint64_t piece = 0; piece < 4; ++piece)
    places.insert({BlockAddr(blk) + piece * 0x80000, 0x80000});
  return places;
}

class AllocateTest : public DiskTest {
 protected:
  void SetUp() override {
    DiskTest::SetUp();
    FormatAndMount();
  }
  void PutBlockHeader(int blk, const BlkHeader &h) {
    WriteImage(root_, dev_, BlockAddr(blk), &h, sizeof h);
  }
  int32_t CurOnDisk(int copy, int type, int chan) {
    return ReadRecord<int32_t>(root_, dev_, CurBlkPage(copy, type) + 4 * chan);
  }
  uint32_t CntOnDisk(int copy, int type, int chan) {
    return ReadRecord<uint32_t>(root_, dev_, BlkCntPage(copy, type) + 4 * chan);
  }
  uint8_t MapOnDisk(uint64_t place, int blk) {
    return ReadRecord<uint8_t>(root_, dev_, place + blk);
  }
};

TEST_F(AllocateTest, ChannelKeepsItsBlockAndOthersTakeTheLowestFree) {
  EXPECT_EQ(Allocate(dev_, 3), 0);
  EXPECT_EQ(Allocate(dev_, 3), 0);  // room left: same block
  EXPECT_EQ(Allocate(dev_, 4), 1);
  EXPECT_EQ(Allocate(dev_, 3, kKindOfType1), 2);  // another type is another row
  EXPECT_EQ(Allocate(dev_, 3), 0);
  const DfDiskEntry &entry = Entry();
  EXPECT_EQ(entry.curBlk[0][3], 0);
  EXPECT_EQ(entry.curBlk[0][4], 1);
  EXPECT_EQ(entry.curBlk[1][3], 2);
  EXPECT_EQ(entry.blkCnt[0][3], 1u);
  EXPECT_EQ(entry.blkCnt[1][3], 1u);
  for (int copy : {0, 1}) {
    EXPECT_EQ(CurOnDisk(copy, 1, 3), 2);
    EXPECT_EQ(CntOnDisk(copy, 0, 4), 1u);
    EXPECT_EQ(MapOnDisk(MapPlaceA(copy), 2), kBlkUsed);
    EXPECT_EQ(MapOnDisk(MapPlaceB(copy), 2), kBlkUsed);
  }
  EXPECT_EQ(Entry().blkMap[3], kBlkFree);
}

TEST_F(AllocateTest, NewBlockHasItsHeaderAreaZeroedAndDataLeftAlone) {
  std::string junk(kHeaderAreaSize + 4096, char(0x5C));
  WriteImage(root_, dev_, BlockAddr(0), junk.data(), junk.size());
  io().Reset();
  ASSERT_EQ(Allocate(dev_, 0), 0);
  EXPECT_EQ(Image(BlockAddr(0), kHeaderAreaSize), std::string(kHeaderAreaSize, '\0'));
  EXPECT_EQ(Image(BlockAddr(0) + kHeaderAreaSize, 4096), std::string(4096, char(0x5C)));
  // Only the head area, the map and this type's two pages are written.
  auto expected = MetadataPlaces(0, true, true);
  expected.merge(HeadAreaPlaces(0));
  EXPECT_EQ(Places(io().Writes()), expected);
  EXPECT_EQ(io().Writes().size(), 12u);
  EXPECT_EQ(io().BytesWritten(), kHeaderAreaSize + 4ull * kMaxBlocks + 4ull * kTablePageSize);
}

TEST_F(AllocateTest, KeepingTheCurrentBlockReadsOneSectorAndWritesNothing) {
  ASSERT_EQ(Allocate(dev_, 9), 0);
  io().Reset();
  ASSERT_EQ(Allocate(dev_, 9), 0);
  EXPECT_TRUE(io().Writes().empty());
  ASSERT_EQ(io().Reads().size(), 1u);
  EXPECT_EQ(io().Reads()[0].offset, BlockAddr(0));
  EXPECT_EQ(io().Reads()[0].len, 512u);
}

TEST_F(AllocateTest, CurrentBlockIsGivenUpWhenItsHeaderSlotsAreUsedUp) {
  ASSERT_EQ(Allocate(dev_, 0), 0);
  BlkHeader h{};
  h.hdrAreaSize = kHeaderAreaSize;
  h.appendPos = kHeaderAreaSize;
  h.lastFileNo = 4094;
  PutBlockHeader(0, h);
  EXPECT_EQ(Allocate(dev_, 0), 0);
  h.lastFileNo = 4095;
  PutBlockHeader(0, h);
  EXPECT_EQ(Allocate(dev_, 0), 1);

  // A smaller header area has fewer slots: 0x1000 bytes hold 7 headers.
  h.hdrAreaSize = 0x1000;
  h.lastFileNo = 6;
  PutBlockHeader(1, h);
  EXPECT_EQ(Allocate(dev_, 0), 1);
  h.lastFileNo = 7;
  PutBlockHeader(1, h);
  EXPECT_EQ(Allocate(dev_, 0), 2);

  // An area larger than 2 MiB counts as 4095 slots.
  h.hdrAreaSize = 0x400000;
  h.lastFileNo = 4095;
  PutBlockHeader(2, h);
  EXPECT_EQ(Allocate(dev_, 0), 3);
}

TEST_F(AllocateTest, CurrentBlockIsGivenUpWhenItsDataAreaHasTooLittleRoom) {
  constexpr int32_t kPreRec = 0x100000;
  ASSERT_EQ(Allocate(dev_, 2, 1, kPreRec), 0);
  BlkHeader h{};
  h.hdrAreaSize = kHeaderAreaSize;
  h.lastFileNo = 1;
  h.appendPos = int64_t(kUnit) - 0x300000 - kPreRec - 1;  // one byte more than needed
  PutBlockHeader(0, h);
  EXPECT_EQ(Allocate(dev_, 2, 1, kPreRec), 0);
  h.appendPos += 1;  // exactly the room needed counts as full
  PutBlockHeader(0, h);
  EXPECT_EQ(Allocate(dev_, 2, 1, kPreRec), 1);

  // A damaged append position beyond the unit leaves no room at all.
  h.appendPos = int64_t(kUnit) + 4096;
  PutBlockHeader(1, h);
  EXPECT_EQ(Allocate(dev_, 2, 1, kPreRec), 2);
  // So does a request whose size turns negative in 32 bits.
  EXPECT_EQ(Allocate(dev_, 2, 1, INT32_MAX - 0x100000), 3);
}

TEST_F(AllocateTest, CurrentBlockTaggedBadIsGivenUp) {
  ASSERT_EQ(Allocate(dev_, 5), 0);
  ASSERT_EQ(df_TagBadBlock(kDisk, 0), 0);
  EXPECT_EQ(Allocate(dev_, 5), 1);
  EXPECT_EQ(Entry().blkMap[0], kBlkBadBlock);
  EXPECT_EQ(Entry().blkCnt[0][5], 2u);  // tagging does not touch the counts
}

TEST_F(AllocateTest, CurrentBlockBeyondTheDiskIsNeverReadOrKept) {
  for (int32_t beyond : {int32_t(kBlocks), 0x1FFFF, 0x20000, -7}) {
    SCOPED_TRACE(beyond);
    Entry().curBlk[0][8] = beyond;  // damaged tables
    io().Reset();
    int32_t blk = Allocate(dev_, 8);
    EXPECT_GE(blk, 0);
    EXPECT_LT(blk, int32_t(kBlocks));
    for (const Transfer &t : io().Reads()) EXPECT_LT(t.offset, BlockAddr(kBlocks));
    ASSERT_EQ(df_ReleaseBlock(kDisk, blk, 8, 0), 0);
  }
}

TEST_F(AllocateTest, DiskWithoutFreeBlockRefusesWithBlockIdMinusOne) {
  for (uint32_t chan = 0; chan < kBlocks - 1; ++chan)
    ASSERT_EQ(Allocate(dev_, chan), int32_t(chan));
  ASSERT_EQ(df_TagBadBlock(kDisk, kBlocks - 1), 0);  // the last one is bad
  FileCreateParam p = Param(dev_, 100);
  DfFileBlk out{7, 7};
  EXPECT_EQ(df_GetFileBlkId(&p, &out), -1);
  EXPECT_EQ(out.blkId, -1);
  EXPECT_EQ(Entry().curBlk[0][100], -1);
}

// A crash after release wrote copy 0's map but before its current-block page
// leaves a block free in the map and still current for its channel.  That
// block must not be kept by the old channel while another one takes it.
TEST_F(AllocateTest, ReleaseCutShortAfterTheMapDoesNotLeadToASharedBlock) {
  ASSERT_EQ(Allocate(dev_, 1), 0);
  faults().Add({.call = Call::kWrite,
                .pathContains = "host03",
                .fromOffset = BlkCntPage(0, 15),
                .toOffset = MapPlaceB(0)});  // copy 0's tables
  faults().Add({.call = Call::kWrite,
                .pathContains = "host03",
                .fromOffset = CopyBase(1),
                .toOffset = CopyBase(2)});  // all of copy 1
  EXPECT_EQ(df_ReleaseBlock(kDisk, 0, 1, 0), -1);
  faults().Clear();
  ASSERT_EQ(MapOnDisk(MapPlaceA(0), 0), kBlkFree);
  ASSERT_EQ(CurOnDisk(0, 0, 1), 0);  // the page still names the freed block

  // The shared image is lost (last unmount); a new mount reads the device.
  ASSERT_EQ(df_DiskUnmout(dev_.c_str()), 0);
  ASSERT_EQ(df_DiskMount(dev_.c_str()), 0);
  int32_t oldChannel = Allocate(dev_, 1);
  int32_t otherChannel = Allocate(dev_, 2);
  EXPECT_NE(oldChannel, otherChannel);
  EXPECT_EQ(Entry().blkMap[oldChannel], kBlkUsed);
  EXPECT_EQ(Entry().blkMap[otherChannel], kBlkUsed);
}

TEST_F(AllocateTest, ReleaseClearsTheHeadFreesTheBlockAndWritesTheChangedRows) {
  for (int i = 0; i <= 5; ++i) ASSERT_EQ(Allocate(dev_, 10 + i, kKindOfType1), i);
  Entry().curBlk[1][3] = 5;  // block 5 is channel 3's current block
  Entry().blkCnt[1][3] = 2;
  BlkHeader h{};
  h.fileNum = 3;
  PutBlockHeader(5, h);

  io().Reset();
  ASSERT_EQ(df_ReleaseBlock(kDisk, 5, 3, 1), 0);
  auto expected = MetadataPlaces(1, true, true);
  expected.merge(HeadAreaPlaces(5));
  EXPECT_EQ(Places(io().Writes()), expected);
  EXPECT_EQ(Entry().curBlk[1][3], -1);
  EXPECT_EQ(Entry().blkCnt[1][3], 1u);
  EXPECT_EQ(Entry().blkMap[5], kBlkFree);
  EXPECT_EQ(Image(BlockAddr(5), 512), std::string(512, '\0'));
  for (int copy : {0, 1}) {
    EXPECT_EQ(CurOnDisk(copy, 1, 3), -1);
    EXPECT_EQ(CntOnDisk(copy, 1, 3), 1u);
    EXPECT_EQ(MapOnDisk(MapPlaceB(copy), 5), kBlkFree);
  }

  // Channel 3 fills block 7 now: its row is left alone, the count stays at 0.
  Entry().curBlk[1][3] = 7;
  Entry().blkCnt[1][3] = 0;
  io().Reset();
  ASSERT_EQ(df_ReleaseBlock(kDisk, 4, 3, 1), 0);
  expected = MetadataPlaces(1, false, true);
  expected.merge(HeadAreaPlaces(4));
  EXPECT_EQ(Places(io().Writes()), expected);
  EXPECT_EQ(Entry().curBlk[1][3], 7);
  EXPECT_EQ(Entry().blkCnt[1][3], 0u);
}

TEST_F(AllocateTest, ReleaseWithoutATypeFreesOnlyAndABadBlockBecomesFree) {
  ASSERT_EQ(Allocate(dev_, 6), 0);
  io().Reset();
  ASSERT_EQ(df_ReleaseBlock(kDisk, 0, 6, 16), 0);
  auto expected = MetadataPlaces(0, false, false);
  expected.merge(HeadAreaPlaces(0));
  EXPECT_EQ(Places(io().Writes()), expected);
  EXPECT_EQ(Entry().blkCnt[0][6], 1u);  // no type: no count changes
  EXPECT_EQ(Entry().blkMap[0], kBlkFree);

  ASSERT_EQ(df_TagBadBlock(kDisk, 2), 0);
  ASSERT_EQ(df_ReleaseBlock(kDisk, 2, 0, 0), 0);
  EXPECT_EQ(Entry().blkMap[2], kBlkFree);
  EXPECT_EQ(Entry().blkCnt[0][0], 0u);  // never below 0
}

TEST_F(AllocateTest, ChangeWhoseCopy0WriteFailsHoldsThroughCopy1) {
  faults().Add({.call = Call::kWrite,
                .pathContains = "host03",
                .fromOffset = MapPlaceA(0),
                .toOffset = MapPlaceA(0) + 1});
  io().Reset();
  ASSERT_EQ(Allocate(dev_, 0), 0);
  EXPECT_EQ(Entry().mapIndex, 1u);  // copy 0 held through its place B
  EXPECT_EQ(MapOnDisk(MapPlaceB(0), 0), kBlkUsed);

  faults().Add({.call = Call::kWrite,
                .pathContains = "host03",
                .fromOffset = MapPlaceB(0),
                .toOffset = MapPlaceB(0) + 1});
  io().Reset();
  ASSERT_EQ(Allocate(dev_, 1), 1);  // copy 0's map failed wholly; copy 1 took it
  EXPECT_EQ(Entry().mapIndex, 0u);  // copy 1's place A was written
  EXPECT_EQ(MapOnDisk(MapPlaceA(1), 1), kBlkUsed);
  EXPECT_EQ(CurOnDisk(1, 0, 1), 1);
  EXPECT_EQ(CurOnDisk(0, 0, 1), -1);  // copy 0's tables wait for its map
  for (const Transfer &t : io().Writes()) {
    EXPECT_FALSE(t.offset == CurBlkPage(0, 0) || t.offset == BlkCntPage(0, 0));
  }
  faults().Add({.call = Call::kWrite,
                .pathContains = "host03",
                .fromOffset = MapPlaceA(1),
                .toOffset = MapPlaceA(1) + 1});
  ASSERT_EQ(Allocate(dev_, 2), 2);
  EXPECT_EQ(Entry().mapIndex, 1u);  // copy 1 held through place B only

  faults().Add({.call = Call::kWrite,
                .pathContains = "host03",
                .fromOffset = MapPlaceB(1),
                .toOffset = MapPlaceB(1) + 1});
  EXPECT_EQ(Allocate(dev_, 3), -1);        // neither copy
  EXPECT_EQ(Entry().blkMap[3], kBlkUsed);  // the image keeps it; the caller was told no
}

TEST_F(AllocateTest, WritesAreRefusedWhileTheDiskIsAbsent) {
  ASSERT_EQ(Allocate(dev_, 0), 0);
  faults().Add({.call = Call::kPresence, .pathContains = "host03", .fault = Fault::kAbsent});
  io().Reset();
  EXPECT_EQ(Allocate(dev_, 0), 0);  // keeping a block writes nothing
  EXPECT_EQ(Allocate(dev_, 1), -1);
  EXPECT_EQ(Entry().blkMap[1], kBlkFree);  // clearing failed: the block stays free
  EXPECT_EQ(df_TagBadBlock(kDisk, 2), -1);
  EXPECT_EQ(df_TagBadUnit(dev_.c_str(), kDataStart + 3 * kUnit, 1), -1);
  EXPECT_EQ(df_ReleaseBlock(kDisk, 0, 0, 0), -1);
  EXPECT_TRUE(io().Writes().empty());
}

TEST_F(AllocateTest, BlockAddressesStayInsideTheDisk) {
  EXPECT_EQ(df_GetBlkAddr(kDisk, 0), kDataStart);
  EXPECT_EQ(df_GetBlkAddr(kDisk, kBlocks - 1), kDataStart + (kBlocks - 1) * kUnit);
  EXPECT_EQ(df_GetBlkAddr(kDisk, kBlocks), 0u);
  EXPECT_EQ(df_GetBlkAddr(kDisk, -1), 0u);
  EXPECT_EQ(df_GetBlkAddr(kDisk, INT32_MAX), 0u);
  EXPECT_EQ(df_GetBlkAddr(24, 0), 0u);
  EXPECT_EQ(df_GetBlkAddr(4, 0), 0u);  // no image attached
}

TEST_F(AllocateTest, BadArgumentsGetTheDocumentedResults) {
  DfFileBlk out{5, 5};
  EXPECT_EQ(df_GetFileBlkId(nullptr, &out), -1);
  FileCreateParam p = Param("/dev/sdb1", 0);
  EXPECT_EQ(df_GetFileBlkId(&p, nullptr), -1);
  EXPECT_EQ(df_GetFileBlkId(&p, &out), -1);
  EXPECT_EQ(out.blkId, 5);  // the path names no disk: untouched
  p = Param("/dev/scsi/host24/part1", 0);
  EXPECT_EQ(df_GetFileBlkId(&p, &out), -1);
  EXPECT_EQ(out.blkId, -1);
  p = Param(dev_, 1024);
  out.blkId = 5;
  EXPECT_EQ(df_GetFileBlkId(&p, &out), -1);
  EXPECT_EQ(out.blkId, -1);
  p = Param("/dev/scsi/host04/part1", 0);  // never mounted
  EXPECT_EQ(df_GetFileBlkId(&p, &out), -1);
  // A path that fills the whole field without a NUL is still read safely.
  memset(p.diskPath, '7', sizeof p.diskPath);
  memcpy(p.diskPath, "/dev/scsi/host3", 15);
  EXPECT_EQ(df_GetFileBlkId(&p, &out), -1);  // disk 3777...: no such disk

  for (int blk : {-1, int(kBlocks), 0x20000, INT32_MIN})
    EXPECT_EQ(df_ReleaseBlock(kDisk, blk, 0, 0), -1) << blk;
  for (int chan : {-1, 1024, INT32_MAX}) EXPECT_EQ(df_ReleaseBlock(kDisk, 0, chan, 0), -1) << chan;
  EXPECT_EQ(df_ReleaseBlock(24, 0, 0, 0), -1);
  EXPECT_EQ(df_ReleaseBlock(4, 0, 0, 0), -1);

  ASSERT_EQ(df_DiskUnmout(dev_.c_str()), 0);
  p = Param(dev_, 0);
  EXPECT_EQ(df_GetFileBlkId(&p, &out), -1);  // not ready
}

}  // namespace
}  // namespace zrfs::test
