// zrfs check on damaged images: each kind of damage is found, reported at
// its place, and mended by --repair without losing the recordings, after
// which a second check is clean.
#include <cstdint>
#include <cstring>
#include <random>

#include "tools/tool_harness.h"

namespace zrfs::test {
namespace {

// Places on an image formatted with 1 GiB blocks.
constexpr uint64_t kCopyBase[2] = {0x100000, 0x900000};
constexpr uint64_t kMapPlace[2][2] = {{0x8E0000, 0x8C0000},
                                      {0x10E0000, 0x10C0000}};  // [copy][A, B]
constexpr uint64_t kBlock0 = 0x41100000;
constexpr uint64_t kUnit = 0x40000000;
uint64_t CurEntry(int copy, int type, int chan) {
  return kCopyBase[copy] + 0x7BF000 - uint64_t(type) * 0x1000 + uint64_t(chan) * 4;
}
uint64_t CntEntry(int copy, int type, int chan) {
  return kCopyBase[copy] + 0x7AF000 - uint64_t(type) * 0x1000 + uint64_t(chan) * 4;
}
uint64_t FileHeader(int blk, int fileNo) {
  return kBlock0 + uint64_t(blk) * kUnit + fileNo * 512u;
}
constexpr uint64_t kStartAddrField = 88;
constexpr uint64_t kEndAddrField = 96;
constexpr uint64_t kFileNumField = 44;
constexpr uint64_t kLastFileNoField = 64;
constexpr uint64_t kUpdateCountField = 72;  // of the disk header
constexpr uint64_t kRepairField = 80;

// Exit bits of check.
constexpr int kCorrected = 1, kUncorrected = 4, kOperational = 8;

// A formatted 4-block image holding two recordings of channel 3 in block 0
// (64 KiB each, so their ends fall on the 4 KiB steps of the append
// position) and one of channel 5 in block 1.
class ToolCheckTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SKIP_WITHOUT_TOOL();
    ASSERT_EQ(Run({"mkimage", image_, "--blocks", "4"}).status, 0);
    ASSERT_EQ(Run({"format", image_}).status, 0);
    for (int i = 0; i < 3; ++i) {
      std::mt19937 gen(unsigned(i) + 1);
      std::string bytes(65536, '\0');
      for (char &c : bytes) c = char(gen());
      std::string file = dir_ / ("rec" + std::to_string(i));
      WriteFile(file, bytes);
      ToolResult r = Run({"import", image_, file, "--channel", i < 2 ? "3" : "5"});
      ASSERT_EQ(r.status, 0) << r.err;
      names_.push_back(r.out.substr(0, r.out.size() - 1));
      data_.push_back(bytes);
    }
    ASSERT_EQ(Run({"check", image_}).status, 0);
  }
  ToolResult Run(std::vector<std::string> args) { return RunTool(args, dir_.path()); }

  // Check finds the damage where it is; repair mends it; check is then
  // clean and every recording reads back as it was recorded.
  void ExpectFoundAndRepaired(const std::string &where, const std::string &what) {
    ToolResult found = Run({"check", image_});
    EXPECT_EQ(found.status, kUncorrected) << found.out;
    EXPECT_NE(found.out.find(where + ": "), std::string::npos) << found.out;
    EXPECT_NE(found.out.find(what), std::string::npos) << found.out;
    EXPECT_NE(found.out.find("--repair"), std::string::npos) << found.out;

    ToolResult repaired = Run({"check", "--repair", image_});
    EXPECT_EQ(repaired.status, kCorrected) << repaired.out << repaired.err;
    EXPECT_NE(repaired.out.find("repairs made:"), std::string::npos) << repaired.out;
    EXPECT_NE(repaired.out.find("after repair: clean"), std::string::npos) << repaired.out;

    ToolResult again = Run({"check", image_});
    EXPECT_EQ(again.status, 0) << again.out;
    EXPECT_NE(again.out.find("0 error(s), 0 warning(s)"), std::string::npos) << again.out;
    for (size_t i = 0; i < names_.size(); ++i) {
      ToolResult exported = Run({"export", image_, names_[i]});
      EXPECT_EQ(exported.status, 0) << exported.err;
      EXPECT_TRUE(exported.out == data_[i]) << names_[i] << " changed";
    }
  }

  ScratchDir dir_;
  std::string image_ = dir_ / "disk.img";
  std::vector<std::string> names_;
  std::vector<std::string> data_;
};

TEST_F(ToolCheckTest, FlippedByteInCopy0HeaderIsRewrittenFromCopy1) {
  std::string tolblk = PeekBytes(image_, kCopyBase[0] + 64, 1);
  tolblk[0] ^= 0x40;  // 4 blocks become 68: past the image's end
  PokeBytes(image_, kCopyBase[0] + 64, tolblk.data(), 1);
  ExpectFoundAndRepaired("copy 0 header", "past the device's end");
}

