// The disk table: one flush thread per process, flushing of marked disks,
// and disk locks that are given back on every return and never raised by a
// lock that was not taken.
#include <dirent.h>
#include <sys/sem.h>

#include "disk/disk_fixture.h"
#include "support/processes.h"

namespace zrfs::test {
namespace {

using namespace std::chrono_literals;

int ThreadsOfThisProcess() {
  int count = 0;
  DIR *dir = opendir("/proc/self/task");
  while (struct dirent *e = readdir(dir))
    if (e->d_name[0] != '.') ++count;
  closedir(dir);
  return count;
}

class DiskTableProcessesTest : public ::testing::Test {
 protected:
  void SetUp() override { dev_ = root_.MakeImage(TestRoot::DevicePath(3), ImageBytesFor(16)); }
  TestRoot root_;
  std::string dev_;
  SharedWords shared_;
};

TEST_F(DiskTableProcessesTest, OneFlushThreadPerProcessAlsoInAForkedChild) {
  EXPECT_TRUE(RunInChildren(
      1,
      [&](int) {
        int before = ThreadsOfThisProcess();
        ASSERT_EQ(fsc_ShareInit(), 0);
        ASSERT_EQ(df_Init(), 0);
        EXPECT_EQ(ThreadsOfThisProcess(), before + 1);
        EXPECT_EQ(df_Init(), 0);  // a second start-up starts no second thread
        EXPECT_EQ(ThreadsOfThisProcess(), before + 1);
        // A process forked now inherits the library's state but not the
        // thread; its own start-up must give it one.  (This is the one
        // place a test forks after a library call: it is what is tested.)
        pid_t child = Spawn([] {
          EXPECT_EQ(ThreadsOfThisProcess(), 1);
          EXPECT_EQ(df_Init(), 0);
          EXPECT_EQ(ThreadsOfThisProcess(), 2);
          EXPECT_EQ(df_Init(), 0);
          EXPECT_EQ(ThreadsOfThisProcess(), 2);
        });
        EXPECT_TRUE(WaitAll({child}, 10s));
      },
      20s));
}

// Each of these returns used to keep the disk lock: another process's next
// call on the disk then waited for ever.
TEST_F(DiskTableProcessesTest, EarlyReturnsGiveTheDiskLockBack) {
  pid_t a = Spawn([&] {
    StartDiskLayer();
    ASSERT_EQ(df_DiskFormat(dev_.c_str()), 0);
    EXPECT_EQ(df_TagBadUnit(dev_.c_str(), kDataStart, 1), -1);  // not ready
    ASSERT_EQ(df_DiskMount(dev_.c_str()), 0);
    ASSERT_EQ(df_TagBadBlock(3, 0), 0);
    EXPECT_EQ(df_TagBadUnit(dev_.c_str(), kDataStart, 1), 0);  // already bad: no change
    EXPECT_EQ(df_ReleaseBlock(3, -1, 0, 0), -1);
    EXPECT_EQ(df_ReleaseBlock(3, 16, 0, 0), -1);
    EXPECT_EQ(df_ReleaseBlock(3, 0, 1024, 0), -1);
    EXPECT_EQ(df_ReleaseBlock(3, 0, -1, 0), -1);
    EXPECT_EQ(df_GetBlkAddr(3, 99), 0u);
    EXPECT_EQ(df_TagBadBlock(3, 99), -1);
    shared_[0] = 1;
    shared_.Await(1, 1, 60s);  // stay alive: a dead holder's lock is given back
  });
  pid_t b = Spawn([&] {
    StartDiskLayer();
    ASSERT_TRUE(shared_.Await(0, 1));
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(df_DiskMount(dev_.c_str()), 0);
    EXPECT_EQ(df_IsDiskReady(3), 0);
    EXPECT_EQ(df_GetBlkAddr(3, 1), BlockAddr(1));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    shared_[1] = 1;
  });
  EXPECT_TRUE(WaitAll({a, b}, 20s));
}

// A lock operation that fails must not be followed by a release: that
// would raise the semaphore to 2 and admit two holders from then on.
TEST_F(DiskTableProcessesTest, FailedLockIsNotGivenBackAndHoldersNeverOverlap) {
  constexpr int kPerProcess = 7;
  auto allocateMany = [&](int first) {
    for (int i = 0; i < kPerProcess; ++i) shared_[10 + first + i] = Allocate(dev_, first + i);
  };
  pid_t a = Spawn([&] {
    TestOs os = StartDiskLayer();
    ASSERT_EQ(df_DiskFormat(dev_.c_str()), 0);
    ASSERT_EQ(df_DiskMount(dev_.c_str()), 0);
    shared_[0] = 1;
    ASSERT_TRUE(shared_.Await(1, 1));
    int semId = g_dfDiskTable[3].semId;
    os.faults->Add({.call = Call::kSemOp, .error = EIDRM});
    EXPECT_EQ(df_TagBadBlock(3, 0), -1);
    EXPECT_EQ(df_ReleaseBlock(3, 0, 0, 0), -1);
    EXPECT_EQ(Allocate(dev_, 0), -1);
    EXPECT_EQ(df_SetSyncMark(3, 2), -1);
    os.faults->Clear();
    EXPECT_EQ(semctl(semId, 0, GETVAL), 1);
    shared_[0] = 2;
    allocateMany(0);
  });
  pid_t b = Spawn([&] {
    StartDiskLayer();
    ASSERT_TRUE(shared_.Await(0, 1));
    ASSERT_EQ(df_DiskMount(dev_.c_str()), 0);
    shared_[1] = 1;
    ASSERT_TRUE(shared_.Await(0, 2));
    allocateMany(kPerProcess);
  });
  ASSERT_TRUE(WaitAll({a, b}, 30s));
  std::set<int> blocks;
  for (int i = 0; i < 2 * kPerProcess; ++i) {
    int blk = shared_[10 + i];
    EXPECT_GE(blk, 0);
    EXPECT_TRUE(blocks.insert(blk).second) << "block " << blk << " was given out twice";
  }
}

class FlushTest : public DiskTest {};

TEST_F(FlushTest, UrgentMarkIsFlushedAtTheNextVisitAndAPlainOneWaits) {
  FormatAndMount();
  ASSERT_EQ(Allocate(dev_, 0), 0);
  size_t unsynced = faults().UnsyncedWrites();
  ASSERT_GT(unsynced, 0u);
  EXPECT_EQ(df_SetSyncMark(24, 2), -1);

  int flushes = faults().Count(Call::kDataSync);
  ASSERT_EQ(df_SetSyncMark(kDisk, 1), 0);
  std::this_thread::sleep_for(2500ms);  // two sweeps or more
  EXPECT_EQ(faults().Count(Call::kDataSync), flushes);
  EXPECT_EQ(g_dfDiskTable[kDisk].syncMark, 0);  // taken, but not yet due

  ASSERT_EQ(df_SetSyncMark(kDisk, 2), 0);
  auto deadline = std::chrono::steady_clock::now() + 5s;
  while (faults().UnsyncedWrites() >= unsynced && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(10ms);
  EXPECT_LT(faults().UnsyncedWrites(), unsynced);  // this disk's writes are durable now
  EXPECT_EQ(faults().Count(Call::kDataSync), flushes + 1);
}

TEST_F(FlushTest, DiskThatIsNotMountedIsNotFlushed) {
  ASSERT_EQ(df_DiskFormat(dev_.c_str()), 0);
  int flushes = faults().Count(Call::kDataSync);
  ASSERT_EQ(df_SetSyncMark(kDisk, 5), 0);
  std::this_thread::sleep_for(1500ms);
  EXPECT_EQ(faults().Count(Call::kDataSync), flushes);
  EXPECT_EQ(g_dfDiskTable[kDisk].syncMark, 5);  // waits for the disk to be ready
}

}  // namespace
}  // namespace zrfs::test
