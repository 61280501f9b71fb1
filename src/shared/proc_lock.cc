#include "shared/proc_lock.h"

#include <errno.h>
#include <unistd.h>

#include <atomic>
#include <cassert>
#include <cstdint>

#include "os/os.h"
#include "shared/status.h"
#include "zrfs/fsc.h"

#if defined(__SANITIZE_THREAD__)
#define ZRFS_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define ZRFS_TSAN 1
#endif
#endif

#if ZRFS_TSAN
#include <sanitizer/tsan_interface.h>
#endif

namespace zrfs {
namespace {

constexpr unsigned short kLockSemNum = 0;  // the lock of every set

#if ZRFS_TSAN
// ThreadSanitizer cannot see System V semaphores, so it would take every
// field they guard for a race.  Tell it that a P acquires and a V releases
// a sync object of that set.  Sets sharing a slot only add ordering, which
// can hide a race but never invents one.
char g_tsanSyncObjects[256];
void *TsanSyncObject(int semId) {
  return &g_tsanSyncObjects[static_cast<unsigned>(semId) % sizeof g_tsanSyncObjects];
}
void TsanAcquired(int semId) {
  __tsan_acquire(TsanSyncObject(semId));
}
void TsanReleasing(int semId) {
  __tsan_release(TsanSyncObject(semId));
}
#else
void TsanAcquired(int) {}
void TsanReleasing(int) {}
#endif

// A set whose creator died between making it and making it free stays at 0
// with no semop ever done.  Wait this long for a live creator before
// freeing it ourselves; a live creator needs microseconds.
constexpr int kCreatorGraceUs = 500 * 1000;
constexpr int kPollUs = 10 * 1000;

// The lock sets of pool objects are looked up by key at every attachment
// of a record file or a block.  The process remembers the set each key
// gave (direct-mapped, a newer key pushes an older one out), so looking up
// a known key costs no system call.  Sets are removed only when the whole
// shared state is cleared: an operation on a removed set forgets it, and
// the next start of the layers forgets them all.
class KnownLockSets {
 public:
  int Find(int key) const {
    uint64_t known = slots_[Index(key)].load(std::memory_order_relaxed);
    return known != 0 && KeyOf(known) == key ? IdOf(known) : -1;
  }
  void Remember(int key, int id) {
    slots_[Index(key)].store(uint64_t{uint32_t(key)} << 32 | uint32_t(id),
                             std::memory_order_relaxed);
  }
  void Forget(int id) {
    for (auto &slot : slots_) {
      uint64_t known = slot.load(std::memory_order_relaxed);
      if (known != 0 && IdOf(known) == id) slot.compare_exchange_strong(known, 0);
    }
  }
  void ForgetAll() {
    for (auto &slot : slots_) slot.store(0, std::memory_order_relaxed);
  }

