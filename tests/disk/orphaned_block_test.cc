// A process killed inside an unlink, after its block's last file was
// counted out and before the block went back, leaves a used block that no
// file holds.  The next mount that reads the disk afresh, or a channel that
// finds no free block, takes such a block back, and never one a file still
// holds or a channel uses.
#include <cstring>
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "block/mounted_image.h"
#include "disk/disk_table.h"
#include "support/recording_io.h"

namespace {

using namespace zrfs;
using namespace zrfs::test;

class OrphanedBlockTest : public MountedImage<Layer::kApi> {
 protected:
  void SetUp() override {
    dev_ = MakeDisk(root_, 5);
    StartAndMount(Layer::kApi, dev_, true);
  }
  // Files opened to be written, as recorders do.
  int Create(uint32_t chan, std::string *name = nullptr) { return CreateRecording(chan, name, 1); }

  // A channel (0) records a file in one block and, while it is open, a second
  // one in another block, which becomes the channel's current block; both
  // are closed.  Returns the first file's name (and the second's).
  std::string RecordAndMoveOn(std::string *second = nullptr, uint32_t chan = 0) {
    std::string first;
    int a = Create(chan, &first);
    int b = Create(chan, second);
    EXPECT_GE(a, 0);
    EXPECT_GE(b, 0);
    EXPECT_EQ(zrfs_Write(a, "data", 4), 4);
    zrfs_Close(a);
    zrfs_Close(b);
    return first;
  }
  // What an unlink killed before its release leaves on the device: the
  // file's slot keeps only its number, the block header counts no file
  // (or, killed before counting it out, still counts it).
  void KillUnlinkBeforeRelease(const std::string &name, bool clearSlot = true,
                               bool countedOut = true) {
    int blk = BlockOfName(name);
    if (clearSlot) {
      TfFileHeader cleared{};
      cleared.fileNo = 1;
      WriteImage(BlockAddress(blk) + 512, &cleared, sizeof cleared);
    }
    BlkHeader head = DiskBlockHeader(blk);
    if (countedOut) head.fileNum = 0;
    WriteImage(BlockAddress(blk), &head, sizeof head);
  }
  // Three more channels take the three blocks left.
  void FillTheDisk(int fds[3]) {
    for (int i = 0; i < 3; ++i) ASSERT_GE(fds[i] = Create(uint32_t(1 + i)), 0);
  }
};

TEST_F(OrphanedBlockTest, AFullDiskTakesBackBlocksNoFileHolds) {
  // Killed after counting the file out, and before: both blocks hold none.
  std::string second;
  std::string first = RecordAndMoveOn(&second);
  KillUnlinkBeforeRelease(first);
  std::string third;
  int c = Create(20, &third);
  ASSERT_GE(c, 0);
  int other = Create(20);  // while `third` grows: another block, now the current one
  ASSERT_GE(other, 0);
  zrfs_Close(c);
  KillUnlinkBeforeRelease(third, true, /*countedOut=*/false);
  int filler = Create(1);  // the fifth and last free block
  ASSERT_GE(filler, 0);

  std::set<int> taken;
  for (uint32_t chan : {9u, 10u}) {
    std::string name;
    int fd = Create(chan, &name);
    ASSERT_GE(fd, 0) << zrfs_StrError(zrfs_LastError());
    taken.insert(BlockOfName(name));
    EXPECT_EQ(DiskBlockHeader(BlockOfName(name)).fileNum, 1u);  // the new file's, fresh header
    zrfs_Close(fd);
  }
  EXPECT_EQ(taken, (std::set<int>{BlockOfName(first), BlockOfName(third)}));
  TfFileStat st;
  EXPECT_EQ(zrfs_Stat(first.c_str(), &st), -1);
  // Nothing else to take back: the next channel finds the disk full.
  EXPECT_EQ(Create(11), -1);
  EXPECT_EQ(zrfs_LastError(), ZRFS_ENOSPC);
  zrfs_Close(filler);
  zrfs_Close(other);
}

TEST_F(OrphanedBlockTest, AMountThatReadsTheDiskGivesBackBlocksWhoseHeaderCountsNoFile) {
  constexpr uint32_t kChan = 7;
  struct {
    const char *state;
    bool current;
    uint32_t keptSlot;  // where a file header is left, 0: none
    bool countedOut, zeroHeader;
    bool givenBack;
  } rows[] = {
      {"killed after counting its last file out", false, 0, true, false, true},
      {"header area zeroed, the map not written", false, 0, true, true, true},
      {"header lost, a later file's header kept", false, 9, true, true, false},
      {"counting no file, a file header kept", false, 1, true, false, false},
      {"still counting the file", false, 0, false, false, false},  // left for the need
      {"its channel's current block", true, 0, true, false, false},
  };
  for (const auto &row : rows) {
    ASSERT_EQ(zrfs_UnMount(dev_.c_str()), 0);
    ASSERT_EQ(zrfs_Format(dev_.c_str()), 0);
    ASSERT_EQ(zrfs_Mount(dev_.c_str()), 0);
    std::string second;
    std::string first = RecordAndMoveOn(&second, kChan);
    zrfs_Close(Create(0));  // a block channel 0 counts
    const std::string &name = row.current ? second : first;
    int blk = BlockOfName(name);
    TfFileHeader file = DiskFileHeader(blk, 1);
    KillUnlinkBeforeRelease(name, row.keptSlot != 1, row.countedOut);
    if (row.keptSlot > 1) WriteImage(BlockAddress(blk) + row.keptSlot * 512ull, &file, 512);
    if (row.zeroHeader) WriteImage(BlockAddress(blk), std::string(512, '\0').data(), 512);
    auto count = [](uint32_t chan) { return g_dfDiskTable[3].entry->blkCnt[0][chan]; };
    uint32_t counted = count(kChan);
    ASSERT_EQ(zrfs_UnMount(dev_.c_str()), 0);  // the last mount: the next one reads the disk
    ASSERT_EQ(zrfs_Mount(dev_.c_str()), 0);
    EXPECT_EQ(MapByte(blk), row.givenBack ? 0 : 1) << row.state;
    // Counted out of its channel when the header still names it; a zeroed
    // header names none, and no other channel's count changes.
    EXPECT_EQ(count(kChan), counted - (row.givenBack && !row.zeroHeader)) << row.state;
    EXPECT_EQ(count(0), 1u) << row.state;
  }
}

TEST_F(OrphanedBlockTest, BlocksAFileStillHoldsOrAChannelUsesStay) {
  // The header counts no file but its slot still holds the record (a kill
  // between writing a new file's header and counting it in): kept.
  std::string second;
  std::string first = RecordAndMoveOn(&second);
  KillUnlinkBeforeRelease(first, /*clearSlot=*/false);
  // Channel 0's current block, whose only file's unlink was killed the
  // same way, holds nothing: kept for the channel, whose next file goes
  // there.
  KillUnlinkBeforeRelease(second);
  int fds[3];
  FillTheDisk(fds);
  EXPECT_EQ(Create(9), -1);
  EXPECT_EQ(zrfs_LastError(), ZRFS_ENOSPC);
  TfFileStat st;
  EXPECT_EQ(zrfs_Stat(first.c_str(), &st), 0);  // still readable by its name
  EXPECT_EQ(MapByte(BlockOfName(first)), 1);
  EXPECT_EQ(MapByte(BlockOfName(second)), 1);
  std::string next;
  int fd = Create(0, &next);
  EXPECT_EQ(BlockOfName(next), BlockOfName(second)) << zrfs_StrError(zrfs_LastError());
  zrfs_Close(fd);
  for (int f : fds) zrfs_Close(f);
}

}  // namespace
