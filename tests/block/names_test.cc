#include <cstdlib>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "block/block_file.h"
#include "zrfs/bf.h"

namespace {

using zrfs::ParseRecordName;
using zrfs::RecordName;

std::string Make(uint32_t disk, uint32_t blk, uint32_t fileNo, const char *tag, uint32_t lockFlag) {
  char identity[8];
  memcpy(identity, "ZRND", 4);
  memcpy(identity + 4, tag, 4);
  char name[25];
  EXPECT_EQ(bf_MakeFileName(disk, blk, fileNo, name, identity, lockFlag), 0);
  return name;
}

TEST(RecordNames, HaveTwentyFourCharactersForEachLockState) {
  EXPECT_EQ(Make(0, 0x12, 1, "3A5F", 0), "H000001200013A5F0000C00.");
  EXPECT_EQ(Make(0, 0x12, 1, "3A5F", 1), "H000001200013A5F0000L00.");
  EXPECT_EQ(Make(0, 0x12, 1, "3A5F", 2), "H000001200013A5F0000B00.");
  EXPECT_EQ(Make(10, 0x1FFFF, 4095, "0000", 3), "Ha01FFFF0FFF00000000C00.");
  EXPECT_EQ(Make(23, 0, 7, "BEEF", 0)[1], 'n');
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

TEST(RecordNames, ParseReadsDiskAndBlockFromTheFullStop) {
  int32_t pair[2] = {-9, -9};
  ASSERT_EQ(bf_ParseFileName("H3000A1B0002BEEF0000C00.mp4", pair), 0);
  EXPECT_EQ(pair[0], 3);
  EXPECT_EQ(pair[1], 0xA1B);
  ASSERT_EQ(bf_ParseFileName("some/dir/HA000A1B0002BEEF0000C00.mp4", pair), 0);
  EXPECT_EQ(pair[0], 10);  // 'A' and 'a' both name disk 10
  ASSERT_EQ(bf_ParseFileName("/dev/scsi/host5/H3000A1B0002BEEF0000C00.x", pair), 0);
  EXPECT_EQ(pair[0], 5);  // a device path in front names the disk
}

TEST(RecordNames, ParseRefusesWhatIsNoName) {
  int32_t pair[2];
  EXPECT_EQ(bf_ParseFileName(nullptr, pair), -1);
  EXPECT_EQ(bf_ParseFileName("H3000A1B0002BEEF0000C00.mp4", nullptr), -1);
  EXPECT_EQ(bf_ParseFileName("H3000A1B0002BEEF0000C00mp4", pair), -1);   // no full stop
  EXPECT_EQ(bf_ParseFileName("3000A1B0002BEEF0000C00.mp4", pair), -1);   // 22 before it
  EXPECT_EQ(bf_ParseFileName("H3000G1B0002BEEF0000C00.mp4", pair), -1);  // not hexadecimal
  EXPECT_EQ(bf_ParseFileName("H3000A1B0000BEEF0000C00.mp4", pair), -1);  // file 0: the block header
  EXPECT_EQ(bf_ParseFileName("H3000A1B1000BEEF0000C00.mp4", pair), -1);  // file 4096: data area
  RecordName parsed;
  ASSERT_TRUE(ParseRecordName("H3000A1B0fffbeef0000C00.", &parsed));
  EXPECT_EQ(parsed.fileNo, 4095u);
  EXPECT_EQ(std::string(parsed.tag, 4), "beef");
}

TEST(RecordNames, ShortStringsAreNeverReadOutsideTheirBytes) {
  // Exactly sized heap copies: a read before the string's start shows up
  // under the address sanitizer.
  for (const char *text : {".", "a.b", "H3000A1B0002BEEF0000C0.", "x"}) {
    size_t len = strlen(text) + 1;
    char *exact = static_cast<char *>(malloc(len));
    memcpy(exact, text, len);
    int32_t pair[2];
    EXPECT_EQ(bf_ParseFileName(exact, pair), -1) << text;
    free(exact);
  }
}

}  // namespace
