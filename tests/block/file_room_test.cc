// How far a record file's data may reach inside its block: writes reserve
// their room before any header records it, rings claim theirs when made,
// an older file stops at the next file's start, and a format leaves the
// handles made before it without any way to the device.
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "block/mounted_image.h"

namespace {

using namespace zrfs::test;
using zrfs::TfFileHeader;

constexpr uint32_t kDataStart = 0x200000;

class FileRoomTest : public MountedImage<Layer::kBlock> {
 protected:
  int Write(BfHandle *h, const TfFileHeader &file, uint32_t offset, uint32_t len) {
    std::string bytes(len, char(0x5A));
    return zrfs::WriteFileData(h, file.fileNo, offset, bytes.data(), len);
  }
};

TEST_F(FileRoomTest, AWriteReservesItsRoomBeforeAnyHeaderSaysSo) {
  TfFileHeader a, b;
  BfHandle *ha = CreateBlockFile(Param(1), &a);
  ASSERT_NE(ha, nullptr);
  ASSERT_EQ(Write(ha, a, kDataStart, 10000), 10000);  // the newest file grows freely
  // No sync yet: the block header still says the next file starts at 2 MiB.
  EXPECT_EQ(DiskBlockHeader(0).appendPos, kDataStart);
  BfHandle *hb = CreateBlockFile(Param(1), &b);
  ASSERT_EQ(hb, ha);
  EXPECT_EQ(b.StartAddr, kDataStart + 0x3000u);  // behind A's bytes, on a page boundary

  // A is no longer the newest: it may fill up to B's start, not beyond.
  EXPECT_EQ(Write(ha, a, kDataStart + 10000, 0x3000 - 10000), int(0x3000 - 10000));
  EXPECT_EQ(Write(ha, a, kDataStart + 0x3000 - 1, 2), -1);
  EXPECT_EQ(bf_GetErrorNo(ha), 28);
  EXPECT_EQ(ReadImage(BlockAddress(0) + kDataStart + 0x3000, 1), std::string(1, '\0'));
  bf_CloseFile(hb);
  bf_CloseFile(ha);
}

TEST_F(FileRoomTest, ARingClaimsItsWholeRoomWhenItIsMade) {
  TfFileHeader ring, next;
  BfHandle *hr = CreateBlockFile(Param(2, 1, 0x100000), &ring);
  ASSERT_NE(hr, nullptr);
  ASSERT_EQ(ring.preEnd, kDataStart + 0x100000u);
  BfHandle *hn = CreateBlockFile(Param(2), &next);
  ASSERT_NE(hn, nullptr);
  EXPECT_EQ(next.StartAddr, ring.preEnd);  // not at the append position, inside the ring

  // The unfixed ring may neither write nor read past its room now.
  EXPECT_EQ(Write(hr, ring, uint32_t(ring.preEnd) - 4096, 4096), 4096);
  EXPECT_EQ(Write(hr, ring, uint32_t(ring.preEnd), 1), -1);
  EXPECT_EQ(bf_GetErrorNo(hr), 28);
  char buf[100];
  EXPECT_EQ(zrfs::ReadFileData(hr, ring.fileNo, true, uint32_t(ring.preEnd) - 10, buf, 100), 10);
  EXPECT_EQ(zrfs::ReadFileData(hr, ring.fileNo, true, uint32_t(ring.preEnd), buf, 100), -1);
  // Without the bound a read still never leaves the block or enters its headers.
  EXPECT_EQ(zrfs::ReadFileData(hr, ring.fileNo, false, uint32_t(kUnit) - 10, buf, 100), 10);
  EXPECT_EQ(zrfs::ReadFileData(hr, ring.fileNo, false, 512, buf, 100), -1);
  bf_CloseFile(hn);
  bf_CloseFile(hr);
}

TEST_F(FileRoomTest, RemovedFilesLeaveTheirRoomToTheFileBefore) {
  TfFileHeader a, b, c, d;
  std::string nameB, nameC;
  BfHandle *ha = CreateBlockFile(Param(3), &a);
  ASSERT_EQ(Write(ha, a, kDataStart, 5000), 5000);
  BfHandle *hb = CreateBlockFile(Param(3), &b, &nameB);
  ASSERT_EQ(b.StartAddr, kDataStart + 0x2000u);
  ASSERT_EQ(Write(hb, b, kDataStart + 0x2000, 4096), 4096);
  BfHandle *hc = CreateBlockFile(Param(3), &c, &nameC);
  ASSERT_EQ(c.StartAddr, kDataStart + 0x3000u);
  bf_CloseFile(hb);
  bf_CloseFile(hc);

  ASSERT_EQ(bf_Unlink(nameB.c_str()), 0);  // A may now grow into B's room, up to C
  EXPECT_EQ(Write(ha, a, kDataStart + 5000, 0x3000 - 5000), int(0x3000 - 5000));
  EXPECT_EQ(Write(ha, a, kDataStart + 0x3000, 1), -1);
  EXPECT_EQ(bf_GetErrorNo(ha), 28);

  // With no later file left, A stops where the next new file will start.
  ASSERT_EQ(bf_Unlink(nameC.c_str()), 0);
  EXPECT_EQ(Write(ha, a, kDataStart + 0x3000, 1), -1);
  BfHandle *hd = CreateBlockFile(Param(3), &d);
  ASSERT_NE(hd, nullptr);
  EXPECT_EQ(d.StartAddr, kDataStart + 0x3000u);
  bf_CloseFile(hd);
  bf_CloseFile(ha);
}

// A power cut in an unlink can keep the block header's new count (no files)
// and lose the cleared file header: the file is still there, and the next
// file must not be placed over it.
TEST_F(FileRoomTest, ABlockCountingNoFilesKeepsTheRoomOfHeadersThatSurvived) {
  TfFileHeader a, b;
  BfHandle *ha = CreateBlockFile(Param(5), &a);
  ASSERT_EQ(Write(ha, a, kDataStart, 0x20000), 0x20000);
  a.EndAddr = kDataStart + 0x20000;
  ASSERT_EQ(bf_Sync(&a, ha), 0);
  bf_CloseFile(ha);
  zrfs::BlkHeader cut = DiskBlockHeader(0);
  cut.fileNum = 0;
  WriteImage(BlockAddress(0), &cut, sizeof cut);

  BfHandle *hb = CreateBlockFile(Param(5), &b);
  ASSERT_NE(hb, nullptr);
  EXPECT_EQ(b.fileNo, 2u);
  EXPECT_EQ(b.StartAddr, kDataStart + 0x20000u);
  EXPECT_EQ(memcmp(DiskFileHeader(0, 1).tag, a.tag, 4), 0);
  bf_CloseFile(hb);
}

TEST_F(FileRoomTest, AfterAFormatTheOldHandlesReachNothing) {
  TfFileHeader a, b;
  BfHandle *old = CreateBlockFile(Param(4), &a);
  ASSERT_NE(old, nullptr);
  ASSERT_EQ(Write(old, a, kDataStart, 4096), 4096);

  ASSERT_EQ(df_DiskFormat(dev_.c_str()), 0);
  ASSERT_EQ(df_DiskUnmout(dev_.c_str()), 0);
  ASSERT_EQ(df_DiskMount(dev_.c_str()), 0);
  BfHandle *fresh = CreateBlockFile(Param(4), &b);
  ASSERT_NE(fresh, nullptr);
  EXPECT_NE(fresh, old);  // block 0 again, through an entry of its own
  EXPECT_EQ(b.fileNo, 1u);
  EXPECT_EQ(b.StartAddr, kDataStart);

  char buf[4096] = {};
  EXPECT_EQ(Write(old, a, kDataStart, 4096), -1);
  EXPECT_EQ(bf_GetErrorNo(old), 5);
  EXPECT_EQ(bf_Write(kDataStart, buf, 4096, old), -1);
  EXPECT_EQ(bf_Read(kDataStart, buf, 4096, old), -1);
  a.EndAddr = kDataStart + 0x100000;
  EXPECT_EQ(bf_Sync(&a, old), -1);
  TfFileHeader onDisk = DiskFileHeader(0, 1);
  EXPECT_EQ(memcmp(onDisk.tag, b.tag, 4), 0);  // the new file's header, untouched
  EXPECT_EQ(DiskBlockHeader(0).appendPos, kDataStart);
  bf_CloseFile(old);
  bf_CloseFile(fresh);
}

}  // namespace
