#include <atomic>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "api_fixture.h"
#include "support/fault_os.h"

namespace {

using zrfs::test::ApiTest;
using zrfs::test::Call;
using zrfs::test::FaultOs;

using DescriptorTest = ApiTest;

TEST_F(DescriptorTest, ValuesCarryTheSlotAndAGeneration) {
  std::string name;
  int first = Create(1, &name);
  EXPECT_EQ(first, 0);
  int second = zrfs_Open(nullptr, name.data(), 0);
  EXPECT_EQ(second, 65537);  // slot 1, generation 1
  EXPECT_EQ(zrfs_Close(first), 0);
  int third = zrfs_Open(nullptr, name.data(), 0);
  EXPECT_EQ(third, 131072);  // slot 0 again, generation 2
  char c;
  EXPECT_EQ(zrfs_Read(first, &c, 1), -1);  // the old value of a reused slot is stale
  EXPECT_EQ(zrfs_Tell(-1), -1);
  EXPECT_EQ(zrfs_Tell(1024), -1);  // slot 1024 does not exist
  EXPECT_EQ(zrfs_Tell(65537 + 1023), -1);
  EXPECT_EQ(zrfs_Close(-5), 0);
  EXPECT_EQ(zrfs_Close(12345), 0);
  zrfs_Close(second);
  zrfs_Close(third);
}

TEST_F(DescriptorTest, GenerationsComeRoundAfter4096Claims) {
  std::string name;
  int fd = Create(1, &name);
  ASSERT_EQ(fd, 0);
  zrfs_Close(fd);
  for (int claim = 2; claim <= 4096; ++claim) zrfs_Close(zrfs_Open(nullptr, name.data(), 0));
  int wrapped = zrfs_Open(nullptr, name.data(), 0);  // the 4097th claim
  EXPECT_EQ(wrapped, 0);
  zrfs_Close(wrapped);
  EXPECT_EQ(zrfs_Open(nullptr, name.data(), 0), 65536);  // the 4098th: generation 1
}

TEST_F(DescriptorTest, AFullTableRefusesUntilASlotIsFree) {
  std::string name;
  std::vector<int> fds{Create(1, &name)};
  for (int i = 1; i < 1024; ++i) fds.push_back(zrfs_Open(nullptr, name.data(), 0));
  for (int fd : fds) ASSERT_GE(fd, 0);
  EXPECT_EQ(zrfs_Open(nullptr, name.data(), 0), -1);
  zrfs_Close(fds[500]);
  int again = zrfs_Open(nullptr, name.data(), 0);
  EXPECT_EQ(again & 0xFFFF, 500);
  EXPECT_EQ(zrfs_Open(nullptr, nullptr, 0), -1);
  EXPECT_EQ(zrfs_Open(nullptr, const_cast<char *>("nonsense"), 0), -1);
}

TEST_F(DescriptorTest, AccessModesDecideWhatADescriptorMayDo) {
  std::string name;
  int writer = Create(1, &name, 1);  // write only
  ASSERT_GE(writer, 0);
  char buf[8] = "abcdefg";
  EXPECT_EQ(zrfs_Write(writer, buf, 7), 7);
  EXPECT_EQ(zrfs_Read(writer, buf, 7), -1);
  EXPECT_EQ(zrfs_Tell(writer), 7);
  int reader = zrfs_Open(nullptr, name.data(), 0);  // read only
  EXPECT_EQ(zrfs_Write(reader, buf, 7), -1);
  EXPECT_EQ(zrfs_Tell(reader), 0);
  EXPECT_EQ(zrfs_fsync(reader), -1);
  EXPECT_EQ(zrfs_fsync(writer), 0);
  for (int flags : {2, 3}) {
    int both = zrfs_Open(nullptr, name.data(), flags);
    EXPECT_EQ(zrfs_Read(both, buf, 7), 7);
    EXPECT_EQ(zrfs_Write(both, buf, 1), 1);
    zrfs_Close(both);
  }
  EXPECT_EQ(zrfs_Read(reader, nullptr, 1), -1);
  EXPECT_EQ(zrfs_Read(999999, buf, 0), 0);  // a zero length is done before the look-up
}

TEST_F(DescriptorTest, TransfersMoveThePositionAndFailuresKeepIt) {
  int fd = Create(2);
  std::vector<char> data(300, 'd');
  ASSERT_EQ(zrfs_Write(fd, data.data(), 300), 300);
  ASSERT_EQ(zrfs_Seek(fd, 0, 0), 0);
  char buf[100];
  ASSERT_EQ(zrfs_Read(fd, buf, 100), 100);
  ASSERT_EQ(zrfs_Read(fd, buf, 100), 100);
  EXPECT_EQ(zrfs_Tell(fd), 200);
  {
    FaultOs faults;
    faults.Add({.call = Call::kRead, .pathContains = "host03"});
    EXPECT_EQ(zrfs_Read(fd, buf, 100), -1);
    EXPECT_EQ(zrfs_Tell(fd), 200);
    EXPECT_EQ(zrfs_error(fd), 5);
  }
  EXPECT_EQ(zrfs_error(-1), 0);
  EXPECT_EQ(zrfs_error(777), 0);
}

TEST_F(DescriptorTest, SeekRules) {
  int fd = Create(2);
  std::vector<char> data(1000, 's');
  ASSERT_EQ(zrfs_Write(fd, data.data(), 1000), 1000);
  EXPECT_EQ(zrfs_Seek(fd, 0, 2), 1000);
  EXPECT_EQ(zrfs_Eof(fd), 1);
  EXPECT_EQ(zrfs_Seek(fd, -10, 1), 990);
  EXPECT_EQ(zrfs_Eof(fd), 0);
  EXPECT_EQ(zrfs_Seek(fd, -5000, 1), 0);  // before the start: back to 0
  EXPECT_EQ(zrfs_Tell(fd), 0);
  EXPECT_EQ(zrfs_Seek(fd, 0x40000000, 0), 0);  // the unit size itself is out of reach
  EXPECT_EQ(zrfs_Seek(fd, 0x3FFFFFFF, 0), 0x3FFFFFFF);
  EXPECT_EQ(zrfs_Seek(fd, 123, 7), 123);  // an unknown whence counts from the start
  EXPECT_EQ(zrfs_Seek(-1, 0, 0), -1);
  EXPECT_EQ(zrfs_Eof(-1), -1);
}

TEST_F(DescriptorTest, StatusTruncationAndRingThroughDescriptors) {
  FileCreateParam p = Param(3, 1, 4096);
  char name[ZRFS_NAME_MAX];
  int fd = zrfs_Open(&p, name, 2);
  ASSERT_GE(fd, 0);
  std::vector<char> ring(4096, 'r');
  ASSERT_EQ(zrfs_Write(fd, ring.data(), 4096), 4096);
  EXPECT_EQ(zrfs_UpdataePreRecPtr(fd, 1000, 3000), 0);
  TfFileStat st;
  ASSERT_EQ(zrfs_fstat(fd, &st), 0);
  EXPECT_EQ(st.st_size, 2000);
  EXPECT_EQ(zrfs_ftruncate(fd, 1999), -1);
  EXPECT_EQ(zrfs_ftruncate(fd, 2000), 0);
  EXPECT_EQ(zrfs_fstat(fd, nullptr), -1);
  EXPECT_EQ(zrfs_fstat(-1, &st), -1);
  EXPECT_EQ(zrfs_ftruncate(-1, 0), -1);
  EXPECT_EQ(zrfs_UpdataePreRecPtr(-1, 0, 0), -1);
}

TEST_F(DescriptorTest, DeInitSyncsWritableDescriptorsAndClosesAll) {
  std::string name;
  int writer = Create(4, &name, 1);
  int reader = zrfs_Open(nullptr, name.data(), 0);
  ASSERT_GE(reader, 0);
  FaultOs faults;
  EXPECT_EQ(zrfs_DeInit(), 0);
  EXPECT_EQ(faults.Count(Call::kWrite), 1);  // the writer's header, not the reader's
  EXPECT_EQ(zrfs_Tell(writer), -1);
  EXPECT_EQ(zrfs_Tell(reader), -1);
}

TEST_F(DescriptorTest, ClosingWhileAnotherThreadIsInACallIsHarmless) {
  std::string name;
  int fd = Create(5, &name);
  std::vector<char> data(4096, 'c');
  ASSERT_EQ(zrfs_Write(fd, data.data(), 4096), 4096);
  for (int round = 0; round < 50; ++round) {
    int d = zrfs_Open(nullptr, name.data(), 2);
    ASSERT_GE(d, 0);
    std::atomic<bool> go{false};
    std::thread user([&] {
      char buf[512];
      while (!go) {
      }
      for (int i = 0; i < 200; ++i) {
        zrfs_Seek(d, 0, 0);
        if (zrfs_Read(d, buf, 512) < 0) break;  // closed under us: refused, not a crash
      }
    });
    go = true;
    zrfs_Close(d);
    user.join();
    EXPECT_EQ(zrfs_Tell(d), -1);
  }
  zrfs_Close(fd);
}

}  // namespace
