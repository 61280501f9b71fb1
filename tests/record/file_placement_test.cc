// Where a channel's new file goes while other files of the channel are
// open: a block with a live writer takes no new file, and the channel comes
// back to a block it left once nothing there grows, instead of stranding
// that block's free room.
#include <string>

#include <gtest/gtest.h>

#include "block/mounted_image.h"
#include "support/processes.h"

namespace {

using namespace zrfs::test;

class PlacementTest : public MountedImage<Layer::kRecord> {
 protected:
  TfHandle *Create(uint32_t chan, uint32_t kind = 0, int32_t ring = 0) {
    FileCreateParam p = Param(chan, kind, ring);
    char buf[ZRFS_NAME_MAX] = {};
    TfHandle *h = tf_OpenFile(&p, buf);
    names_.push_back(buf);
    return h;
  }
  static int BlockOf(TfHandle *h) { return h->blockFile->share->blkid; }
  int Record(TfHandle *h, uint32_t len) {
    std::string bytes(len, char(0x33));
    return tf_Write(0, bytes.data(), len, h);
  }
  std::vector<std::string> names_;
};

// A continuous recording and alarm recordings of one channel: the alarms
// alternate between the two blocks instead of taking a block each.
TEST_F(PlacementTest, AChannelReturnsToTheBlockItLeftOnceNothingThereGrows) {
  TfHandle *continuous = Create(1);
  ASSERT_NE(continuous, nullptr);
  ASSERT_EQ(Record(continuous, 8192), 8192);
  TfHandle *alarm = Create(1, 1, 0x10000);  // the continuous file may still grow
  ASSERT_NE(alarm, nullptr);
  EXPECT_EQ(BlockOf(continuous), 0);
  EXPECT_EQ(BlockOf(alarm), 1);
  tf_CloseFile(alarm);
  tf_CloseFile(continuous);

  continuous = Create(1);  // the next piece follows the alarm in its block
  ASSERT_NE(continuous, nullptr);
  EXPECT_EQ(BlockOf(continuous), 1);
  alarm = Create(1, 1, 0x10000);  // back to block 0, behind the first piece
  ASSERT_NE(alarm, nullptr);
  EXPECT_EQ(BlockOf(alarm), 0);
  EXPECT_EQ(alarm->entry->header.preStart, 0x200000u + 8192);
  EXPECT_EQ(MapByte(2), 0);  // no third block
  tf_CloseFile(alarm);
  tf_CloseFile(continuous);

  // The turns are kept in the block headers, so a restarted recorder takes
  // them up: with its continuous file open in block 0, its alarm goes back
  // to block 1.
  EXPECT_EQ(DiskBlockHeader(0).returnBlk, 1u + 1);
  EXPECT_TRUE(RunInChildren(
      1,
      [&](int) {
        StartAndMount(Layer::kRecord, dev_, false);
        TfHandle *piece = Create(1);
        ASSERT_NE(piece, nullptr);
        EXPECT_EQ(BlockOf(piece), 0);
        TfHandle *next = Create(1, 1, 0x10000);
        ASSERT_NE(next, nullptr);
        EXPECT_EQ(BlockOf(next), 1);
        tf_CloseFile(next);
        tf_CloseFile(piece);
      },
      std::chrono::seconds(30)));
  EXPECT_EQ(MapByte(2), 0);
}

// Only writers keep a new file out: a file held open just to be read, or
// one whose writer let go, leaves its block to the next file.
TEST_F(PlacementTest, FilesOpenOnlyForReadingKeepNoNewFileOut) {
  TfHandle *first = Create(2);
  ASSERT_NE(first, nullptr);
  ASSERT_EQ(Record(first, 4096), 4096);
  tf_CloseFile(first);
  TfHandle *reader = tf_OpenFile(nullptr, names_[0].data());
  ASSERT_NE(reader, nullptr);
  char byte;
  ASSERT_EQ(tf_Read(0, &byte, 1, reader), 1);
  TfHandle *second = Create(2);
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(BlockOf(second), BlockOf(reader));
  EXPECT_EQ(second->entry->header.StartAddr, 0x200000u + 4096);

  // Writing through the reader makes it a writer (even a write refused at
  // the second file's start): with the second file's writer gone, the
  // block is still busy, so the next file moves on.
  EXPECT_EQ(tf_Write(4096, "x", 1, reader), -1);
  EXPECT_EQ(tf_GetErrorNo(reader), 28);
  int block = BlockOf(second);
  tf_CloseFile(second);
  TfHandle *third = Create(2);
  ASSERT_NE(third, nullptr);
  EXPECT_NE(BlockOf(third), block);
  tf_CloseFile(third);
  tf_CloseFile(reader);
}

}  // namespace
