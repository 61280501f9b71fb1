// Formatting: the exact bytes written, the size rules, and the fall-backs
// when one metadata copy cannot be written.
#include <ctime>
#include <set>

#include "disk/disk_fixture.h"

namespace zrfs::test {
namespace {

// Every place format writes, with its length: both headers, both map places
// and the 32 table pages of each copy.
std::set<std::pair<uint64_t, size_t>> FormatPlaces(std::initializer_list<int> copies) {
  std::set<std::pair<uint64_t, size_t>> places;
  for (int copy : copies) {
    places.insert({HeaderPlace(copy), 512});
    places.insert({MapPlaceA(copy), kMaxBlocks});
    places.insert({MapPlaceB(copy), kMaxBlocks});
    for (int type = 0; type < kBlockTypes; ++type) {
      places.insert({CurBlkPage(copy, type), kTablePageSize});
      places.insert({BlkCntPage(copy, type), kTablePageSize});
    }
  }
  return places;
}

std::set<std::pair<uint64_t, size_t>> Places(const std::vector<Transfer> &transfers) {
  std::set<std::pair<uint64_t, size_t>> out;
  for (const Transfer &t : transfers) out.insert({t.offset, t.len});
  return out;
}

class FormatTest : public DiskTest {
 protected:
  // Fills the first 17 MiB with a pattern, so bytes format leaves alone
  // stay recognisable.
  void Scribble() {
    std::string junk(CopyBase(2), char(0xAA));
    WriteImage(root_, dev_, 0, junk.data(), junk.size());
  }
  bool AllBytes(uint64_t offset, size_t len, char value) {
    return Image(offset, len) == std::string(len, value);
  }
};

TEST_F(FormatTest, WritesHeaderMapsAndTablesOfBothCopiesAndNothingElse) {
  Scribble();
  io().Reset();
  int64_t before = time(nullptr);
  ASSERT_EQ(df_DiskFormat(dev_.c_str()), 0);

  std::vector<Transfer> writes = io().Writes();
  EXPECT_EQ(writes.size(), 70u);  // 2 headers, 2 x (2 map places + 32 pages)
  EXPECT_EQ(Places(writes), FormatPlaces({0, 1}));
  EXPECT_EQ(writes.front().offset, HeaderPlace(0));  // headers first, then copy 0
  EXPECT_EQ(writes[1].offset, HeaderPlace(1));
  EXPECT_EQ(writes[2].offset, MapPlaceA(0));

  for (int copy : {0, 1}) {
    SCOPED_TRACE(copy);
    std::string raw = Image(HeaderPlace(copy), 512);
    EXPECT_EQ(raw.substr(0, 8), std::string("ZRFS\0\0\0\0", 8));
    auto head = ReadRecord<DfDiskHeader>(root_, dev_, HeaderPlace(copy));
    EXPECT_EQ(head.ver, 2u);
    EXPECT_EQ(head.metaSize, 0x800000u);
    EXPECT_EQ(head.unitSize, 0x40000000u);
    EXPECT_GE(head.createTime, before);
    EXPECT_LE(head.createTime, time(nullptr));
    EXPECT_EQ(head.dataStart, 0x41100000u);
    EXPECT_EQ(head.tolblk, kBlocks);
    EXPECT_EQ(head.dataEnd, 0x41100000u + kBlocks * kUnit);
    std::string zeros(444, '\0');
    EXPECT_EQ(raw.substr(68), zeros);
    EXPECT_EQ(raw.substr(20, 4), std::string(4, '\0'));
    EXPECT_EQ(raw.substr(32, 16), std::string(16, '\0'));

    EXPECT_TRUE(AllBytes(MapPlaceA(copy), kMaxBlocks, 0));
    EXPECT_TRUE(AllBytes(MapPlaceB(copy), kMaxBlocks, 0));
    EXPECT_TRUE(AllBytes(CurBlkPage(copy, 15), 16 * kTablePageSize, char(0xFF)));  // all -1
    EXPECT_TRUE(AllBytes(BlkCntPage(copy, 15), 16 * kTablePageSize, 0));
    // The rest of the copy is left alone.
    EXPECT_TRUE(AllBytes(HeaderPlace(copy) + 512, 0x7A0000 - 512, char(0xAA)));
  }
  EXPECT_TRUE(AllBytes(0, kFirstCopyBase, char(0xAA)));  // the first MiB
  EXPECT_EQ(df_IsDiskReady(kDisk), -1);                  // formatted, not mounted
}

TEST_F(FormatTest, BlockCountFollowsTheDeviceSizeAndNeverPassesItsEnd) {
  struct Case {
    uint64_t deviceBytes;
    int result;
    uint32_t tolblk;
  } cases[] = {
      {0x3FFFFFFF, -1, 0},
      {0x40000000, -1, 0},
      {ImageBytesFor(1) - 1, -1, 0},  // no room for one block and the spare unit
      {ImageBytesFor(1), 0, 1},
      {2000398934016, 0, 1861},          // a 2 TB disk
      {0x800081100000 - 1, 0, 0x1FFFF},  // just below the cap
      {0x800081100000, 0, 0x20000},
      {~uint64_t{0} - 1, 0, 0x20000},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.deviceBytes);
    io().ReportDeviceBytes(c.deviceBytes);
    io().Reset();
    ASSERT_EQ(df_DiskFormat(dev_.c_str()), c.result);
    if (c.result != 0) {
      EXPECT_TRUE(io().Writes().empty());
      continue;
    }
    auto head = ReadRecord<DfDiskHeader>(root_, dev_, HeaderPlace(0));
    EXPECT_EQ(head.tolblk, c.tolblk);
    EXPECT_EQ(head.dataEnd, kDataStart + uint64_t(c.tolblk) * kUnit);
    EXPECT_LE(head.dataEnd + kUnit, c.deviceBytes);
  }
}

TEST_F(FormatTest, DeviceOfUnknownSizeIsRefused) {
  // Neither size request answers: size 0.
  faults().Add({.call = Call::kDeviceSize, .pathContains = "host03"});
  EXPECT_EQ(df_DiskFormat(dev_.c_str()), -1);
  faults().Clear();
  // The device cannot be opened to be measured: the size counts as all
  // ones, which must not turn into 0x20000 blocks.
  faults().Add({.call = Call::kOpen, .pathContains = "host03", .nth = 1});
  io().Reset();
  EXPECT_EQ(df_DiskFormat(dev_.c_str()), -1);
  EXPECT_TRUE(io().Writes().empty());
  faults().Clear();
  EXPECT_EQ(df_DiskFormat(dev_.c_str()), 0);
}

TEST_F(FormatTest, UnwritableFirstHeaderMeansOnlyCopy1IsWritten) {
  faults().Add({.call = Call::kWrite,
                .pathContains = "host03",
                .fromOffset = HeaderPlace(0),
                .toOffset = HeaderPlace(0) + 512});
  io().Reset();
  ASSERT_EQ(df_DiskFormat(dev_.c_str()), 0);
  std::set<std::pair<uint64_t, size_t>> expected = FormatPlaces({1});
  expected.insert({HeaderPlace(0), 512});  // tried and failed
  EXPECT_EQ(Places(io().Writes()), expected);
  EXPECT_EQ(io().Writes().size(), 36u);

  // Copy 1 alone must then be complete.
  faults().Add({.call = Call::kWrite,
                .pathContains = "host03",
                .fromOffset = BlkCntPage(1, 9),
                .toOffset = BlkCntPage(1, 9) + 1});
  EXPECT_EQ(df_DiskFormat(dev_.c_str()), -1);
}

TEST_F(FormatTest, OneCompleteCopyIsEnough) {
  faults().Add({.call = Call::kWrite,
                .pathContains = "host03",
                .fromOffset = CurBlkPage(0, 4),
                .toOffset = CurBlkPage(0, 4) + 1});
  EXPECT_EQ(df_DiskFormat(dev_.c_str()), 0);
  // One map place of copy 1 failing is no failure: the map got through.
  faults().Add({.call = Call::kWrite,
                .pathContains = "host03",
                .fromOffset = MapPlaceB(1),
                .toOffset = MapPlaceB(1) + 1,
                .fault = Fault::kShort,
                .shortBytes = 100});
  EXPECT_EQ(df_DiskFormat(dev_.c_str()), 0);
  faults().Add({.call = Call::kWrite,
                .pathContains = "host03",
                .fromOffset = BlkCntPage(1, 0),
                .toOffset = BlkCntPage(1, 0) + 1,
                .fault = Fault::kShort,
                .shortBytes = 100});
  EXPECT_EQ(df_DiskFormat(dev_.c_str()), -1);  // both copies now miss a page
}

TEST_F(FormatTest, AbsentDiskGetsNoWriteUnlessTheCheckIsOff) {
  faults().Add({.call = Call::kPresence, .pathContains = "host03", .fault = Fault::kAbsent});
  io().Reset();
  EXPECT_EQ(df_DiskFormat(dev_.c_str()), -1);
  EXPECT_TRUE(io().Writes().empty());
  EXPECT_EQ(df_IsDiskOnline(-1), 0);

  EXPECT_EQ(df_SetOnlineCheck(0), 0);
  EXPECT_EQ(df_IsDiskOnline(-1), 1);   // not even asked
  EXPECT_EQ(df_SetOnlineCheck(7), 0);  // ignored: still off
  EXPECT_EQ(df_IsDiskOnline(-1), 1);
  EXPECT_EQ(df_DiskFormat(dev_.c_str()), 0);
  EXPECT_EQ(df_SetOnlineCheck(1), 0);
}

TEST_F(FormatTest, FormatDropsEveryMountAndAMountAfterItCountsOnlyWhenFormatOpenedTheDevice) {
  FormatAndMount();
  EXPECT_EQ(df_IsDiskReady(kDisk), 0);
  ASSERT_EQ(df_DiskFormat(dev_.c_str()), 0);  // the descriptor of the mount stays open
  EXPECT_EQ(Entry().mounted, 0u);
  EXPECT_EQ(df_DiskMount(dev_.c_str()), 0);
  EXPECT_EQ(df_IsDiskReady(kDisk), -1);  // this process's descriptor was open: no count
  EXPECT_EQ(df_DiskUnmout(dev_.c_str()), 0);
  EXPECT_EQ(df_DiskMount(dev_.c_str()), 0);
  EXPECT_EQ(df_IsDiskReady(kDisk), 0);
}

TEST_F(FormatTest, PathsThatNameNoDiskAreRefused) {
  EXPECT_EQ(df_DiskFormat(nullptr), -1);
  EXPECT_EQ(df_DiskFormat("/dev/sda1"), -1);
  EXPECT_EQ(df_DiskFormat("/dev/scsi/host24/part1"), -1);
  EXPECT_EQ(df_DiskFormat("/dev/scsi/host99999999999999/part1"), -1);
  EXPECT_EQ(df_DiskFormat("/dev/scsi/host05/part1"), -1);  // no such device
}

}  // namespace
}  // namespace zrfs::test