 private:
  static constexpr unsigned kSlots = 1024;
  static unsigned Index(int key) { return (uint32_t(key) * 2654435761u) >> 22; }
  static int KeyOf(uint64_t known) { return int(uint32_t(known >> 32)); }
  static int IdOf(uint64_t known) { return int(uint32_t(known)); }
  std::atomic<uint64_t> slots_[kSlots] = {};
};
static_assert(std::atomic<uint64_t>::is_always_lock_free);

KnownLockSets g_knownLockSets;

bool SemStep(int semId, short delta) {
  if (semId == -1) return true;
  struct sembuf op = {kLockSemNum, delta, SEM_UNDO};
  while (os().SemOp(semId, &op, 1) != 0) {
    if (errno == EINVAL || errno == EIDRM) g_knownLockSets.Forget(semId);
    if (errno != EINTR) return false;
    os().SleepMicros(1000);
  }
  return true;
}

// Makes a new set free with a semop rather than SETVAL, so that every set
// that was ever made free has a non-zero last-operation time.
bool MakeFree(int semId) {
  struct sembuf op = {kLockSemNum, 1, 0};
  return os().SemOp(semId, &op, 1) == 0;
}

bool NeverOperatedAndZero(int semId) {
  if (os().SemGetValue(semId, 0) != 0) return false;  // free (or broken: leave it)
  struct semid_ds info;
  if (os().SemStat(semId, &info) != 0) return false;
  return info.sem_otime == 0;  // a held lock has been operated on
}

void FreeIfCreatorDied(int semId) {
  for (int waited = 0; NeverOperatedAndZero(semId); waited += kPollUs) {
    if (waited >= kCreatorGraceUs) {
      // Still 0 and never used: the creator is gone.  "Wait for zero, then
      // add one" is one atomic step, so a set someone else freed meanwhile
      // is not raised to 2.
      struct sembuf ops[2] = {{0, 0, IPC_NOWAIT}, {0, 1, 0}};
      os().SemOp(semId, ops, 2);
      return;
    }
    os().SleepMicros(kPollUs);
  }
}

// Levels of the process locks this thread holds now (bit n = level n).
thread_local unsigned g_heldLevels;

}  // namespace

bool AcquireProcessLock(int semId) {
  if (!SemStep(semId, -1)) return false;
  TsanAcquired(semId);
  return true;
}

bool ReleaseProcessLock(int semId) {
  TsanReleasing(semId);
  return SemStep(semId, 1);
}

ProcessLockGuard::ProcessLockGuard(int semId, LockLevel level)
    : semId_(semId), level_(level), ok_(false), locked_(false) {
  unsigned bit = 1u << static_cast<unsigned>(level);
  assert((g_heldLevels & ~(bit - 1)) == 0 && "process locks taken out of order");
  // No lock (-1) counts as held for the order and for AssertHeld: the
  // caller did what the code asks of it.
  ok_ = semId == -1 || AcquireProcessLock(semId);
  locked_ = ok_;
  if (locked_) g_heldLevels |= bit;
  if (!ok_) NoteFailure(Status::kNoLock);
}

void ProcessLockGuard::Unlock() {
  if (!locked_) return;
  locked_ = false;
  g_heldLevels &= ~(1u << static_cast<unsigned>(level_));
  if (semId_ != -1) ReleaseProcessLock(semId_);
}

void AssertHeld([[maybe_unused]] LockLevel level) {
  assert((g_heldLevels & (1u << static_cast<unsigned>(level))) != 0 &&
         "a lock the code relies on is not held");
}

namespace {

int InitLockSet(int key, int semaphores) {
  if (key <= 0) return -1;
  int id = os().SemGet(key, semaphores, IPC_CREAT | IPC_EXCL | 0666);
  if (id >= 0) return MakeFree(id) ? id : -1;
  if (errno != EEXIST) return -1;
  id = os().SemGet(key, 0, 0666);  // whatever number of semaphores it has
  if (id < 0) return -1;
  FreeIfCreatorDied(id);
  return id;
}

// InitLockSet through the process's memory of known keys.
int KnownLockSet(int key, int semaphores) {
  int id = g_knownLockSets.Find(key);
  if (id >= 0) return id;
  id = InitLockSet(key, semaphores);
  if (id >= 0) g_knownLockSets.Remember(key, id);
  return id;
}

}  // namespace

int ProcLockWithCountsInit(int key, unsigned short counts) {
  return KnownLockSet(key, 1 + counts);
}

int ObjectLockInit(int key) {
  return KnownLockSet(key, 1);
}

void ForgetKnownLockSets() {
  g_knownLockSets.ForgetAll();
}

bool AddToLiveCount(int semId, short delta, unsigned short count) {
  if (semId == -1) return false;
  // Never waits: a count that would go below zero is left alone.
  struct sembuf op = {count, delta, SEM_UNDO | IPC_NOWAIT};
  while (os().SemOp(semId, &op, 1) != 0) {
    if (errno != EINTR) return false;
  }
  return true;
}

int LiveCount(int semId, unsigned short count) {
  return semId == -1 ? -1 : os().SemGetValue(semId, count);
}

int ProcLockInit(int key) {
  return InitLockSet(key, 1);
}

}  // namespace zrfs
