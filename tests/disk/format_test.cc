// Formatting: the exact bytes written, the block count a device size gives,
// and which copies are written when one cannot be.
#include <ctime>

#include "disk/disk_fixture.h"

namespace zrfs::test {
namespace {

Places CopyPlaces(int copy) {
  Places places{
      {HeaderPlace(copy), 512}, {MapPlaceA(copy), kMaxBlocks}, {MapPlaceB(copy), kMaxBlocks}};
  for (int type = 0; type < kBlockTypes; ++type) {
    places.insert({CurBlkPage(copy, type), kTablePageSize});
    places.insert({BlkCntPage(copy, type), kTablePageSize});
  }
  return places;
}

using FormatTest = DiskTest;

TEST_F(FormatTest, WritesHeaderMapsAndTablesOfBothCopiesAndNothingElse) {
  PutBytes(0, std::string(CopyBase(2), char(0xAA)));
  int64_t before = time(nullptr);
  ASSERT_EQ(df_DiskFormat(dev_.c_str()), 0);
  Places expected = CopyPlaces(0);
  expected.merge(CopyPlaces(1));
  EXPECT_EQ(io().Writes(), expected);

  EXPECT_EQ(Image(HeaderPlace(0), 512), Image(HeaderPlace(1), 512));
  EXPECT_EQ(Image(HeaderPlace(0), 8), std::string("ZRFS\0\0\0\0", 8));
  auto head = At<DfDiskHeader>(HeaderPlace(0));
  EXPECT_EQ(head.ver, 2u);
  EXPECT_EQ(head.metaSize, 0x800000u);
  EXPECT_EQ(head.unitSize, 0x40000000u);
  EXPECT_GE(head.createTime, before);
  EXPECT_EQ(head.dataStart, 0x41100000u);
  EXPECT_EQ(head.dataEnd, 0x41100000u + kBlocks * kUnit);
  EXPECT_EQ(head.tolblk, kBlocks);
  EXPECT_EQ(head.updateCount, 1u);  // the format is the disk's first change
  DfDiskHeader zeroed = head;       // everything else is zero
  zeroed.ver = zeroed.metaSize = zeroed.unitSize = zeroed.tolblk = 0;
  zeroed.updateCount = 0;
  zeroed.createTime = 0;
  zeroed.dataStart = zeroed.dataEnd = 0;
  memset(zeroed.magic, 0, 4);
  EXPECT_EQ(std::string(reinterpret_cast<char *>(&zeroed), 512), std::string(512, '\0'));

  for (int copy : {0, 1}) {
    EXPECT_EQ(Image(MapPlaceB(copy), 2 * kMaxBlocks), std::string(2 * kMaxBlocks, '\0'));
    EXPECT_EQ(Image(CurBlkPage(copy, 15), 0x10000), std::string(0x10000, char(0xFF)));  // -1
    EXPECT_EQ(Image(BlkCntPage(copy, 15), 0x10000), std::string(0x10000, '\0'));
    EXPECT_EQ(Image(HeaderPlace(copy) + 512, 0x79FE00), std::string(0x79FE00, char(0xAA)));
  }
  EXPECT_EQ(Image(0, kFirstCopyBase), std::string(kFirstCopyBase, char(0xAA)));

  // A new format counts on from the old one, so no header of the old
  // layout can look newer than the new one's.
  ASSERT_EQ(df_DiskFormat(dev_.c_str()), 0);
  EXPECT_EQ(At<DfDiskHeader>(HeaderPlace(1)).updateCount, 2u);
}

TEST_F(FormatTest, BlockCountNeverReachesPastTheDeviceEnd) {
  struct {
    uint64_t bytes;
    uint32_t tolblk;  // 0: format refused
  } cases[] = {{0x3FFFFFFF, 0},       {ImageBytesFor(1) - 1, 0},     {ImageBytesFor(1), 1},
               {2000398934016, 1861}, {0x800081100000 - 1, 0x1FFFF}, {0x800081100000, 0x20000},
               {~0ull - 1, 0x20000}};
  for (const auto &c : cases) {
    SCOPED_TRACE(c.bytes);
    io().fakeDeviceBytes = c.bytes;
    io().Reset();
    ASSERT_EQ(df_DiskFormat(dev_.c_str()), c.tolblk == 0 ? -1 : 0);
    if (c.tolblk == 0)
      EXPECT_TRUE(io().Writes().empty());
    else
      EXPECT_EQ(At<DfDiskHeader>(HeaderPlace(0)).tolblk, c.tolblk);
  }
  // A size that cannot be measured (no answer: 0; no open: all ones) is refused.
  io().fakeDeviceBytes = 0;
  faults().Add({.call = Call::kDeviceSize, .pathContains = "host03"});
  EXPECT_EQ(df_DiskFormat(dev_.c_str()), -1);
  faults().Clear();
  faults().Add({.call = Call::kOpen, .pathContains = "host03", .nth = 1});
  EXPECT_EQ(df_DiskFormat(dev_.c_str()), -1);
}

// Each copy's header goes out after its pages: a copy whose header cannot
// be written does not count, and the other must then be complete.
TEST_F(FormatTest, OneCompleteCopyIsEnough) {
  FailWrites(HeaderPlace(0), HeaderPlace(0) + 1);
  ASSERT_EQ(df_DiskFormat(dev_.c_str()), 0);
  Places expected = CopyPlaces(0);
  expected.merge(CopyPlaces(1));
  EXPECT_EQ(io().Writes(), expected);
  FailWrites(BlkCntPage(1, 9), BlkCntPage(1, 9) + 1);
  EXPECT_EQ(df_DiskFormat(dev_.c_str()), -1);  // and it must be complete

  faults().Clear();
  FailWrites(CurBlkPage(0, 4), CurBlkPage(0, 4) + 1);
  EXPECT_EQ(df_DiskFormat(dev_.c_str()), 0);
  FailWrites(MapPlaceB(1), MapPlaceB(1) + 1);  // one map place is no failure
  EXPECT_EQ(df_DiskFormat(dev_.c_str()), 0);
  FailWrites(BlkCntPage(1, 0), BlkCntPage(1, 0) + 1);
  EXPECT_EQ(df_DiskFormat(dev_.c_str()), -1);
}

}  // namespace
}  // namespace zrfs::test
