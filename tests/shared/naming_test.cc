#include <gtest/gtest.h>

#include "zrfs/fsc.h"

namespace {

TEST(DiskNumberFromPath, ReadsTheDigitsAfterThePrefix) {
  struct {
    const char *path;
    int disk;
  } rows[] = {
      {"/dev/scsi/host3p2", 3},
      {"/dev/scsi/host03/part1", 3},
      {"/dev/scsi/host12/bus0/target0/lun0/part1", 12},
      {"/mnt/dev/scsi/host7p2", 7},           // the prefix anywhere
      {"/dev/scsi/host5/dev/scsi/host9", 5},  // the first prefix wins
      {"/dev/scsi/host2147483647", 2147483647},
      {"/dev/sda", -1},  // no device path
      {"", -1},
      {"/dev/scsi/hos", -1},
      {"/dev/scsi/host", 0},  // no digit after the prefix
      {"/dev/scsi/hostx1", 0},
      {"/dev/scsi/host-1", 0},
      {"/dev/scsi/host 1", 0},
  };
  for (const auto &row : rows) EXPECT_EQ(fsc_GetDiskNumByPath(row.path), row.disk) << row.path;
  EXPECT_EQ(fsc_GetDiskNumByPath(nullptr), -1);
  // An overlong digit run must not wrap round into the range of disks.
  EXPECT_GT(fsc_GetDiskNumByPath("/dev/scsi/host99999999999999999999999/part1"), 23);
}

TEST(DiskCharacters, ReadBothCasesUpToZAndWriteLowerCaseUpToO) {
  const char *digits = "0123456789abcdefghijklmnopqrstuvwxyz";
  for (int i = 0; i < 36; ++i) {
    EXPECT_EQ(fsc_DiskAtoI(digits[i]), i) << digits[i];
    if (i >= 10) EXPECT_EQ(fsc_DiskAtoI(digits[i] - 'a' + 'A'), i) << digits[i];
  }
  const int others[] = {'-', ' ', '/', '@', '[', '`', '{', 0, 0xFF};
  for (int c : others) EXPECT_EQ(fsc_DiskAtoI(c), 0) << c;
  for (uint32_t disk = 0; disk < 25; ++disk) EXPECT_EQ(fsc_DiskItoA(disk), digits[disk]) << disk;
  EXPECT_EQ(fsc_DiskItoA(25), '?');
  EXPECT_EQ(fsc_DiskItoA(0xFFFFFFFFu), '?');
}

TEST(BlockTypes, MapDataTypesToFiveCountingRows) {
  const uint32_t expected[] = {0, 0, 2, 1, 2, 3, 4, 0, 0};
  for (uint32_t type = 0; type < 9; ++type) EXPECT_EQ(fsc_GetBlkType(type), expected[type]) << type;
  EXPECT_EQ(fsc_GetBlkType(0xFFFFFFFFu), 0u);
}

}  // namespace
