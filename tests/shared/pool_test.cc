#include <sys/ipc.h>
#include <sys/shm.h>

#include <cstring>
#include <set>

#include <gtest/gtest.h>

#include "shared/keys.h"
#include "shared/pool.h"
#include "shared/pool_layout.h"
#include "shared/proc_lock.h"
#include "support/processes.h"
#include "support/test_root.h"
#include "zrfs/fsc.h"

namespace {

using namespace std::chrono_literals;
using zrfs::test::TestRoot;

// Record-file keys as the record layer forms them: disk << 40 | unit << 16 | file.
uint64_t RecordKey(int n) {
  return uint64_t{1} << 40 | uint64_t(n) << 16 | 1;
}
void *TakeRecord(uint64_t key) {
  return fsc_TfMalloc(uint32_t(key), uint32_t(key >> 32), 584);
}
void *TakeBlock(uint64_t key) {
  return fsc_BfMalloc(uint32_t(key), uint32_t(key >> 32), 544);
}
void *TakeDisk(int disk) {
  uint64_t key = zrfs::DiskEntryKey(disk);
  return fsc_DfMalloc(uint32_t(key), uint32_t(key >> 32), zrfs::kDiskEntrySize);
}

int32_t &ShrRef(void *entry, uint32_t offset) {
  return *reinterpret_cast<int32_t *>(static_cast<char *>(entry) + offset);
}
uint32_t PoolSlot(void *entry, uint32_t offset) {
  return *reinterpret_cast<uint32_t *>(static_cast<char *>(entry) + offset);
}
bool SegmentExists(int slot) {
  return shmget(fsc_GetShmKey(slot), 0, 0) >= 0;
}

class PoolTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(fsc_ShareInit(), 0); }
  uint64_t *list() { return g_stZrfsFileList; }
  TestRoot root_;
};

TEST_F(PoolTest, RequestsRefuseBadKeysAndSizes) {
  EXPECT_EQ(fsc_TfMalloc(0, 0, 584), nullptr);
  EXPECT_EQ(fsc_TfMalloc(1, 0, 544), nullptr);
  EXPECT_EQ(fsc_BfMalloc(1, 0, 584), nullptr);
  EXPECT_EQ(fsc_DfMalloc(0xFFFFFFFF, 0xFF, 584), nullptr);
  EXPECT_EQ(TakeDisk(24), nullptr);
  EXPECT_EQ(TakeDisk(255), nullptr);
  EXPECT_EQ(fsc_DfMalloc(0x12345678, 0xFF, zrfs::kDiskEntrySize), nullptr);  // not a disk key
  for (int slot = 0; slot < zrfs::kPoolSlotCount; ++slot) ASSERT_EQ(list()[slot], 0u);
}

TEST_F(PoolTest, SameKeyGivesTheSameEntryUntouched) {
  void *a = TakeRecord(RecordKey(7));
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a, g_stZrfsShrPool);  // the lowest slot of the record region
  EXPECT_EQ(PoolSlot(a, 580), 0u);
  memset(a, 0x5A, 16);
  ShrRef(a, 576) = 1;
  ASSERT_EQ(fsc_ShareInit(), 0);  // a second start attaches nothing anew
  void *b = TakeRecord(RecordKey(7));
  EXPECT_EQ(a, b);
  EXPECT_EQ(static_cast<unsigned char *>(b)[15], 0x5A);
  EXPECT_EQ(list()[0], RecordKey(7));

  void *block = TakeBlock(RecordKey(7) | 0xFFFF);
  EXPECT_EQ(block, static_cast<char *>(g_stZrfsShrPool) + 299008);
  EXPECT_EQ(PoolSlot(block, 536), 1024u);
  EXPECT_EQ(list()[1024], RecordKey(7) | 0xFFFF);
}

TEST_F(PoolTest, ReleaseFreesTheSlotOnlyForTheLastHolder) {
  void *first = TakeRecord(RecordKey(1));
  void *second = TakeRecord(RecordKey(2));
  void *third = TakeRecord(RecordKey(3));
  ASSERT_TRUE(first && second && third);
  ShrRef(second, 576) = 1;  // another holder is left after the caller's decrement
  fsc_TfFree(second);
  EXPECT_EQ(list()[1], RecordKey(2));
  ShrRef(second, 576) = 0;
  fsc_TfFree(second);
  EXPECT_EQ(list()[1], 0u);
  ShrRef(first, 576) = 0;
  fsc_TfFree(first);  // slot 0 is released like any other
  EXPECT_EQ(list()[0], 0u);

  void *reused = TakeRecord(RecordKey(4));  // the lowest free slot
  EXPECT_EQ(reused, first);
  EXPECT_EQ(PoolSlot(reused, 580), 0u);
  EXPECT_EQ(ShrRef(reused, 576), 0);
  fsc_TfFree(nullptr);
  fsc_BfFree(third);  // a record entry is not a block entry: ignored
  EXPECT_EQ(list()[2], RecordKey(3));
}

