#include <signal.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>

#include <gtest/gtest.h>

#include "shared/keys.h"
#include "shared/proc_lock.h"
#include "support/fault_os.h"
#include "support/processes.h"
#include "support/test_root.h"
#include "zrfs/fsc.h"

namespace {

using namespace std::chrono_literals;
using zrfs::LockLevel;
using zrfs::ProcessLockGuard;
using zrfs::test::RunInChildren;
using zrfs::test::SharedWords;
using zrfs::test::Spawn;
using zrfs::test::TestRoot;
using zrfs::test::WaitAll;

int SemValue(int id) {
  return semctl(id, 0, GETVAL);
}

class ProcLockTest : public ::testing::Test {
 protected:
  int LayerLockKey() { return zrfs::LayerKey(zrfs::kRecordTableLockProjId); }
  TestRoot root_;
};

TEST_F(ProcLockTest, InitIsIdempotentMakesTheLockFreeAndRefusesKeysNotPositive) {
  int key = LayerLockKey();
  int id = fsc_ProcLockInit(key);
  ASSERT_GE(id, 0);
  EXPECT_EQ(SemValue(id), 1);
  EXPECT_EQ(fsc_ProcLockInit(key), id);
  EXPECT_EQ(SemValue(id), 1);
  fsc_ProcLock(id);
  EXPECT_EQ(fsc_ProcLockInit(key), id);  // a held lock is left held
  EXPECT_EQ(SemValue(id), 0);
  fsc_ProcUnlock(id);
  EXPECT_EQ(SemValue(id), 1);
  EXPECT_EQ(fsc_ProcLockInit(0), -1);
  EXPECT_EQ(fsc_ProcLockInit(-1), -1);
  EXPECT_EQ(fsc_ProcLockInit(static_cast<int>(0x80123456u)), -1);  // project id 128
}

// Object locks are remembered per process; a set removed behind the
// process's back (the shared state cleared) is looked up anew once an
// operation on it failed, and a new start of the layers forgets them all.
TEST_F(ProcLockTest, RemoteRemovalOfARememberedSetIsNoticed) {
  int key = LayerLockKey();
  int first = zrfs::ObjectLockInit(key);
  ASSERT_GE(first, 0);
  EXPECT_EQ(zrfs::ObjectLockInit(key), first);
  ASSERT_EQ(semctl(first, 0, IPC_RMID), 0);
  {
    ProcessLockGuard stale(zrfs::ObjectLockInit(key), LockLevel::kRecord);
    EXPECT_FALSE(stale.ok());
  }
  int second = zrfs::ObjectLockInit(key);
  ASSERT_GE(second, 0);
  EXPECT_NE(second, first);
  {
    ProcessLockGuard fresh(second, LockLevel::kRecord);
    EXPECT_TRUE(fresh.ok());
  }
  ASSERT_EQ(semctl(second, 0, IPC_RMID), 0);
  zrfs::ForgetKnownLockSets();
  int third = zrfs::ObjectLockInit(key);
  ASSERT_GE(third, 0);
  EXPECT_NE(third, second);
  EXPECT_EQ(SemValue(third), 1);
}

TEST_F(ProcLockTest, ExcludesOtherProcessesAndThreads) {
  SharedWords shared;
  int key = LayerLockKey();
  constexpr int kProcesses = 4, kRounds = 400;
  ASSERT_TRUE(RunInChildren(
      kProcesses,
      [&](int) {
        int id = fsc_ProcLockInit(key);
        ASSERT_GE(id, 0);
        for (int i = 0; i < kRounds; ++i) {
          ProcessLockGuard guard(id, LockLevel::kRecord);
          ASSERT_TRUE(guard.ok());
          ASSERT_EQ(shared[1].fetch_add(1), 0) << "two holders at once";
          int value = shared[0].load(std::memory_order_relaxed);  // a lost update shows
          if (i % 16 == 0) usleep(100);
          shared[0].store(value + 1, std::memory_order_relaxed);
          shared[1].fetch_sub(1);
        }
      },
      60s));
  EXPECT_EQ(shared[0], kProcesses * kRounds);
}

// Starts a child that runs hold, then waits to be killed; returns once
// hold has run.
pid_t SpawnHolder(SharedWords &shared, const std::function<void()> &hold) {
  pid_t child = Spawn([&] {
    hold();
    shared[0] = 1;
    pause();
  });
  EXPECT_TRUE(shared.Await(0, 1));
  return child;
}

TEST_F(ProcLockTest, LockOfAKilledHolderIsGivenBack) {
  int key = LayerLockKey();
  SharedWords shared;
  pid_t holder = SpawnHolder(shared, [&] { fsc_ProcLock(fsc_ProcLockInit(key)); });
  int id = fsc_ProcLockInit(key);
  EXPECT_EQ(SemValue(id), 0);
  kill(holder, SIGKILL);
  EXPECT_FALSE(WaitAll({holder}, 5s));  // killed, so it did not exit cleanly
  EXPECT_TRUE(RunInChildren(
      1, [&](int) { fsc_ProcLock(fsc_ProcLockInit(key)); }, 5s));
  EXPECT_EQ(SemValue(id), 1);  // the child's own hold was undone at its exit too
}

// The count beside a lock holds only what live processes added: a killed
// process's additions go with it, whatever becomes of its pid.
TEST_F(ProcLockTest, LiveCountForgetsWhatAKilledProcessAdded) {
  int key = fsc_GetShmKey(7) + zrfs::kObjectLockKeyOffset;
  int id = zrfs::ProcLockWithCountInit(key);
  ASSERT_GE(id, 0);
  EXPECT_EQ(SemValue(id), 1);  // a free lock
  EXPECT_EQ(zrfs::LiveCount(id), 0);
  EXPECT_EQ(fsc_ProcLockInit(key), id);        // the plain lock call finds the same set
  EXPECT_FALSE(zrfs::AddToLiveCount(id, -1));  // never below zero, never waits

  ASSERT_TRUE(zrfs::AddToLiveCount(id, 1));
  SharedWords shared;
  pid_t writer = SpawnHolder(shared, [&] {
    int own = zrfs::ProcLockWithCountInit(key);
    zrfs::AddToLiveCount(own, 1);
    zrfs::AddToLiveCount(own, 1);
  });
  EXPECT_EQ(zrfs::LiveCount(id), 3);
  kill(writer, SIGKILL);
  EXPECT_FALSE(WaitAll({writer}, 5s));
  EXPECT_EQ(zrfs::LiveCount(id), 1);
  EXPECT_TRUE(zrfs::AddToLiveCount(id, -1));
  EXPECT_EQ(zrfs::LiveCount(id), 0);

  // A set made with the lock alone still locks; its count is unknown.
  int plain = fsc_ProcLockInit(fsc_GetShmKey(8) + zrfs::kObjectLockKeyOffset);
  ASSERT_GE(plain, 0);
  EXPECT_EQ(zrfs::ProcLockWithCountInit(fsc_GetShmKey(8) + zrfs::kObjectLockKeyOffset), plain);
  EXPECT_EQ(zrfs::LiveCount(plain), -1);
  EXPECT_FALSE(zrfs::AddToLiveCount(plain, 1));
}

TEST_F(ProcLockTest, SetWhoseCreatorDiedBeforeFreeingItIsFreed) {
  int key = fsc_GetShmKey(5) + zrfs::kObjectLockKeyOffset;
  int raw = semget(key, 1, IPC_CREAT | IPC_EXCL | 0666);  // made, never freed
  ASSERT_GE(raw, 0);
  ASSERT_EQ(SemValue(raw), 0);
  auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(RunInChildren(
      1,
      [&](int) {
        int id = fsc_ProcLockInit(key);
        ASSERT_EQ(id, raw);
        fsc_ProcLock(id);
        fsc_ProcUnlock(id);
      },
      5s));
  EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
  EXPECT_EQ(SemValue(raw), 1);
}

TEST_F(ProcLockTest, LockHeldByALiveProcessIsNotReset) {
  int key = LayerLockKey();
  SharedWords shared;
  pid_t holder = Spawn([&] {
    int id = fsc_ProcLockInit(key);
    fsc_ProcLock(id);
    shared[0] = 1;
    usleep(1500 * 1000);  // longer than the grace for a dead creator
    shared[0] = 2;
    fsc_ProcUnlock(id);
  });
  ASSERT_TRUE(shared.Await(0, 1));
  pid_t waiter = Spawn([&] {
    int id = fsc_ProcLockInit(key);
    fsc_ProcLock(id);
    EXPECT_EQ(shared[0], 2) << "got the lock while its holder still had it";
    fsc_ProcUnlock(id);
  });
  EXPECT_TRUE(WaitAll({holder, waiter}, 10s));
}

void IgnoreSignal(int) {}

TEST_F(ProcLockTest, InterruptedWaitGoesOnWaiting) {
  int key = LayerLockKey();
  int id = fsc_ProcLockInit(key);
  fsc_ProcLock(id);
  SharedWords shared;
  pid_t waiter = Spawn([&] {
    struct sigaction sa = {};
    sa.sa_handler = IgnoreSignal;  // no SA_RESTART: semop fails with EINTR
    sigaction(SIGUSR1, &sa, nullptr);
    int mine = fsc_ProcLockInit(key);
    shared[0] = 1;
    fsc_ProcLock(mine);
    EXPECT_EQ(shared[1], 1) << "lock taken before it was given back";
    fsc_ProcUnlock(mine);
  });
  ASSERT_TRUE(shared.Await(0, 1));
  for (int i = 0; i < 5; ++i) {
    usleep(20 * 1000);
    kill(waiter, SIGUSR1);
  }
  shared[1] = 1;
  fsc_ProcUnlock(id);
  EXPECT_TRUE(WaitAll({waiter}, 10s));
}

TEST_F(ProcLockTest, GuardReleasesOnEveryPathAndOnlyWhatItTook) {
  fsc_ProcLock(-1);  // no lock: nothing to do
  fsc_ProcUnlock(-1);
  EXPECT_TRUE(ProcessLockGuard(-1, LockLevel::kDisk).ok());
  int id = fsc_ProcLockInit(LayerLockKey());
  auto work = [&](bool early) -> int {
    ProcessLockGuard guard(id, LockLevel::kBlock);
    if (!guard.ok()) return -1;
    if (early) return 1;  // an early return releases too
    guard.Unlock();
    guard.Unlock();  // a second unlock does nothing
    return 0;
  };
  EXPECT_EQ(work(true), 1);
  EXPECT_EQ(SemValue(id), 1);
  EXPECT_EQ(work(false), 0);
  EXPECT_EQ(SemValue(id), 1);
  {
    zrfs::test::FaultOs faults;
    faults.Add({.call = zrfs::test::Call::kSemOp, .nth = 1, .error = EINVAL});
    EXPECT_EQ(work(false), -1);
  }
  EXPECT_EQ(SemValue(id), 1);  // a guard that failed to lock does not raise it to 2
}

#ifndef NDEBUG
TEST_F(ProcLockTest, TakingLocksAgainstTheOrderAborts) {
  int record = fsc_ProcLockInit(LayerLockKey());
  int disk = fsc_ProcLockInit(fsc_GetShmKey(2048));
  ASSERT_GE(disk, 0);
  EXPECT_DEATH(
      {
        ProcessLockGuard outer(disk, LockLevel::kDisk);
        ProcessLockGuard inner(record, LockLevel::kRecord);
      },
      "out of order");
  ProcessLockGuard outer(record, LockLevel::kRecord);
  ProcessLockGuard inner(disk, LockLevel::kDisk);  // the right order is fine
  EXPECT_TRUE(inner.ok());
}
#endif

}  // namespace
