// Recordings keep their bytes: no write through one file changes a byte
// that a returned write put into another.  Covers where the files of one
// channel are placed while others are open, how far a file may grow or be
// read inside its block, names given behind a directory part, and the
// creation call's name buffer.
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "block/mounted_image.h"
#include "support/recording_io.h"
#ifdef ZRFS_TOOL_PATH
#include "tools/tool_harness.h"
#endif

namespace {

using namespace zrfs::test;
using zrfs::TfFileHeader;

class RecordingIntegrityTest : public MountedImage<Layer::kApi> {
 protected:
  void TearDown() override {
    MountedImage::TearDown();
#ifdef ZRFS_TOOL_PATH
    // Whatever a test did, the disk's own headers show no two files of a
    // block sharing a byte.
    ToolResult check = RunTool({"check", "--json", root_.Real(dev_)});
    EXPECT_NE(check.status, -1) << check.err;
    EXPECT_EQ(check.out.find("files-overlap"), std::string::npos) << check.out;
#endif
  }
  // Records kinds-0 files A then B on chan, each closed before the next.
  void RecordInTurn(uint32_t chan, int writerA, uint64_t sizeA, int writerB, uint64_t sizeB,
                    std::string *a, std::string *b) {
    for (auto [name, writer, size] :
         {std::tuple{a, writerA, sizeA}, std::tuple{b, writerB, sizeB}}) {
      int fd = CreateRecording(chan, name);
      ASSERT_GE(fd, 0);
      ASSERT_TRUE(WritePattern(fd, writer, 0, size));
      zrfs_Close(fd);
    }
  }
  // The on-disk header of the file a name stands for.
  TfFileHeader HeaderOf(const std::string &name) {
    return DiskFileHeader(BlockOfName(name), FileNoOfName(name));
  }
};

using ChannelFiles = RecordingIntegrityTest;

TEST_F(ChannelFiles, TwoOpenFilesOfAChannelTakeBlocksOfTheirOwn) {
  std::string a, b;
  int fa = CreateRecording(1, &a);
  int fb = CreateRecording(1, &b);
  ASSERT_GE(fa, 0);
  ASSERT_GE(fb, 0);
  EXPECT_TRUE(WritePattern(fa, 1, 0, 3 * kMiB));
  EXPECT_TRUE(WritePattern(fb, 2, 0, 3 * kMiB));
  // A was open for writing when B was made, so B could not follow A's end.
  EXPECT_NE(BlockOfName(a), BlockOfName(b)) << a << " " << b;
  EXPECT_TRUE(HoldsPattern(fa, 1, 3 * kMiB)) << a;
  EXPECT_TRUE(HoldsPattern(fb, 2, 3 * kMiB)) << b;
  zrfs_Close(fa);
  zrfs_Close(fb);
}

// Kinds 0 and 1 share a block type, so a channel's plain file and its
// pre-record ring file compete for the same current block.
TEST_F(ChannelFiles, RingAndPlainFilesRecordingTogetherTakeSeparateBlocks) {
  constexpr int32_t kRing = 1 * kMiB;
  {
    SCOPED_TRACE("a ring file made beside a growing plain file");
    std::string plainName, ringName;
    int plain = CreateRecording(2, &plainName);
    ASSERT_GE(plain, 0);
    ASSERT_TRUE(WritePattern(plain, 3, 0, 1 * kMiB));
    int ring = CreateRecording(2, &ringName, 2, 1, kRing);
    ASSERT_GE(ring, 0);
    EXPECT_NE(BlockOfName(plainName), BlockOfName(ringName));
    // Both go on recording, turn about: the ring file fills part of its
    // ring, fixes it, and records its main data behind it.
    constexpr uint32_t kRingPart = 768 * kKiB;
    EXPECT_TRUE(WritePattern(plain, 3, 1 * kMiB, 1 * kMiB));
    EXPECT_TRUE(WritePattern(ring, 4, 0, kRingPart));
    EXPECT_TRUE(WritePattern(plain, 3, 2 * kMiB, 1 * kMiB));
    ASSERT_EQ(zrfs_UpdataePreRecPtr(ring, 0, int32_t(kRingPart)), 0);
    EXPECT_TRUE(WritePattern(ring, 4, kRingPart, 1 * kMiB));
    EXPECT_TRUE(WritePattern(plain, 3, 3 * kMiB, 1 * kMiB));
    EXPECT_TRUE(HoldsPattern(plain, 3, 4 * kMiB)) << plainName;
    EXPECT_TRUE(HoldsPattern(ring, 4, kRingPart + 1 * kMiB)) << ringName;
    zrfs_Close(plain);
    zrfs_Close(ring);
  }
  {
    SCOPED_TRACE("a plain file made beside a ring that is not fixed yet");
    std::string ringName, plainName;
    int ring = CreateRecording(3, &ringName, 2, 1, kRing);
    ASSERT_GE(ring, 0);
    ASSERT_TRUE(WritePattern(ring, 5, 0, 256 * kKiB));
    int plain = CreateRecording(3, &plainName);
    ASSERT_GE(plain, 0);
    EXPECT_NE(BlockOfName(plainName), BlockOfName(ringName));
    // The ring's whole length is the ring file's, written or not yet.
    EXPECT_TRUE(WritePattern(plain, 6, 0, 1 * kMiB));
    EXPECT_TRUE(WritePattern(ring, 5, 256 * kKiB, kRing - 256 * kKiB));
    EXPECT_TRUE(WritePattern(plain, 6, 1 * kMiB, 1 * kMiB));
    EXPECT_TRUE(HoldsPattern(ring, 5, kRing)) << ringName;
    EXPECT_TRUE(HoldsPattern(plain, 6, 2 * kMiB)) << plainName;
    zrfs_Close(ring);
    zrfs_Close(plain);
  }
}

// Files recorded one after another pack their block: each starts at the
// previous one's end, raised to the next append step.  A reopened file may
// grow into that slack, up to the next file's start and no further.
TEST_F(ChannelFiles, AReopenedFileGrowsOnlyUpToTheNextFilesStart) {
  constexpr uint64_t kFirst = 1 * kMiB + 1000, kSecond = 512 * kKiB;
  std::string a, b;
  ASSERT_NO_FATAL_FAILURE(RecordInTurn(5, 1, kFirst, 2, kSecond, &a, &b));
  ASSERT_EQ(BlockOfName(a), BlockOfName(b)) << a << " " << b;
  TfFileHeader ha = HeaderOf(a), hb = HeaderOf(b);
  EXPECT_EQ(ha.EndAddr - ha.StartAddr, kFirst);
  EXPECT_EQ(hb.EndAddr - hb.StartAddr, kSecond);
  ASSERT_EQ(hb.StartAddr, RoundUpToAppendStep(ha.EndAddr));
  std::string raw = ReadImage(BlockAddress(BlockOfName(b)) + hb.StartAddr, 64);
  for (uint32_t i = 0; i < raw.size(); ++i) ASSERT_EQ(raw[i], PatternByte(2, i)) << i;
  uint64_t gap = hb.StartAddr - ha.EndAddr;
  ASSERT_GT(gap, 1000u);

  int fa = zrfs_Open(nullptr, a.data(), 2);
  ASSERT_GE(fa, 0);
  ASSERT_EQ(zrfs_Seek(fa, 0, 2), int64_t(kFirst));
  EXPECT_TRUE(WritePattern(fa, 1, kFirst, 1000));
  // A write that would reach into B is refused as a full block, and the
  // position stays.
  std::vector<char> crossing(gap, 'x');
  EXPECT_EQ(zrfs_Write(fa, crossing.data(), uint32_t(gap)), -1);
  EXPECT_EQ(zrfs_error(fa), 28);
  EXPECT_EQ(zrfs_Tell(fa), int(kFirst + 1000));
  EXPECT_TRUE(WritePattern(fa, 1, kFirst + 1000, gap - 1000));
  EXPECT_EQ(zrfs_Write(fa, "y", 1), -1);
  EXPECT_EQ(zrfs_error(fa), 28);
  EXPECT_TRUE(HoldsPattern(fa, 1, kFirst + gap)) << a;
  zrfs_Close(fa);
  EXPECT_TRUE(FileHoldsPattern(b, 2, kSecond));
}

using BlockBounds = RecordingIntegrityTest;

// An unfixed ring maps position p to block offset 0x200000 + p, so far
// positions of a ring file reach its block's end.  The read below would run
// through the next block's header area into channel 2's first data.
TEST_F(BlockBounds, ReadsOfARingFileNeverReachTheNextBlock) {
  std::string ringName, otherName;
  int ring = CreateRecording(1, &ringName, 2, 1, 1 * kMiB);
  ASSERT_GE(ring, 0);
  ASSERT_TRUE(WritePattern(ring, 1, 0, 64 * kKiB));
  int other = CreateRecording(2, &otherName);
  ASSERT_GE(other, 0);
  ASSERT_TRUE(WritePattern(other, 2, 0, 4 * kMiB));
  ASSERT_EQ(BlockOfName(ringName), 0);
  ASSERT_EQ(BlockOfName(otherName), 1);

  const int64_t kBlockEnd = int64_t(kUnit) - 2 * kMiB;  // position of block 0's end
  ASSERT_EQ(zrfs_Seek(ring, kBlockEnd - kMiB, 0), kBlockEnd - kMiB);
  std::vector<char> buf(4 * kMiB);
  int got = zrfs_Read(ring, buf.data(), uint32_t(buf.size()));
  EXPECT_LE(got, int(kMiB));
  if (got > 0) {
    char otherStart[64];
    for (uint32_t i = 0; i < sizeof otherStart; ++i) otherStart[i] = PatternByte(2, i);
    EXPECT_EQ(memmem(buf.data(), size_t(got), otherStart, sizeof otherStart), nullptr)
        << "channel 2's recording came back through the ring file";
    EXPECT_EQ(memmem(buf.data(), size_t(got), "ZRND", 4), nullptr)
        << "a file header of the next block came back through the ring file";
  }
  for (int64_t at : {kBlockEnd, kBlockEnd + int64_t(kMiB)}) {
    ASSERT_EQ(zrfs_Seek(ring, at, 0), at);
    EXPECT_EQ(zrfs_Read(ring, buf.data(), 4096), -1) << "from position " << at;
  }
  zrfs_Close(ring);
  zrfs_Close(other);
}

using AliasedNames = RecordingIntegrityTest;

// Applications often name files by full path.  Two files of one block have
// names that agree in everything up to the file number, so a long
// directory part must not make one stand for the other.
TEST_F(AliasedNames, FilesNamedBehindALongDirectoryStayApart) {
  std::string a, b;
  ASSERT_NO_FATAL_FAILURE(RecordInTurn(1, 1, 1 * kMiB + 100, 2, 256 * kKiB, &a, &b));
  ASSERT_EQ(BlockOfName(a), BlockOfName(b));

  const std::string dir = "/dev/scsi/host03/part1/recordings/channel01/20240101/";
  std::string longA = dir + a, longB = dir + b;
  ASSERT_EQ(longA.size(), 80u);
  int openA = zrfs_Open(nullptr, longA.data(), 2);
  ASSERT_GE(openA, 0);

  TfFileStat st{};
  ASSERT_EQ(zrfs_Stat(longB.c_str(), &st), 0);
  EXPECT_EQ(st.st_size, 256 * kKiB) << "the status of " << longB;
  EXPECT_TRUE(FileHoldsPattern(longB, 2, 256 * kKiB));

  // A's bare name while A is open under its long one is the same file: what
  // one descriptor appends, the other sees.
  int bareA = zrfs_Open(nullptr, a.data(), 2);
  ASSERT_GE(bareA, 0);
  EXPECT_TRUE(HoldsPattern(bareA, 1, 1 * kMiB + 100)) << a;
  ASSERT_EQ(zrfs_Seek(bareA, 0, 2), int64_t(1 * kMiB + 100));
  EXPECT_TRUE(WritePattern(bareA, 1, 1 * kMiB + 100, 100));
  EXPECT_TRUE(HoldsPattern(openA, 1, 1 * kMiB + 200)) << longA;
  zrfs_Close(bareA);
  zrfs_Close(openA);

  // Names run to 255 characters; a longer one is refused.
  auto named = [&](size_t length) {
    std::string padded = "/dev/scsi/host03/part1/";
    padded += std::string(length - padded.size() - a.size() - 1, 'd') + "/" + a;
    return padded;
  };
  std::string longest = named(255), tooLong = named(256);
  int fd = zrfs_Open(nullptr, longest.data(), 0);
  EXPECT_GE(fd, 0);
  zrfs_Close(fd);
  EXPECT_EQ(zrfs_Stat(longest.c_str(), &st), 0);
  EXPECT_EQ(zrfs_Open(nullptr, tooLong.data(), 0), -1);
  EXPECT_EQ(zrfs_Stat(tooLong.c_str(), &st), -1);
}

using CreateArguments = RecordingIntegrityTest;

// The name buffer holds ZRFS_NAME_MAX bytes: 24 characters, at most 39 of
// extension and the NUL.  An extension without a NUL in its 40 bytes has no
// length, and must not run the name past the buffer.
TEST_F(CreateArguments, TheNameNeverRunsPastItsBuffer) {
  constexpr char kCanary = 0x5A;
  char area[3 * ZRFS_NAME_MAX];
  char *buf = area + ZRFS_NAME_MAX;
  auto canaryIntact = [&] {
    for (int i = 0; i < ZRFS_NAME_MAX; ++i)
      if (area[i] != kCanary || area[2 * ZRFS_NAME_MAX + i] != kCanary) return false;
    return true;
  };

  FileCreateParam unterminated = Param(1);
  memset(unterminated.extName, 'e', sizeof unterminated.extName);
  memset(area, kCanary, sizeof area);
  int fd = zrfs_Open(&unterminated, buf, 2);
  EXPECT_EQ(fd, -1);
  EXPECT_EQ(zrfs_LastError(), ZRFS_EBADARG);
  EXPECT_TRUE(canaryIntact()) << "byte after the buffer: " << int(buf[ZRFS_NAME_MAX]);
  zrfs_Close(fd);

  const std::string ext(39, 'v');
  FileCreateParam longest = Param(1, 0, 0, ext.c_str());
  memset(area, kCanary, sizeof area);
  fd = zrfs_Open(&longest, buf, 2);
  ASSERT_GE(fd, 0);
  EXPECT_TRUE(canaryIntact());
  std::string name(buf, strnlen(buf, ZRFS_NAME_MAX));
  EXPECT_EQ(name.size(), 63u);
  EXPECT_EQ(name.substr(24), ext);
  ASSERT_TRUE(WritePattern(fd, 1, 0, 4096));
  zrfs_Close(fd);
  EXPECT_TRUE(FileHoldsPattern(name, 1, 4096));
}

}  // namespace