TEST_F(PoolTest, EntriesBeyond512GetOwnSegmentsAndTheRegionHolds1024) {
  std::vector<void *> entries;
  for (int n = 0; n < 1024; ++n) {
    void *e = TakeRecord(RecordKey(n));
    ASSERT_NE(e, nullptr) << n;
    ShrRef(e, 576) = 1;
    entries.push_back(e);
  }
  EXPECT_EQ(PoolSlot(entries[512], 580), 512u);
  EXPECT_TRUE(SegmentExists(512));
  EXPECT_EQ(TakeRecord(RecordKey(5000)), nullptr);  // the 1025th

  // A second request for an own-segment entry attaches the same bytes again.
  void *again = TakeRecord(RecordKey(600));
  ASSERT_NE(again, nullptr);
  EXPECT_NE(again, entries[600]);
  ShrRef(entries[600], 576) = 7;
  EXPECT_EQ(ShrRef(again, 576), 7);
  ShrRef(again, 576) = 1;
  fsc_TfFree(again);  // not last: only this attachment goes
  EXPECT_TRUE(SegmentExists(600));

  for (int n = 0; n < 1024; ++n) {
    ShrRef(entries[n], 576) = 0;
    fsc_TfFree(entries[n]);
  }
  EXPECT_FALSE(SegmentExists(512));
  EXPECT_FALSE(SegmentExists(1023));
  for (int slot = 0; slot < 1024; ++slot) ASSERT_EQ(list()[slot], 0u);
}

TEST_F(PoolTest, BlockRegionFillsThePoolBeforeOwnSegments) {
  std::vector<void *> entries;
  for (int n = 0; n < 513; ++n) {
    void *e = TakeBlock(uint64_t(n) << 16 | 0xFFFF);
    ASSERT_NE(e, nullptr);
    entries.push_back(e);
  }
  EXPECT_EQ(PoolSlot(entries[511], 536), 1535u);
  EXPECT_EQ(PoolSlot(entries[512], 536), 1536u);
  EXPECT_TRUE(SegmentExists(1536));
  for (void *e : entries) fsc_BfFree(e);  // ShrRef 0: every release is the last
  EXPECT_FALSE(SegmentExists(1536));
}

TEST_F(PoolTest, FoundKeyWhoseSegmentIsGoneFailsInsteadOfTakingASecondSlot) {
  for (int n = 0; n < 513; ++n) ASSERT_NE(TakeRecord(RecordKey(n)), nullptr);
  shmctl(shmget(fsc_GetShmKey(512), 0, 0), IPC_RMID, nullptr);
  EXPECT_EQ(TakeRecord(RecordKey(512)), nullptr);
  int copies = 0;
  for (int slot = 0; slot < 1024; ++slot) copies += list()[slot] == RecordKey(512);
  EXPECT_EQ(copies, 1);
}

TEST_F(PoolTest, LeftoverSegmentOfAnotherSizeIsRefused) {
  int id = shmget(fsc_GetShmKey(512), 100, IPC_CREAT | 0666);
  ASSERT_GE(id, 0);
  for (int n = 0; n < 512; ++n) ASSERT_NE(TakeRecord(RecordKey(n)), nullptr);
  EXPECT_EQ(TakeRecord(RecordKey(512)), nullptr);
  EXPECT_EQ(list()[512], 0u);
}

