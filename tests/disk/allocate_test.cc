// Block choice and release: which block a channel gets, when its current
// block is given up, and what reaches the device.
#include "disk/disk_fixture.h"

namespace zrfs::test {
namespace {

constexpr uint32_t kType1Kind = 3;  // fsc_GetBlkType(3) == 1

// Writes of a change of one type's rows: the map at both places of both
// copies, the named pages, each copy's header, and the zeroing of a block's
// header area.
Places ChangePlaces(int type, bool cur, bool cnt, int clearedBlock) {
  Places places = MapOnlyChange();
  for (int copy : {0, 1}) {
    if (cur) places.insert({CurBlkPage(copy, type), kTablePageSize});
    if (cnt) places.insert({BlkCntPage(copy, type), kTablePageSize});
  }
  for (uint64_t piece = 0; piece < 4; ++piece)
    places.insert({BlockAddr(clearedBlock) + piece * 0x80000, 0x80000});
  return places;
}

class AllocateTest : public DiskTest {
 protected:
  void SetUp() override {
    DiskTest::SetUp();
    FormatAndMount();
    io().Reset();
  }
  int32_t CurOnDisk(int copy, int type, int chan) {
    return At<int32_t>(CurBlkPage(copy, type) + 4 * chan);
  }
};

TEST_F(AllocateTest, ChannelKeepsItsBlockAndANewOneTakesTheLowestFree) {
  PutBytes(BlockAddr(0), std::string(kHeaderAreaSize + 4096, char(0x5C)));
  EXPECT_EQ(Allocate(dev_, 3), 0);
  EXPECT_EQ(io().Writes(), ChangePlaces(0, true, true, 0));
  EXPECT_EQ(Image(BlockAddr(0), kHeaderAreaSize), std::string(kHeaderAreaSize, '\0'));
  EXPECT_EQ(Image(BlockAddr(0) + kHeaderAreaSize, 4096), std::string(4096, char(0x5C)));

  io().Reset();
  EXPECT_EQ(Allocate(dev_, 3), 0);  // room left: kept, one sector read, nothing written
  EXPECT_EQ(io().Reads(), (Places{{BlockAddr(0), 512}}));
  EXPECT_TRUE(io().Writes().empty());
  EXPECT_EQ(Allocate(dev_, 4), 1);
  EXPECT_EQ(Allocate(dev_, 3, kType1Kind), 2);  // another type, another row
  for (int copy : {0, 1}) {
    EXPECT_EQ(CurOnDisk(copy, 1, 3), 2);
    EXPECT_EQ(At<uint32_t>(BlkCntPage(copy, 0) + 4 * 4), 1u);
    EXPECT_EQ(At<uint8_t>(MapPlaceB(copy) + 2), kBlkUsed);
  }
}

TEST_F(AllocateTest, CurrentBlockIsGivenUpAtEachLimit) {
  struct {
    uint32_t hdrAreaSize, lastFileNo;
    int64_t appendPos;
    int32_t preRecSize;
    bool kept;
  } rows[] = {
      {kHeaderAreaSize, 4094, 0, 0, true},
      {kHeaderAreaSize, 4095, 0, 0, false},  // header slots used up
      {0x1000, 6, 0, 0, true},               // a smaller area: 7 slots
      {0x1000, 7, 0, 0, false},
      // Room for the ring and 3 MiB, and one byte; exactly enough counts as full.
      {0, 0, int64_t(kUnit) - 0x300000 - 0x100000 - 1, 0x100000, true},
      {0, 0, int64_t(kUnit) - 0x300000 - 0x100000, 0x100000, false},
      {0, 0, int64_t(kUnit) + 4096, 0, false},  // damaged: past the unit
      {0, 0, 0, INT32_MAX - 0x100000, false},   // a size negative in 32 bits
  };
  int32_t cur = Allocate(dev_, 0);
  for (size_t row = 0; row < std::size(rows); ++row) {
    const auto &r = rows[row];
    BlkHeader h{};
    h.hdrAreaSize = r.hdrAreaSize;
    h.lastFileNo = r.lastFileNo;
    h.appendPos = r.appendPos;
    Put(BlockAddr(cur), h);
    int32_t got = Allocate(dev_, 0, 0, r.preRecSize);
    EXPECT_EQ(got == cur, r.kept) << "row " << row;
    cur = got;
  }
  ASSERT_EQ(df_TagBadBlock(kDisk, cur), 0);  // a bad block is given up too
  int32_t next = Allocate(dev_, 0);
  EXPECT_NE(next, cur);
  cur = next;
  EXPECT_EQ(Entry().blkCnt[0][0], uint32_t(cur + 1));  // every block taken was counted

  // A current block at or beyond the block count (damaged tables) is
  // neither read nor kept.
  for (int32_t beyond : {int32_t(kBlocks), 0x1FFFF, 0x20000, -7}) {
    Entry().curBlk[0][9] = beyond;
    io().Reset();
    int32_t blk = Allocate(dev_, 9);
    EXPECT_LT(blk, int32_t(kBlocks));
    for (const auto &read : io().Reads()) EXPECT_LT(read.first, BlockAddr(kBlocks));
    if (blk >= 0) ASSERT_EQ(df_ReleaseBlock(kDisk, blk, 9, 0), 0);
  }
  for (int32_t blk; (blk = Allocate(dev_, 100 + cur)) >= 0; ++cur)  // fill the disk
    EXPECT_LT(blk, int32_t(kBlocks)) << "a block past the last one";
  FileCreateParam p{};
  p.ichan = 999;
  snprintf(p.diskPath, sizeof p.diskPath, "%s", dev_.c_str());
  DfFileBlk out{7, 7};
  EXPECT_EQ(df_GetFileBlkId(&p, &out), -1);
  EXPECT_EQ(out.blkId, -1);
}

TEST_F(AllocateTest, ReleaseClearsTheHeadFreesTheBlockAndWritesOnlyChangedRows) {
  for (int i = 0; i < 6; ++i) ASSERT_EQ(Allocate(dev_, 10 + i, kType1Kind), i);
  Entry().curBlk[1][3] = 5;
  Entry().blkCnt[1][3] = 2;
  Put(BlockAddr(5), BlkHeader{.fileNum = 3});
  io().Reset();
  ASSERT_EQ(df_ReleaseBlock(kDisk, 5, 3, 1), 0);
  EXPECT_EQ(io().Writes(), ChangePlaces(1, true, true, 5));
  EXPECT_EQ(Entry().blkCnt[1][3], 1u);
  EXPECT_EQ(Entry().blkMap[5], kBlkFree);
  EXPECT_EQ(Image(BlockAddr(5), 512), std::string(512, '\0'));
  for (int copy : {0, 1}) EXPECT_EQ(CurOnDisk(copy, 1, 3), -1);

  Entry().curBlk[1][3] = 1;  // channel 3 fills another block: its row stays
  Entry().blkCnt[1][3] = 0;
  io().Reset();
  ASSERT_EQ(df_ReleaseBlock(kDisk, 4, 3, 1), 0);
  EXPECT_EQ(io().Writes(), ChangePlaces(1, false, true, 4));
  EXPECT_EQ(Entry().blkCnt[1][3], 0u);  // never below 0

  io().Reset();
  ASSERT_EQ(df_ReleaseBlock(kDisk, 3, 13, 16), 0);  // no type: the map only
  EXPECT_EQ(io().Writes(), ChangePlaces(0, false, false, 3));
  EXPECT_EQ(Entry().blkCnt[1][13], 1u);
  ASSERT_EQ(df_TagBadBlock(kDisk, 2), 0);
  ASSERT_EQ(df_ReleaseBlock(kDisk, 2, 12, 1), 0);  // a bad block becomes free
  EXPECT_EQ(Entry().blkMap[2], kBlkFree);
}

TEST_F(AllocateTest, ChangeWhoseCopy0FailsHoldsThroughCopy1) {
  FailWrites(MapPlaceA(0), MapPlaceA(0) + 1);
  ASSERT_EQ(Allocate(dev_, 0), 0);
  EXPECT_EQ(Entry().mapIndex, 1u);  // copy 0 held through its place B

  FailWrites(MapPlaceB(0), MapPlaceB(0) + 1);
  io().Reset();
  ASSERT_EQ(Allocate(dev_, 1), 1);  // copy 0's map failed wholly
  EXPECT_EQ(Entry().mapIndex, 0u);  // from copy 1's place A
  EXPECT_EQ(CurOnDisk(1, 0, 1), 1);
  EXPECT_EQ(io().Writes().count({CurBlkPage(0, 0), kTablePageSize}), 0u);  // tables follow the map

  FailWrites(CopyBase(1), CopyBase(2));
  EXPECT_EQ(Allocate(dev_, 2), -1);
  EXPECT_EQ(Entry().blkMap[2], kBlkUsed);  // kept in the image; the caller was told no
}

// A copy whose writes failed keeps its older update count, so the next
// mount takes the other copy, which holds the change, and writes the
// lagging one level.  Mounting the lagging copy would hand block 0 out again.
TEST_F(AllocateTest, ACopyWhoseWritesFailedIsBehindAndTheNextMountTakesTheOther) {
  uint64_t before = At<DfDiskHeader>(HeaderPlace(0)).updateCount;
  FailWrites(CopyBase(0), CopyBase(1));
  ASSERT_EQ(Allocate(dev_, 0), 0);
  faults().Clear();
  EXPECT_EQ(At<DfDiskHeader>(HeaderPlace(0)).updateCount, before);
  EXPECT_EQ(At<DfDiskHeader>(HeaderPlace(1)).updateCount, before + 1);
  ASSERT_EQ(df_DiskUnmout(dev_.c_str()), 0);  // the shared image is lost
  ASSERT_EQ(df_DiskMount(dev_.c_str()), 0);
  EXPECT_EQ(Entry().blkMap[0], kBlkUsed);
  EXPECT_EQ(At<uint8_t>(MapPlaceA(0)), kBlkUsed);
  EXPECT_EQ(Entry().head.repair.fault, CopyFault::kBehind);
  EXPECT_EQ(Allocate(dev_, 1), 1);
}

// A crash after release wrote copy 0's map but before its current-block page
// leaves the block free in the map and current for its channel: the old
// channel must not keep it while another channel takes it.
TEST_F(AllocateTest, ReleaseCutShortAfterTheMapDoesNotLeadToASharedBlock) {
  ASSERT_EQ(Allocate(dev_, 1), 0);
  FailWrites(BlkCntPage(0, 15), MapPlaceB(0));  // copy 0's tables
  FailWrites(CopyBase(1), CopyBase(2));
  EXPECT_EQ(df_ReleaseBlock(kDisk, 0, 1, 0), -1);
  faults().Clear();
  ASSERT_EQ(At<uint8_t>(MapPlaceA(0)), kBlkFree);
  ASSERT_EQ(CurOnDisk(0, 0, 1), 0);
  ASSERT_EQ(df_DiskUnmout(dev_.c_str()), 0);  // the shared image is lost
  ASSERT_EQ(df_DiskMount(dev_.c_str()), 0);
  int32_t oldChannel = Allocate(dev_, 1);
  EXPECT_NE(oldChannel, Allocate(dev_, 2));
  EXPECT_EQ(Entry().blkMap[oldChannel], kBlkUsed);
}

TEST_F(AllocateTest, WritesAreRefusedWhileTheDiskIsAbsent) {
  ASSERT_EQ(Allocate(dev_, 0), 0);
  faults().Add({.call = Call::kPresence, .pathContains = "host03", .fault = Fault::kAbsent});
  io().Reset();
  EXPECT_EQ(Allocate(dev_, 0), 0);  // keeping writes nothing
  EXPECT_EQ(Allocate(dev_, 1), -1);
  EXPECT_EQ(Entry().blkMap[1], kBlkFree);  // its head could not be cleared
  EXPECT_EQ(df_TagBadBlock(kDisk, 2), -1);
  EXPECT_EQ(df_TagBadUnit(dev_.c_str(), BlockAddr(3), 1), -1);
  EXPECT_EQ(df_ReleaseBlock(kDisk, 0, 0, 0), -1);
  EXPECT_EQ(df_DiskFormat(dev_.c_str()), -1);
  EXPECT_TRUE(io().Writes().empty());
  EXPECT_EQ(df_IsDiskOnline(g_dfDiskTable[kDisk].fd), 0);
  df_SetOnlineCheck(0);  // for drivers that cannot answer
  EXPECT_EQ(df_IsDiskOnline(-1), 1);
  EXPECT_EQ(df_DiskFormat(dev_.c_str()), 0);
  df_SetOnlineCheck(1);
}

}  // namespace
}  // namespace zrfs::test
