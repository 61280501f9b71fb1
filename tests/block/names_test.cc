#include <cstdlib>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "block/block_file.h"
#include "zrfs/bf.h"

namespace {

TEST(RecordNames, HaveTwentyFourCharactersForEachLockStateAndDisk) {
  struct {
    uint32_t disk, blk, fileNo;
    const char *tag;
    uint32_t lockFlag;
    const char *expected;
  } rows[] = {
      {0, 0x12, 1, "3A5F", 0, "H000001200013A5F0000C00."},
      {0, 0x12, 1, "3A5F", 1, "H000001200013A5F0000L00."},
      {0, 0x12, 1, "3A5F", 2, "H000001200013A5F0000B00."},
      {10, 0x1FFFF, 4095, "0000", 3, "Ha01FFFF0FFF00000000C00."},
      {23, 0, 7, "BEEF", 0, "Hn0000000007BEEF0000C00."},
  };
  for (const auto &row : rows) {
    char identity[8] = {'Z', 'R', 'N', 'D'};
    memcpy(identity + 4, row.tag, 4);
    char name[25];
    ASSERT_EQ(bf_MakeFileName(row.disk, row.blk, row.fileNo, name, identity, row.lockFlag), 0);
    EXPECT_STREQ(name, row.expected);
  }
}

TEST(RecordNames, NewIdentityGetsMagicAndATagRepeatedInTheName) {
  char identity[8] = {};
  char name[25];
  ASSERT_EQ(bf_MakeFileName(3, 5, 2, name, identity, 0), 0);
  EXPECT_EQ(memcmp(identity, "ZRND", 4), 0);
  for (int i = 4; i < 8; ++i)
    EXPECT_TRUE(isxdigit(identity[i]) && !islower(identity[i])) << identity[i];
  EXPECT_EQ(std::string(name + 12, 4), std::string(identity + 4, 4));
  EXPECT_EQ(strlen(name), 24u);
}

TEST(RecordNames, ParseReadsDiskAndBlockOrRefusesWhatIsNoName) {
  struct {
    const char *name;
    int result, disk, blk;
  } rows[] = {
      {"H3000A1B0002BEEF0000C00.mp4", 0, 3, 0xA1B},
      {"some/dir/HA000A1B0002BEEF0000C00.mp4", 0, 10, 0xA1B},      // 'A' and 'a': disk 10
      {"/dev/scsi/host5/H3000A1B0002BEEF0000C00.x", 0, 5, 0xA1B},  // the device path wins
      {"H3000A1B0002BEEF0000C00mp4", -1},                          // no full stop
      {"3000A1B0002BEEF0000C00.mp4", -1},                          // 22 before it
      {"H3000G1B0002BEEF0000C00.mp4", -1},                         // not hexadecimal
      {"H3000A1B0000BEEF0000C00.mp4", -1},                         // file 0: the block header
      {"H3000A1B1000BEEF0000C00.mp4", -1},                         // file 4096: data area
      // Exactly sized heap copies below: a read before the string's start
      // shows up under the address sanitizer.
      {".", -1},
      {"a.b", -1},
      {"H3000A1B0002BEEF0000C0.", -1},
      {"x", -1},
  };
  for (const auto &row : rows) {
    char *exact = strdup(row.name);
    int32_t pair[2] = {-9, -9};
    EXPECT_EQ(bf_ParseFileName(exact, pair), row.result) << row.name;
    if (row.result == 0) {
      EXPECT_EQ(pair[0], row.disk) << row.name;
      EXPECT_EQ(pair[1], row.blk) << row.name;
    }
    free(exact);
  }
  int32_t pair[2];
  EXPECT_EQ(bf_ParseFileName(nullptr, pair), -1);
  EXPECT_EQ(bf_ParseFileName("H3000A1B0002BEEF0000C00.mp4", nullptr), -1);
  zrfs::RecordName parsed;
  ASSERT_TRUE(zrfs::ParseRecordName("H3000A1B0fffbeef0000C00.", &parsed));
  EXPECT_EQ(parsed.fileNo, 4095u);
  EXPECT_EQ(std::string(parsed.tag, 4), "beef");
}

}  // namespace