TEST_F(ToolCheckTest, BrokenMagicOfCopy0IsFoundAndTheDiskStillMountsAfterRepair) {
  PokeBytes(image_, kCopyBase[0], "ZRFX", 4);
  EXPECT_EQ(Run({"ls", image_}).status, 0);  // as a mount takes it: from copy 1
  ExpectFoundAndRepaired("copy 0 header", "no \"ZRFS\" magic");
  EXPECT_EQ(Run({"ls", image_}).status, 0);
}

// A copy left behind by a change cut short between the copies, and a repair
// a mount recorded, are told as notes: the disk is clean.
TEST_F(ToolCheckTest, ACopyBehindAndWhatAMountMendedAreNotes) {
  uint64_t updates = 0;
  memcpy(&updates, PeekBytes(image_, kCopyBase[0] + kUpdateCountField, 8).data(), 8);
  Poke(image_, kCopyBase[1] + kUpdateCountField, updates - 1);
  // Copy 0's header was refused; copy 1 taken, one block taken back.
  const uint8_t record[16] = {3, 1, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  for (uint64_t base : kCopyBase) PokeBytes(image_, base + kRepairField, record, sizeof record);
  ToolResult r = Run({"check", image_});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("copy 1 header: at update " + std::to_string(updates - 1) + ", copy 0 at " +
                       std::to_string(updates)),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("[copy-behind]"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("took copy 1 and rewrote copy 0: its header was refused; 1 free block(s)"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("[mount-mended-copy]"), std::string::npos) << r.out;
}

TEST_F(ToolCheckTest, MapByteThatDisagreesWithTheBlockHeaderIsSetBack) {
  // Every map place says block 0 is free, but it holds two recordings and
  // channel 3 still fills it.
  for (auto &copy : kMapPlace)
    for (uint64_t place : copy) Poke(image_, place + 0, uint8_t{0});
  ExpectFoundAndRepaired("block 0", "map marks it free");
}

TEST_F(ToolCheckTest, OneMapPlaceThatDisagreesIsOutvoted) {
  Poke(image_, kMapPlace[1][1] + 2, uint8_t{1});
  ExpectFoundAndRepaired("copy 1 map place B", "disagrees with the other places for 1 block(s): 2");
}

TEST_F(ToolCheckTest, UsedBlockWithoutRecordFilesIsGivenBack) {
  for (auto &copy : kMapPlace)
    for (uint64_t place : copy) Poke(image_, place + 2, uint8_t{1});
  ExpectFoundAndRepaired("block 2", "is marked used but never received a record file");
  EXPECT_NE(Run({"info", image_}).out.find("2 used, 2 free"), std::string::npos);
}

// Listing and status read and never write: a block whose only recording
// lost its header is still there for the check to report afterwards.
TEST_F(ToolCheckTest, ListingAndStatusLeaveADamagedBlockForTheCheck) {
  PokeBytes(image_, FileHeader(1, 1) + 8, "\0\0\0\0", 4);  // channel 5's header loses its magic
  ToolResult before = Run({"check", image_});
  EXPECT_EQ(before.status, kUncorrected) << before.out;
  for (int i = 0; i < 2; ++i) {
    ToolResult ls = Run({"ls", image_});
    EXPECT_EQ(ls.status, 0) << ls.err;
    EXPECT_NE(ls.out.find(names_[0]), std::string::npos) << ls.out;
    EXPECT_EQ(ls.out.find(names_[2]), std::string::npos) << ls.out;
    EXPECT_EQ(Run({"stat", image_, names_[2]}).status, 1);  // its header is gone
    EXPECT_EQ(Run({"stat", image_, names_[0]}).status, 0);
  }
  ToolResult after = Run({"check", image_});
  EXPECT_EQ(after.status, kUncorrected);
  EXPECT_EQ(after.out, before.out);
}

TEST_F(ToolCheckTest, WrongBlockCountsAreRecounted) {
  for (int copy : {0, 1}) Poke(image_, CntEntry(copy, 0, 3), uint32_t{7});
  ExpectFoundAndRepaired("block count type 0 channel 3", "says 7 block(s), the disk holds 1");
  EXPECT_NE(Run({"df", image_}).out.find("      3     0  0, 1, 7+         1"), std::string::npos);
}

TEST_F(ToolCheckTest, CurrentBlockEntryBeyondTheDiskIsReset) {
  for (int copy : {0, 1}) Poke(image_, CurEntry(copy, 2, 5), int32_t{1000});
  ExpectFoundAndRepaired("current block type 2 channel 5", "is 1000, not a block of this disk");
}

TEST_F(ToolCheckTest, CurrentBlockOfAnotherChannelIsReset) {
  for (int copy : {0, 1}) Poke(image_, CurEntry(copy, 0, 9), int32_t{1});
  ExpectFoundAndRepaired("current block type 0 channel 9", "belongs to type 0 channel 5");
}

TEST_F(ToolCheckTest, EndAddrBeyondTheBlockIsCutBackToTheNextFile) {
  // File 1 of block 0 ends 64 KiB into the data area; file 2 starts there.
  Poke(image_, FileHeader(0, 1) + kEndAddrField, uint64_t{kUnit + 0x1234});
  ExpectFoundAndRepaired("block 0 file 1", "EndAddr 0x40001234 lies beyond the block's end");
}

TEST_F(ToolCheckTest, EndAddrOfTheLastFileIsCutBackToTheAppendPosition) {
  Poke(image_, FileHeader(0, 2) + kEndAddrField, uint64_t{kUnit * 3});
  ExpectFoundAndRepaired("block 0 file 2", "lies beyond the block's end");
}

TEST_F(ToolCheckTest, BlockHeaderCountsAreSetFromTheFiles) {
  Poke(image_, FileHeader(0, 0) + kFileNumField, uint32_t{5});
  Poke(image_, FileHeader(0, 0) + kLastFileNoField, uint32_t{1});
  ExpectFoundAndRepaired("block 0",
                         "block header counts 5 record file(s), its header area holds 2");
}

TEST_F(ToolCheckTest, DamagedBlockHeaderIsRebuiltFromItsFiles) {
  std::string zeros(512, '\0');
  PokeBytes(image_, FileHeader(1, 0), zeros.data(), zeros.size());
  ExpectFoundAndRepaired("block 1", "block header is damaged (inUse 0");
  ToolResult blocks = Run({"blocks", image_, "--json"});
  EXPECT_NE(blocks.out.find("\"channel\": 5"), std::string::npos) << blocks.out;
}

TEST_F(ToolCheckTest, FindingsComeAsJsonForScripts) {
  for (int copy : {0, 1}) Poke(image_, CurEntry(copy, 2, 5), int32_t{-7});
  ToolResult r = Run({"check", image_, "--json"});
  EXPECT_EQ(r.status, kUncorrected);
  EXPECT_NE(r.out.find("\"severity\": \"error\""), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\"code\": \"current-block-out-of-range\""), std::string::npos);
  EXPECT_NE(r.out.find("\"location\": \"current block type 2 channel 5\""), std::string::npos);
  EXPECT_NE(r.out.find("\"repair\": \"reset it to -1\""), std::string::npos);
  ToolResult fixed = Run({"check", "--repair", "--json", image_});
  EXPECT_EQ(fixed.status, kCorrected);
  EXPECT_NE(fixed.out.find("\"after_repair\""), std::string::npos);
}

TEST_F(ToolCheckTest, AnUnformattedImageIsNoDisk) {
  std::string blank = dir_ / "blank.img";
  ASSERT_EQ(Run({"mkimage", blank, "--blocks", "1"}).status, 0);
  ToolResult r = Run({"check", blank});
  EXPECT_EQ(r.status, kUncorrected);
  EXPECT_NE(r.out.find("no disk layout"), std::string::npos) << r.out;
  // Nothing to mend it from: no repair, the problems stay.
  EXPECT_EQ(Run({"check", "--repair", blank}).status, kUncorrected);
}

// The exit status tells a script what happened without reading the
// output: the check that could not run (8) apart from the disk with
// problems (4), the repair that left problems (4, plus 1 when it corrected
// some) apart from the one that left a clean disk (1), and a usage error.
TEST_F(ToolCheckTest, ExitStatusIsMadeOfBits) {
  ToolResult missing = Run({"check", dir_ / "missing.img"});
  EXPECT_EQ(missing.status, kOperational) << missing.err;
  EXPECT_NE(missing.err.find("cannot open"), std::string::npos) << missing.err;
  EXPECT_EQ(Run({"check", "--repair", dir_ / "missing.img"}).status, kOperational);
  EXPECT_EQ(Run({"check", image_, "--no-such-option"}).status, 16);
  EXPECT_EQ(Run({"check"}).status, 16);

  // A repairable fault (a block count) beside one no repair mends (a
  // record file whose data starts inside the header area, only reported):
  // the repair corrects one and leaves the other, both bits.
  for (int copy : {0, 1}) Poke(image_, CntEntry(copy, 0, 3), uint32_t{7});
  Poke(image_, FileHeader(1, 1) + kStartAddrField, uint64_t{0x10});
  EXPECT_EQ(Run({"check", image_}).status, kUncorrected);
  ToolResult both = Run({"check", "--repair", image_});
  EXPECT_EQ(both.status, kCorrected | kUncorrected) << both.out;
  EXPECT_NE(both.out.find("file-start-invalid"), std::string::npos) << both.out;
  EXPECT_EQ(Run({"check", image_}).status, kUncorrected);
  EXPECT_EQ(Run({"check", "--repair", image_}).status, kUncorrected);  // nothing left to do
}

}  // namespace
}  // namespace zrfs::test