TEST_F(PoolTest, DiskEntryGetsItsTailOnceAndIsRemovedOnRelease) {
  auto *disk = static_cast<char *>(TakeDisk(3));
  ASSERT_NE(disk, nullptr);
  zrfs::DiskEntryTail tail;
  memcpy(&tail, disk + zrfs::kDiskEntryTailOffset, sizeof tail);
  EXPECT_EQ(tail.mapIndex, 0u);
  EXPECT_EQ(tail.stat, 1u);
  EXPECT_EQ(tail.mounted, 0u);
  EXPECT_EQ(tail.poolSlot, 2051u);
  EXPECT_EQ(list()[2051], 0x0000'03FF'FFFF'FFFFull);

  tail.mounted = 2;
  tail.stat = 0;
  memcpy(disk + zrfs::kDiskEntryTailOffset, &tail, sizeof tail);
  disk[100] = 42;
  auto *again = static_cast<char *>(TakeDisk(3));
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(again[100], 42);
  memcpy(&tail, again + zrfs::kDiskEntryTailOffset, sizeof tail);
  EXPECT_EQ(tail.mounted, 2u);  // left alone by a repeated request
  EXPECT_EQ(tail.stat, 0u);

  fsc_DfFree(again);
  EXPECT_FALSE(SegmentExists(2051));
  EXPECT_EQ(list()[2051], 0u);
  shmdt(disk);
}

TEST(PoolProcesses, TwoProcessesRequestingOneKeyShareOneEntry) {
  TestRoot root;
  ASSERT_TRUE(zrfs::test::RunInChildren(
      1,
      [](int) {
        ASSERT_EQ(fsc_ShareInit(), 0);
        void *e = TakeRecord(RecordKey(9));
        ASSERT_NE(e, nullptr);
        ShrRef(e, 576) = 1;
        memcpy(e, "first process", 14);
      },
      20s));
  ASSERT_TRUE(zrfs::test::RunInChildren(
      1,
      [](int) {
        ASSERT_EQ(fsc_ShareInit(), 0);
        void *e = TakeRecord(RecordKey(9));
        ASSERT_NE(e, nullptr);
        EXPECT_EQ(PoolSlot(e, 580), 0u);
        EXPECT_STREQ(static_cast<char *>(e), "first process");
        EXPECT_EQ(ShrRef(e, 576), 1);
      },
      20s));
}

TEST(PoolProcesses, ConcurrentClaimsUnderTheLayerLockNeverCollide) {
  TestRoot root;
  constexpr int kProcesses = 4, kPerProcess = 200;
  ASSERT_TRUE(zrfs::test::RunInChildren(
      kProcesses,
      [](int p) {
        ASSERT_EQ(fsc_ShareInit(), 0);
        int lock = fsc_ProcLockInit(zrfs::LayerKey(zrfs::kRecordTableLockProjId));
        ASSERT_GE(lock, 0);
        for (int n = 0; n < kPerProcess; ++n) {
          zrfs::ProcessLockGuard guard(lock, zrfs::LockLevel::kRecord);
          ASSERT_TRUE(guard.ok());
          void *e = TakeRecord(RecordKey(p * 1000 + n));
          ASSERT_NE(e, nullptr);
          ShrRef(e, 576) += 1;
        }
      },
      60s));
  ASSERT_EQ(fsc_ShareInit(), 0);
  std::set<uint64_t> keys;
  for (int slot = 0; slot < 1024; ++slot)
    if (g_stZrfsFileList[slot] != 0) keys.insert(g_stZrfsFileList[slot]);
  EXPECT_EQ(keys.size(), size_t{kProcesses * kPerProcess});
  for (int slot = 0; slot < kProcesses * kPerProcess; ++slot) EXPECT_NE(g_stZrfsFileList[slot], 0u);
}

}  // namespace

// A format retires the entries of its disk: nobody finds them again, while
// their holders keep the slot until the last one lets go.
TEST_F(PoolTest, RetiredEntriesAreNeverFoundAgainAndFreeTheirSlotOnLastRelease) {
  constexpr uint64_t kDisk3Record = uint64_t{3} << 40 | uint64_t{5} << 16 | 2;
  constexpr uint64_t kDisk3Block = uint64_t{3} << 40 | uint64_t{5} << 16 | 0xFFFF;
  constexpr uint64_t kDisk4Record = uint64_t{4} << 40 | uint64_t{5} << 16 | 2;
  void *record = TakeRecord(kDisk3Record);
  void *block = TakeBlock(kDisk3Block);
  void *other = TakeRecord(kDisk4Record);
  ASSERT_NE(record, nullptr);
  ASSERT_NE(block, nullptr);
  ASSERT_NE(other, nullptr);
  ShrRef(record, 576) = 1;
  uint32_t recordSlot = PoolSlot(record, 580);
  uint32_t blockSlot = PoolSlot(block, 536);
  uint32_t otherSlot = PoolSlot(other, 580);

  zrfs::RetireDiskEntries(3);
  EXPECT_TRUE(zrfs::SlotRetired(recordSlot));
  EXPECT_TRUE(zrfs::SlotRetired(blockSlot));
  EXPECT_FALSE(zrfs::SlotRetired(otherSlot));  // another disk's entries stay
  EXPECT_EQ(zrfs::ListedKey(recordSlot), kDisk3Record | uint64_t{zrfs::kRetiredKeyBit} << 32);
  EXPECT_EQ(zrfs::ListedKey(otherSlot), kDisk4Record);

  // The same key now gets a fresh, zeroed entry in another slot.
  void *fresh = TakeRecord(kDisk3Record);
  ASSERT_NE(fresh, nullptr);
  EXPECT_NE(fresh, record);
  EXPECT_NE(PoolSlot(fresh, 580), recordSlot);
  EXPECT_EQ(ShrRef(fresh, 576), 0);
  EXPECT_FALSE(zrfs::SlotRetired(PoolSlot(fresh, 580)));

  ShrRef(record, 576) = 0;
  fsc_TfFree(record);
  EXPECT_EQ(list()[recordSlot], 0u);
  EXPECT_EQ(zrfs::ListedKey(PoolSlot(fresh, 580)), kDisk3Record);
}
