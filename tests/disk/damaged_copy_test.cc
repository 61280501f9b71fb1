// The mount's choice between the metadata copies.  It takes the newest copy
// that passes every check, falls back to the other when that one is
// damaged, marks used every block a possibly lagging copy shows free whose
// own header holds files, and writes the damaged or lagging copy whole
// again, recording what it did.
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "block/mounted_image.h"
#include "format/copy_checks.h"
#include "support/recording_io.h"

namespace {

using namespace zrfs;
using namespace zrfs::test;

enum class Damage { kNone, kHeader, kMap, kTables };

class DamagedCopyTest : public MountedImage<Layer::kApi> {
 protected:
  // What the library writes of a copy: its header, then the count pages,
  // the current-block pages and both map places, which lie together.
  std::string CopyBytes(int copy) {
    return ReadImage(HeaderPlace(copy), sizeof(DfDiskHeader)) +
           ReadImage(BlkCntPage(copy, kBlockTypes - 1), 0x60000);
  }
  void PutCopyBytes(int copy, const std::string &bytes) {
    WriteImage(HeaderPlace(copy), bytes.data(), sizeof(DfDiskHeader));
    WriteImage(BlkCntPage(copy, kBlockTypes - 1), bytes.data() + sizeof(DfDiskHeader),
               bytes.size() - sizeof(DfDiskHeader));
  }
  void Spoil(int copy, Damage damage) {
    std::string junk(kMaxBlocks, char(0x5A));  // no block state, no block id
    switch (damage) {
      case Damage::kNone:
        break;
      case Damage::kHeader:
        WriteImage(HeaderPlace(copy), "JUNK", 4);
        break;
      case Damage::kMap:
        for (uint64_t place : {MapPlaceA(copy), MapPlaceB(copy)})
          WriteImage(place, junk.data(), junk.size());
        break;
      case Damage::kTables:
        WriteImage(CurBlkPage(copy, 0), junk.data(), kTablePageSize);
        break;
    }
  }
  // A closed recording of chan holding `fill` bytes; its name.
  std::string Record(uint32_t chan, const std::string &fill) {
    std::string name;
    int fd = CreateRecording(chan, &name);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(zrfs_Write(fd, fill.data(), uint32_t(fill.size())), int(fill.size()));
    zrfs_Close(fd);
    return name;
  }
  ::testing::AssertionResult ReadsBack(const std::string &name, const std::string &fill) {
    int fd = zrfs_Open(nullptr, const_cast<char *>(name.c_str()), 0);
    if (fd < 0) return ::testing::AssertionFailure() << name << " does not open";
    std::string back(fill.size(), '\0');
    int got = zrfs_Read(fd, back.data(), uint32_t(back.size()));
    zrfs_Close(fd);
    if (got != int(fill.size()) || back != fill)
      return ::testing::AssertionFailure() << name << " reads back " << got << " other bytes";
    return ::testing::AssertionSuccess();
  }
};

// Two recordings, the second in a block the lagging copy never heard of (a
// cut between the copies, or writes to it that failed), then damage.  Every
// case fails on taking copy 0 whatever it holds: its damage stays, and the
// cases where it lags hand the second recording's block out again.
TEST_F(DamagedCopyTest, MountTakesTheNewestWholeCopyAndMendsTheOther) {
  struct Case {
    const char *what;
    int lagging;  // the copy that missed the second block
    Damage damage;
    int damaged;
    CopyFault fault;  // recorded for the rewritten copy
    int used;
    uint32_t takenBack;  // the second block, when the copy taken lagged
  } cases[] = {
      {"copy 0 header refused", 1, Damage::kHeader, 0, CopyFault::kHeaderRefused, 1, 1},
      {"copy 0 map holds stray bytes", 1, Damage::kMap, 0, CopyFault::kMapStrayStates, 1, 1},
      {"copy 0 table beyond the disk", 1, Damage::kTables, 0, CopyFault::kTableOutOfRange, 1, 1},
      {"copy 0 behind", 0, Damage::kNone, 0, CopyFault::kBehind, 1, 0},
      {"copy 1 map holds stray bytes", 1, Damage::kMap, 1, CopyFault::kMapStrayStates, 0, 0},
  };
  const std::string fills[2] = {std::string(100000, 'r'), std::string(70000, 'q')};
  const std::string zeros(sizeof(BlkHeader), '\0');
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_EQ(zrfs_UnMount(dev_.c_str()), 0);
    for (int blk = 0; blk < 4; ++blk) WriteImage(BlockAddress(blk), zeros.data(), zeros.size());
    ASSERT_EQ(zrfs_Format(dev_.c_str()), 0);
    ASSERT_EQ(zrfs_Mount(dev_.c_str()), 0);
    std::string names[2];
    names[0] = Record(1, fills[0]);
    std::string before = CopyBytes(c.lagging);
    names[1] = Record(2, fills[1]);
    ASSERT_EQ(zrfs_UnMount(dev_.c_str()), 0);  // the last: the next mount reads the device
    PutCopyBytes(c.lagging, before);
    Spoil(c.damaged, c.damage);

    ASSERT_EQ(zrfs_Mount(dev_.c_str()), 0) << zrfs_StrError(zrfs_LastError());
    for (int i = 0; i < 2; ++i) EXPECT_TRUE(ReadsBack(names[i], fills[i]));
    EXPECT_TRUE(CopyBytes(0) == CopyBytes(1)) << "the copies still differ";
    auto head = ReadRecord<DfDiskHeader>(HeaderPlace(0));
    EXPECT_EQ(head.repair.fault, c.fault);
    EXPECT_EQ(head.repair.usedCopy, c.used);
    EXPECT_EQ(head.repair.rewrittenCopy, 1 - c.used);
    EXPECT_EQ(head.repair.blocksTakenBack, c.takenBack);
    char dump[4096] = {};
    zrfs_GetDebugInfo(dump, sizeof dump);
    std::string told = "a mount took copy " + std::to_string(c.used) + " and rewrote copy " +
                       std::to_string(1 - c.used) + " (" + CopyFaultText(c.fault) + ")";
    EXPECT_NE(std::string(dump).find(told), std::string::npos) << dump;

    // No block is handed out twice: the two free blocks go to two channels,
    // then the disk is full, and the recordings are untouched.
    std::set<int> blocks = {BlockOfName(names[0]), BlockOfName(names[1])};
    for (uint32_t chan = 3; chan < 8; ++chan) {
      std::string name;
      int fd = CreateRecording(chan, &name);
      if (fd < 0) break;
      EXPECT_TRUE(blocks.insert(BlockOfName(name)).second) << name << " in a block in use";
      zrfs_Close(fd);
    }
    EXPECT_EQ(blocks.size(), 4u);
    for (int i = 0; i < 2; ++i) EXPECT_TRUE(ReadsBack(names[i], fills[i]));
  }
}

