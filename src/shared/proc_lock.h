// Process locks: one-semaphore System V sets, value 1 while free, 0 while
// held, every operation with SEM_UNDO so the system gives back a lock whose
// holder dies.  A lock id of -1 means "no lock" and guards nothing.
//
// LOCK ORDER, across processes and threads alike.  A thread takes these in
// increasing level, never the other way round, and never two of one level:
//
//   level 1  g_zrFileMutex (record-file table)  OR one record file's lock
//   level 2  g_tBlkMutex (block-file creation and removal)
//   level 3  g_tBlkFileMutex (block-file table)  OR one block's lock
//   level 4  one disk's lock (never two disks)
//
// Inside a process, the descriptor-table mutex and a descriptor's own mutex
// come before all of these and are never held together.
//
// Take process locks only through ProcessLockGuard: it releases on every
// return, releases only what it took, and (in checked builds) aborts on a
// violation of the order above.
#pragma once

namespace zrfs {

enum class LockLevel : unsigned char {
  kRecord = 1,
  kBlockCreate = 2,
  kBlock = 3,
  kDisk = 4,
};

// One P or V with the EINTR retry.  True when done (or semId is -1).
bool AcquireProcessLock(int semId);
bool ReleaseProcessLock(int semId);

// A lock set that also keeps live counts: semaphores 1.. beside the lock.
// Every process changes a count with SEM_UNDO, so when a process dies the
// system takes back exactly what it added, and a count never includes a
// process that no longer exists (whatever its pid becomes later).  Returns
// the set's id, or -1.  A set that exists with fewer semaphores (made by an
// older build) keeps working as a lock; its missing counts are unknown.
int ProcLockWithCountsInit(int key, unsigned short counts);
inline int ProcLockWithCountInit(int key) {
  return ProcLockWithCountsInit(key, 1);
}
// Which count of a set: the first is semaphore 1.
inline constexpr unsigned short kFirstCount = 1;
// fsc_ProcLockInit for the lock of a pool object (a record file's): the
// process remembers the set each key gave, so only the first lookup of a
// key makes system calls.  ProcLockWithCountInit remembers the same way.
int ObjectLockInit(int key);
// Forgets every remembered set; the layers' start calls it, so a process
// that starts them again after the shared state was cleared looks anew.
void ForgetKnownLockSets();
// Adds delta to the count without waiting; false when the set has no count
// or the count would go below zero.
bool AddToLiveCount(int semId, short delta, unsigned short count = kFirstCount);
// The count, or -1 when it is unknown.
int LiveCount(int semId, unsigned short count = kFirstCount);

// Aborts (in checked builds) unless this thread holds a process lock of
// that level through a ProcessLockGuard: code that relies on a lock says so
// where it relies on it.
void AssertHeld(LockLevel level);

class ProcessLockGuard {
 public:
  ProcessLockGuard(int semId, LockLevel level);
  ~ProcessLockGuard() { Unlock(); }
  ProcessLockGuard(const ProcessLockGuard &) = delete;
  ProcessLockGuard &operator=(const ProcessLockGuard &) = delete;

  // False when the lock could not be taken (the set was removed, say).  The
  // caller must then give up: the data it guards is not protected.
  bool ok() const { return ok_; }

  // Gives the lock back early; the destructor then does nothing.
  void Unlock();

 private:
  int semId_;
  LockLevel level_;
  bool ok_;
  bool locked_;  // taken (a semaphore, or no lock for id -1) and not given back yet
};

// fsc_ProcLockInit: the id of the one-semaphore lock set of key, made (and
// freed) when missing, or -1.
int ProcLockInit(int key);

}  // namespace zrfs
