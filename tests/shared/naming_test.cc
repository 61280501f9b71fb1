#include <gtest/gtest.h>

#include "zrfs/fsc.h"

namespace {

TEST(DiskNumberFromPath, FindsTheDigitsAfterThePrefixAnywhere) {
  EXPECT_EQ(fsc_GetDiskNumByPath("/dev/scsi/host3p2"), 3);
  EXPECT_EQ(fsc_GetDiskNumByPath("/dev/scsi/host03/part1"), 3);
  EXPECT_EQ(fsc_GetDiskNumByPath("/dev/scsi/host3/bus0"), 3);
  EXPECT_EQ(fsc_GetDiskNumByPath("/dev/scsi/host12/bus0/target0/lun0/part1"), 12);
  EXPECT_EQ(fsc_GetDiskNumByPath("/mnt/dev/scsi/host7p2"), 7);
  EXPECT_EQ(fsc_GetDiskNumByPath("/dev/scsi/host5/dev/scsi/host9"), 5);  // first prefix wins
}

TEST(DiskNumberFromPath, RefusesWhatIsNoDevicePath) {
  EXPECT_EQ(fsc_GetDiskNumByPath(nullptr), -1);
  EXPECT_EQ(fsc_GetDiskNumByPath("/dev/sda"), -1);
  EXPECT_EQ(fsc_GetDiskNumByPath(""), -1);
  EXPECT_EQ(fsc_GetDiskNumByPath("/dev/scsi/hos"), -1);
}

TEST(DiskNumberFromPath, NoDigitAfterThePrefixGivesZero) {
  EXPECT_EQ(fsc_GetDiskNumByPath("/dev/scsi/host"), 0);
  EXPECT_EQ(fsc_GetDiskNumByPath("/dev/scsi/hostx1"), 0);
  EXPECT_EQ(fsc_GetDiskNumByPath("/dev/scsi/host-1"), 0);
  EXPECT_EQ(fsc_GetDiskNumByPath("/dev/scsi/host 1"), 0);
}

TEST(DiskNumberFromPath, OverlongDigitRunStaysOutOfTheDiskRange) {
  int n = fsc_GetDiskNumByPath("/dev/scsi/host99999999999999999999999/part1");
  EXPECT_GT(n, 23);
  EXPECT_EQ(fsc_GetDiskNumByPath("/dev/scsi/host2147483647"), 2147483647);
}

TEST(DiskCharacters, ReadingAcceptsBothCasesUpToZ) {
  const char *digits = "0123456789abcdefghijklmnopqrstuvwxyz";
  for (int i = 0; i < 36; ++i) {
    EXPECT_EQ(fsc_DiskAtoI(digits[i]), i) << digits[i];
    if (i >= 10) EXPECT_EQ(fsc_DiskAtoI(digits[i] - 'a' + 'A'), i);
  }
  EXPECT_EQ(fsc_DiskAtoI('N'), 23);
  EXPECT_EQ(fsc_DiskAtoI('n'), 23);
  for (int c : {int('-'), int(' '), int('/'), int('@'), int('['), int('`'), int('{'), 0, 0xFF}) EXPECT_EQ(fsc_DiskAtoI(c), 0) << c;
}

TEST(DiskCharacters, WritingGivesLowerCaseUpToO) {
  EXPECT_EQ(fsc_DiskItoA(0), '0');
  EXPECT_EQ(fsc_DiskItoA(9), '9');
  EXPECT_EQ(fsc_DiskItoA(10), 'a');
  EXPECT_EQ(fsc_DiskItoA(23), 'n');
  EXPECT_EQ(fsc_DiskItoA(24), 'o');
  EXPECT_EQ(fsc_DiskItoA(25), '?');
  EXPECT_EQ(fsc_DiskItoA(0xFFFFFFFFu), '?');
  for (uint32_t disk = 0; disk < 24; ++disk) EXPECT_EQ(fsc_DiskAtoI(fsc_DiskItoA(disk)), static_cast<int>(disk));
}

TEST(BlockTypes, MapDataTypesToFiveCountingRows) {
  const uint32_t expected[] = {0, 0, 2, 1, 2, 3, 4, 0, 0};
  for (uint32_t type = 0; type < 9; ++type) EXPECT_EQ(fsc_GetBlkType(type), expected[type]) << type;
  EXPECT_EQ(fsc_GetBlkType(0xFFFFFFFFu), 0u);
}

}  // namespace