// With no whole copy there is nothing to mend from: the newest readable one
// is taken as it is, and nothing is written.  Stray map states are never
// handed out.
TEST_F(DamagedCopyTest, WithNoWholeCopyTheNewestIsTakenAsItIsAndNothingIsMended) {
  std::string name = Record(1, "kept");
  ASSERT_EQ(zrfs_UnMount(dev_.c_str()), 0);
  uint8_t stray = 0x5A;
  for (int copy : {0, 1})
    for (uint64_t place : {MapPlaceA(copy), MapPlaceB(copy)}) WriteImage(place + 3, &stray, 1);
  std::string copy0 = CopyBytes(0);
  ASSERT_EQ(zrfs_Mount(dev_.c_str()), 0);
  EXPECT_TRUE(ReadsBack(name, "kept"));
  EXPECT_TRUE(CopyBytes(0) == copy0);
  EXPECT_EQ(ReadRecord<DfDiskHeader>(HeaderPlace(0)).repair.fault, CopyFault::kNone);
  for (uint32_t chan = 2; chan < 4; ++chan) {
    int fd = CreateRecording(chan);
    EXPECT_GE(fd, 0);
    zrfs_Close(fd);
  }
  EXPECT_EQ(CreateRecording(4), -1);  // block 3 is neither free nor used
}

}  // namespace
