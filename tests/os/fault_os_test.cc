#include <fcntl.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "support/fault_os.h"
#include "support/test_root.h"

namespace {

using zrfs::os;
using zrfs::test::Call;
using zrfs::test::Cut;
using zrfs::test::Fault;
using zrfs::test::FaultOs;
using zrfs::test::TestRoot;

class FaultOsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    disk3_ = root_.MakeImage(TestRoot::DevicePath(3), 1 << 20);
    disk4_ = root_.MakeImage(TestRoot::DevicePath(4), 1 << 20);
  }
  int OpenDisk(const std::string &dev) { return os().Open(dev.c_str(), O_RDWR, 0); }
  ssize_t WriteAt(int fd, int64_t offset, const std::string &bytes) {
    os().Seek(fd, offset, SEEK_SET);
    return os().Write(fd, bytes.data(), bytes.size());
  }
  std::string ReadAt(int fd, int64_t offset, size_t len) {
    std::string out(len, '\0');
    os().Seek(fd, offset, SEEK_SET);
    ssize_t got = os().Read(fd, out.data(), len);
    out.resize(got > 0 ? size_t(got) : 0);
    return out;
  }
  TestRoot root_;
  std::string disk3_, disk4_;
};

TEST_F(FaultOsTest, BreaksOnlyTheNthMatchingCallOfTheChosenDevice) {
  FaultOs faults;
  faults.Add({.call = Call::kWrite, .pathContains = "host03", .nth = 2});
  int fd3 = OpenDisk(disk3_), fd4 = OpenDisk(disk4_);
  EXPECT_EQ(WriteAt(fd4, 0, "aa"), 2);  // other device: not counted
  EXPECT_EQ(WriteAt(fd3, 0, "bb"), 2);
  EXPECT_EQ(WriteAt(fd3, 0, "cc"), -1);
  EXPECT_EQ(errno, EIO);
  EXPECT_EQ(WriteAt(fd3, 0, "dd"), 2);
  EXPECT_EQ(ReadAt(fd3, 0, 2), "dd");
  EXPECT_EQ(faults.Count(Call::kWrite), 4);
  os().Close(fd3);
  os().Close(fd4);
}

TEST_F(FaultOsTest, OffsetRangesSelectTransfersThatOverlapThem) {
  FaultOs faults;
  faults.Add({.call = Call::kRead, .fromOffset = 4096, .toOffset = 8192, .error = ENXIO});
  int fd = OpenDisk(disk3_);
  EXPECT_EQ(ReadAt(fd, 0, 4096).size(), 4096u);    // ends where the range starts
  EXPECT_EQ(ReadAt(fd, 8192, 512).size(), 512u);   // starts where it ends
  EXPECT_EQ(ReadAt(fd, 4000, 100).size(), 0u);     // overlaps its first bytes
  EXPECT_EQ(errno, ENXIO);
  EXPECT_EQ(ReadAt(fd, 8191, 1).size(), 0u);
  os().Close(fd);
}

TEST_F(FaultOsTest, ShortTransfersAndAbsentDisks) {
  FaultOs faults;
  faults.Add({.call = Call::kWrite, .fault = Fault::kShort, .shortBytes = 3});
  faults.Add({.call = Call::kPresence, .pathContains = "host04", .fault = Fault::kAbsent});
  int fd3 = OpenDisk(disk3_), fd4 = OpenDisk(disk4_);
  EXPECT_EQ(WriteAt(fd3, 0, "abcdef"), 3);
  faults.Clear();
  faults.Add({.call = Call::kPresence, .pathContains = "host04", .fault = Fault::kAbsent});
  EXPECT_EQ(ReadAt(fd3, 0, 6), std::string("abc\0\0\0", 6));
  int present = -1;
  ASSERT_EQ(os().Presence(fd3, &present), 0);
  EXPECT_EQ(present, 1);
  ASSERT_EQ(os().Presence(fd4, &present), 0);
  EXPECT_EQ(present, 0);
  os().Close(fd3);
  os().Close(fd4);
}

TEST_F(FaultOsTest, PowerCutLosesExactlyTheWritesItIsToldTo) {
  int fd = -1;
  auto scenario = [&](FaultOs &faults) {
    if (fd >= 0) os().Close(fd);
    fd = OpenDisk(disk3_);  // the journal follows descriptors opened through it
    WriteAt(fd, 0, "OLD-OLD-");
    os().DataSync(fd);  // durable
    WriteAt(fd, 0, "new1");
    WriteAt(fd, 4, "new2");
    WriteAt(fd, 1024, std::string(1024, 'x'));
    EXPECT_EQ(faults.UnsyncedWrites(), 3u);
  };
  {
    FaultOs faults;
    scenario(faults);
    faults.PowerCut(Cut::kDropAll);
    EXPECT_EQ(ReadAt(fd, 0, 8), "OLD-OLD-");
    EXPECT_EQ(ReadAt(fd, 1024, 1), std::string(1, '\0'));
  }
  {
    FaultOs faults;
    scenario(faults);
    faults.PowerCut(Cut::kKeepSome, 0b010);
    EXPECT_EQ(ReadAt(fd, 0, 8), "OLD-new2");
  }
  {
    FaultOs faults;
    scenario(faults);
    faults.PowerCut(Cut::kTearLast, 0, 512);
    EXPECT_EQ(ReadAt(fd, 0, 8), "new1new2");
    EXPECT_EQ(ReadAt(fd, 1024 + 511, 2), std::string("x\0", 2));
  }
  {
    FaultOs faults;
    scenario(faults);
    faults.PowerCut(Cut::kKeepAll);
    EXPECT_EQ(ReadAt(fd, 1024 + 1023, 1), "x");
    EXPECT_EQ(faults.UnsyncedWrites(), 0u);
  }
  os().Close(fd);
}

}  // namespace
