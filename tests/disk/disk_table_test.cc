// The disk table: one flush thread per process, flushing of marked disks,
// and disk locks given back on every return and never raised by a lock that
// was not taken.  Also the documented results of bad arguments.
#include <dirent.h>
#include <sys/sem.h>

#include "disk/disk_fixture.h"
#include "disk/fast_path.h"
#include "disk/written_ranges.h"
#include "support/processes.h"

namespace zrfs::test {
namespace {

using namespace std::chrono_literals;

int Threads() {
  int count = 0;
  DIR *dir = opendir("/proc/self/task");
  while (struct dirent *e = readdir(dir)) count += e->d_name[0] != '.';
  closedir(dir);
  return count;
}

using DiskTableProcessesTest = DiskProcessesTest;

TEST_F(DiskTableProcessesTest, OneFlushThreadPerProcessAlsoInAForkedChild) {
  EXPECT_TRUE(RunInChildren(
      1,
      [&](int) {
        ASSERT_EQ(Threads(), 1);
        ASSERT_EQ(fsc_ShareInit(), 0);
        ASSERT_EQ(df_Init(), 0);
        EXPECT_EQ(df_Init(), 0);
        EXPECT_EQ(Threads(), 2);
        // A child forked now inherits the state but not the thread; its own
        // start-up must start one (the fork after a library call is the
        // point of this test).
        pid_t child = Spawn([] {
          EXPECT_EQ(df_Init(), 0);
          EXPECT_EQ(df_Init(), 0);
          EXPECT_EQ(Threads(), 2);
        });
        EXPECT_TRUE(WaitAll({child}, 10s));
      },
      20s));
}

// Each of these returns used to keep the disk lock, so another process's
// next call on the disk waited for ever.
TEST_F(DiskTableProcessesTest, EarlyReturnsGiveTheDiskLockBack) {
  pid_t a = Spawn([&] {
    StartDiskLayer();
    ASSERT_EQ(df_DiskFormat(dev_.c_str()), 0);
    EXPECT_EQ(df_TagBadUnit(dev_.c_str(), kDataStart, 1), -1);  // not ready
    ASSERT_EQ(df_DiskMount(dev_.c_str()), 0);
    ASSERT_EQ(df_TagBadBlock(3, 0), 0);
    EXPECT_EQ(df_TagBadUnit(dev_.c_str(), kDataStart, 1), 0);  // no change
    EXPECT_EQ(df_ReleaseBlock(3, 16, 0, 0), -1);
    EXPECT_EQ(df_ReleaseBlock(3, 0, 1024, 0), -1);
    shared_[0] = 1;
    shared_.Await(1, 1, 60s);  // stay alive: a dead holder's lock is given back
  });
  pid_t b = Spawn([&] {
    StartDiskLayer();
    ASSERT_TRUE(shared_.Await(0, 1));
    EXPECT_EQ(df_DiskMount(dev_.c_str()), 0);
    EXPECT_EQ(df_GetBlkAddr(3, 1), BlockAddr(1));
    shared_[1] = 1;
  });
  EXPECT_TRUE(WaitAll({a, b}, 20s));
}

// After a lock operation fails, no release may follow: it would raise the
// semaphore to 2 and admit two holders from then on.
TEST_F(DiskTableProcessesTest, FailedLockIsNotGivenBackAndHoldersNeverOverlap) {
  constexpr int kEach = 7;
  auto allocateMany = [&](int first) {
    for (int i = first; i < first + kEach; ++i) shared_[10 + i] = Allocate(dev_, i);
  };
  pid_t a = Spawn([&] {
    TestOs os = StartDiskLayer();
    ASSERT_EQ(df_DiskFormat(dev_.c_str()), 0);
    ASSERT_EQ(df_DiskMount(dev_.c_str()), 0);
    shared_[0] = 1;
    ASSERT_TRUE(shared_.Await(1, 1));
    os.faults->Add({.call = Call::kSemOp, .error = EIDRM});
    EXPECT_EQ(df_TagBadBlock(3, 0), -1);
    EXPECT_EQ(df_ReleaseBlock(3, 0, 0, 0), -1);
    EXPECT_EQ(Allocate(dev_, 0), -1);
    EXPECT_EQ(df_SetSyncMark(3, 2), -1);
    os.faults->Clear();
    EXPECT_LE(semctl(g_dfDiskTable[3].semId, 0, GETVAL), 1);
    shared_[0] = 2;
    allocateMany(0);
  });
  pid_t b = Spawn([&] {
    StartDiskLayer();
    ASSERT_TRUE(shared_.Await(0, 1));
    ASSERT_EQ(df_DiskMount(dev_.c_str()), 0);
    shared_[1] = 1;
    ASSERT_TRUE(shared_.Await(0, 2));
    allocateMany(kEach);
  });
  ASSERT_TRUE(WaitAll({a, b}, 30s));
  std::set<int> blocks;
  for (int i = 0; i < 2 * kEach; ++i) EXPECT_TRUE(blocks.insert(shared_[10 + i]).second);
  EXPECT_EQ(*blocks.begin(), 0);
  EXPECT_EQ(*blocks.rbegin(), 2 * kEach - 1);
}

class FlushTest : public DiskTest {
 protected:
  // The flush thread sweeps every 1 ms instead of every 40 ms here.
  void SetUp() override {
    DiskTest::SetUp();
    faults().RunClockFaster(40);
  }
  // Waits until the flush thread has ended `sweeps` more sweeps.
  static void AwaitSweeps(uint64_t sweeps) {
    uint64_t until = FlushThreadSweeps() + sweeps;
    auto deadline = std::chrono::steady_clock::now() + 10s;
    while (FlushThreadSweeps() < until && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(1ms);
    ASSERT_GE(FlushThreadSweeps(), until) << "the flush thread stopped sweeping";
  }
};

TEST_F(FlushTest, UrgentMarkIsFlushedAtTheNextVisitAndAPlainOneWaits) {
  ASSERT_EQ(df_DiskFormat(dev_.c_str()), 0);
  ASSERT_EQ(df_SetSyncMark(kDisk, 2), 0);
  AwaitSweeps(3);  // not mounted: the mark waits
  EXPECT_EQ(faults().Count(Call::kDataSync), 0);
  ASSERT_EQ(df_DiskMount(dev_.c_str()), 0);
  AwaitSweeps(2);
  int flushes = faults().Count(Call::kDataSync);
  EXPECT_EQ(flushes, 1);  // honoured at the first visit once the disk is ready
  ASSERT_EQ(Allocate(dev_, 0), 0);
  size_t unsynced = faults().UnsyncedWrites();

  ASSERT_EQ(df_SetSyncMark(kDisk, 1), 0);  // due only every 21st visit
  AwaitSweeps(10);
  EXPECT_EQ(faults().Count(Call::kDataSync), flushes);
  ASSERT_EQ(df_SetSyncMark(kDisk, 2), 0);
  AwaitSweeps(2);
  EXPECT_LT(faults().UnsyncedWrites(), unsynced);  // the disk's writes are durable now
  EXPECT_EQ(faults().Count(Call::kDataSync), flushes + 1);
}

// A flush drops from the cache the record data written since the last
// one, never a block's header area nor the metadata, so the next append
// finds its headers cached.
TEST_F(FlushTest, DropsOnlyTheRecordDataWrittenBeforeIt) {
  FormatAndMount();
  AwaitSweeps(2);  // the format's and mount's own flushes are done
  int flushes = faults().Count(Call::kDataSync);
  NoteWrittenData(kDisk, BlockAddr(0) + 0x200000, 0x10000);
  NoteWrittenData(kDisk, BlockAddr(0) + 0x210000, 0x8000);  // continues the first
  NoteWrittenData(kDisk, BlockAddr(1) + 0x300000, 0x1000);
  NoteWrittenData(kDisk, BlockAddr(3) - 0x1000, 0x302000);  // into block 3's headers and data
  io().Reset();
  ASSERT_EQ(df_SetSyncMark(kDisk, 2), 0);
  AwaitSweeps(2);  // an urgent mark is flushed, and its ranges dropped, within one whole sweep
  EXPECT_EQ(faults().Count(Call::kDataSync), flushes + 1);
  Places expected{{BlockAddr(0) + 0x200000, 0x18000},
                  {BlockAddr(1) + 0x300000, 0x1000},
                  {BlockAddr(3) - 0x1000, 0x1000},
                  {BlockAddr(3) + 0x200000, 0x101000}};
  EXPECT_EQ(io().Dropped(), expected);

  // What was dropped is forgotten; a flush with nothing written drops nothing.
  io().Reset();
  ASSERT_EQ(df_SetSyncMark(kDisk, 2), 0);
  AwaitSweeps(2);
  EXPECT_EQ(faults().Count(Call::kDataSync), flushes + 2);
  EXPECT_TRUE(io().Dropped().empty());
}

TEST(WrittenRangesTest, AppendsExtendARangeAndAFullTableWidensTheNearest) {
  WrittenRanges ranges;
  ranges.Add(1000, 2000);
  ranges.Add(2000, 3000);  // continues
  ranges.Add(500, 1000);   // and in front
  for (int i = 1; i < WrittenRanges::kRanges; ++i) ranges.Add(i * 100000, i * 100000 + 10);
  ranges.Add(240000, 240010);  // no place left: joins the nearest, at 200000
  ByteRange out[WrittenRanges::kRanges];
  ASSERT_EQ(ranges.Take(out), WrittenRanges::kRanges);
  EXPECT_EQ(out[0].begin, 500u);
  EXPECT_EQ(out[0].end, 3000u);
  EXPECT_EQ(out[2].begin, 200000u);
  EXPECT_EQ(out[2].end, 240010u);
  EXPECT_EQ(ranges.Take(out), 0);
}

TEST_F(FlushTest, BadArgumentsGetTheDocumentedResults) {
  FormatAndMount();
  const char *noDisk[] = {nullptr, "/dev/sda1", "/dev/scsi/host24/part1",
                          "/dev/scsi/host99999999999999/part1"};
  for (const char *path : noDisk) {
    EXPECT_EQ(df_DiskFormat(path), -1);
    EXPECT_EQ(df_DiskMount(path), -1);
    EXPECT_EQ(df_DiskUnmout(path), -1);
    EXPECT_EQ(df_GetDiskVersion(path), 1);
    EXPECT_EQ(df_TagBadUnit(path, kDataStart, 1), -1);
    DfStatfs fs;
    EXPECT_EQ(df_DiskStatfs(path, &fs), -1);
    DfBlockInfo info;
    EXPECT_EQ(df_GetBlockInfo(path, &info, 1), -1);
    EXPECT_EQ(df_GetBlockNumOfDataType(path, 0, 0), -1);
    EXPECT_EQ(df_GetDiskUsedBlockNum(path), 0);
  }
  EXPECT_EQ(df_DiskStatfs(dev_.c_str(), nullptr), -1);
  EXPECT_EQ(df_GetBlockInfo(dev_.c_str(), nullptr, 1), -1);
  EXPECT_EQ(df_GetBlockNumOfDataType(dev_.c_str(), 1024, 0), -1);
  EXPECT_EQ(df_GetBlockNumOfDataType(dev_.c_str(), 0, -1), -1);
  for (unsigned disk : {24u, ~0u}) {
    EXPECT_EQ(df_IsDiskReady(disk), -1);
    EXPECT_EQ(df_SetSyncMark(disk, 1), -1);
    EXPECT_EQ(df_TagBadBlock(disk, 0), -1);
    EXPECT_EQ(df_ReleaseBlock(disk, 0, 0, 0), -1);
    EXPECT_EQ(df_GetBlkAddr(disk, 0), 0u);
  }
  for (int blk : {-1, int(kBlocks), 0x20000, INT32_MIN, INT32_MAX}) {
    EXPECT_EQ(df_GetBlkAddr(kDisk, blk), 0u);
    EXPECT_EQ(df_TagBadBlock(kDisk, blk), -1);
    EXPECT_EQ(df_ReleaseBlock(kDisk, blk, 0, 0), -1);
  }
  EXPECT_EQ(df_GetBlkAddr(kDisk, 0), kDataStart);
  EXPECT_EQ(df_ReleaseBlock(kDisk, 0, -1, 0), -1);
  EXPECT_EQ(df_GetBlkAddr(4, 0), 0u);  // nothing attached

  DfFileBlk out{5, 5};
  FileCreateParam p{};
  EXPECT_EQ(df_GetFileBlkId(nullptr, &out), -1);
  EXPECT_EQ(df_GetFileBlkId(&p, nullptr), -1);
  EXPECT_EQ(df_GetFileBlkId(&p, &out), -1);  // no disk in the path: out untouched
  EXPECT_EQ(out.blkId, 5);
  memset(p.diskPath, '7', sizeof p.diskPath);  // no NUL: read within the field only
  memcpy(p.diskPath, "/dev/scsi/host0", 15);
  EXPECT_EQ(df_GetFileBlkId(&p, &out), -1);
  EXPECT_EQ(out.blkId, -1);
  EXPECT_EQ(Allocate(dev_, 1024), -1);
}

}  // namespace
}  // namespace zrfs::test
