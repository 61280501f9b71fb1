// The fault wrapper the reliability tests rely on: which calls its rules
// break, and what a power cut keeps.
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include <gtest/gtest.h>

#include "support/fault_os.h"
#include "support/processes.h"
#include "support/test_root.h"

namespace {

using zrfs::os;
using namespace zrfs::test;
using namespace std::chrono_literals;

class FaultOsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fd3_ = os().Open(root_.MakeImage(TestRoot::DevicePath(3), 1 << 20).c_str(), O_RDWR, 0);
    fd4_ = os().Open(root_.MakeImage(TestRoot::DevicePath(4), 1 << 20).c_str(), O_RDWR, 0);
  }
  void TearDown() override {
    os().Close(fd3_);
    os().Close(fd4_);
  }
  ssize_t WriteAt(int fd, int64_t offset, const std::string &bytes) {
    return os().PWrite(fd, bytes.data(), bytes.size(), uint64_t(offset));
  }
  std::string ReadAt(int fd, int64_t offset, size_t len) {
    std::string out(len, '\0');
    ssize_t got = os().PRead(fd, out.data(), len, uint64_t(offset));
    out.resize(got > 0 ? size_t(got) : 0);
    return out;
  }
  TestRoot root_;
  int fd3_ = -1, fd4_ = -1;
};

TEST_F(FaultOsTest, RulesSelectTheNthCallOfADeviceAndOverlappingRanges) {
  FaultOs faults;
  faults.Add({.call = Call::kWrite, .pathContains = "host03", .nth = 2});
  EXPECT_EQ(WriteAt(fd4_, 0, "aa"), 2);  // other device: not counted
  EXPECT_EQ(WriteAt(fd3_, 0, "bb"), 2);
  EXPECT_EQ(WriteAt(fd3_, 0, "cc"), -1);
  EXPECT_EQ(errno, EIO);
  EXPECT_EQ(WriteAt(fd3_, 0, "dd"), 2);
  EXPECT_EQ(ReadAt(fd3_, 0, 2), "dd");
  EXPECT_EQ(faults.Count(Call::kWrite), 4);

  faults.Clear();
  faults.Add({.call = Call::kRead, .fromOffset = 4096, .toOffset = 8192, .error = ENXIO});
  faults.Add({.call = Call::kWrite, .fault = Fault::kShort, .shortBytes = 3});
  EXPECT_EQ(ReadAt(fd3_, 0, 4096).size(), 4096u);   // ends where the range starts
  EXPECT_EQ(ReadAt(fd3_, 8192, 512).size(), 512u);  // starts where it ends
  EXPECT_EQ(ReadAt(fd3_, 4000, 100).size(), 0u);    // overlaps its first bytes
  EXPECT_EQ(errno, ENXIO);
  EXPECT_EQ(ReadAt(fd3_, 8191, 1).size(), 0u);
  EXPECT_EQ(WriteAt(fd4_, 0, "abcdef"), 3);
}

TEST_F(FaultOsTest, AKillStopsTheProcessBeforeOrAfterTheNthWrite) {
  for (Fault kill : {Fault::kKill, Fault::kKillAfter}) {
    pid_t child = Spawn([&] {
      FaultOs faults;
      faults.Add({.call = Call::kWrite, .pathContains = "host03", .nth = 2, .fault = kill});
      for (int i = 0; i < 3; ++i) WriteAt(fd3_, i, std::to_string(i + 1));
    });
    ASSERT_TRUE(WaitKilled(child, 10s));
    EXPECT_EQ(ReadAt(fd3_, 0, 3), std::string(kill == Fault::kKill ? "1\0\0" : "12\0", 3));
  }
}

TEST_F(FaultOsTest, PowerCutLosesExactlyTheWritesItIsToldTo) {
  struct {
    Cut cut;
    uint64_t keep;
    uint32_t tearAt;
    int64_t offset;
    std::string expected;
  } rows[] = {
      {Cut::kDropAll, 0, 0, 0, "OLD-OLD-"},
      {Cut::kDropAll, 0, 0, 1024, std::string(1, '\0')},
      {Cut::kKeepSome, 0b010, 0, 0, "OLD-new2"},
      {Cut::kTearLast, 0, 512, 0, "new1new2"},
      {Cut::kTearLast, 0, 512, 1024 + 511, std::string("x\0", 2)},
      {Cut::kKeepAll, 0, 0, 1024 + 1023, "x"},
  };
  for (const auto &row : rows) {
    FaultOs faults;
    int fd = os().Open(TestRoot::DevicePath(3).c_str(), O_RDWR, 0);  // journalled from here
    WriteAt(fd, 0, "OLD-OLD-");
    os().DataSync(fd);  // durable
    WriteAt(fd, 0, "new1");
    WriteAt(fd, 4, "new2");
    WriteAt(fd, 1024, std::string(1024, 'x'));
    EXPECT_EQ(faults.UnsyncedWrites(), 3u);
    faults.PowerCut(row.cut, row.keep, row.tearAt);
    EXPECT_EQ(faults.UnsyncedWrites(), 0u);
    EXPECT_EQ(ReadAt(fd, row.offset, row.expected.size()), row.expected)
        << "cut " << int(row.cut) << " at " << row.offset;
    os().Close(fd);
    WriteAt(fd3_, 1024, std::string(1024, '\0'));  // the next row starts afresh
  }
}

}  // namespace
