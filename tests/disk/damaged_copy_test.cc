// A copy-0 header that reads but is wrong no longer stops the mount while
// copy 1 is whole: the mount takes copy 1, first marks used every block
// copy 1 shows free whose own header holds files (copy 1 may lag copy 0 by
// the change a crash cut short), and writes copy 0 whole again.
#include <string>

#include <gtest/gtest.h>

#include "block/mounted_image.h"
#include "support/recording_io.h"

namespace {

using namespace zrfs;
using namespace zrfs::test;

class DamagedCopyTest : public MountedImage<Layer::kApi> {
 protected:
  uint8_t Copy1MapByte(int blk) { return uint8_t(ReadImage(MapPlaceA(1) + uint64_t(blk), 1)[0]); }
};

TEST_F(DamagedCopyTest, MountTakesCopy1ReconcilesItsMapAndMendsCopy0) {
  std::string name;
  int fd = CreateRecording(1, &name);
  ASSERT_GE(fd, 0);
  std::string data(100000, 'r');
  ASSERT_EQ(zrfs_Write(fd, data.data(), uint32_t(data.size())), int(data.size()));
  zrfs_Close(fd);
  ASSERT_EQ(zrfs_UnMount(dev_.c_str()), 0);  // the last: the next mount reads the device
  int blk = BlockOfName(name);

  // Copy 1 missed the allocation (a crash between the copies), and copy 0's
  // header sector went bad in a way that still reads.
  uint8_t free = kBlkFree;
  WriteImage(MapPlaceA(1) + uint64_t(blk), &free, 1);
  WriteImage(MapPlaceB(1) + uint64_t(blk), &free, 1);
  DfDiskHeader good = ReadRecord<DfDiskHeader>(HeaderPlace(0));
  DfDiskHeader bad = good;
  memcpy(bad.magic, "JUNK", 4);
  WriteImage(HeaderPlace(0), &bad, sizeof bad);

  ASSERT_EQ(zrfs_Mount(dev_.c_str()), 0) << zrfs_StrError(zrfs_LastError());
  std::string back(data.size(), '\0');
  int reader = zrfs_Open(nullptr, name.data(), 0);
  ASSERT_GE(reader, 0);
  EXPECT_EQ(zrfs_Read(reader, back.data(), uint32_t(back.size())), int(back.size()));
  EXPECT_TRUE(back == data);
  zrfs_Close(reader);

  // Copy 0 is whole again, and both copies show the recording's block used.
  DfDiskHeader mended = ReadRecord<DfDiskHeader>(HeaderPlace(0));
  EXPECT_EQ(memcmp(&mended, &good, sizeof good), 0);
  EXPECT_EQ(MapByte(blk), kBlkUsed);
  EXPECT_EQ(Copy1MapByte(blk), kBlkUsed);

  // The block is never handed out again while its file lives.
  for (uint32_t chan = 2; chan < 5; ++chan) {
    std::string other;
    int w = CreateRecording(chan, &other);
    ASSERT_GE(w, 0);
    EXPECT_NE(BlockOfName(other), blk);
  }
  EXPECT_EQ(CreateRecording(9), -1);  // four blocks, four channels: full
}

}  // namespace
