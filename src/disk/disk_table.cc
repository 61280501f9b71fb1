// The per-process disk table, its start-up and the flush thread.
#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>

#include "disk/disk_table.h"
#include "os/os.h"
#include "shared/proc_lock.h"
#include "zrfs/df.h"
#include "zrfs/fsc.h"

namespace zrfs {

DfDiskSlot g_dfDiskTable[kMaxDisks];
std::atomic<uint64_t> g_dfUnitSize{0};

namespace {

constexpr useconds_t kIdleSleepUs = 40 * 1000;  // per sweep and per idle slot
// A mark of 1 is honoured on the visit after this many visits without a
// flush; a mark of 2 or more on the next visit.
constexpr int kVisitsPerPeriodicFlush = 20;

// Process that runs the flush thread.  A forked child inherits this value
// but not the thread, so comparing with getpid() (not a plain flag) lets the
// child's df_Init start its own thread while a second df_Init in the same
// process starts none.
std::atomic<pid_t> g_syncThreadOwner{0};

// The slot's lock id is read by the flush thread while df_Init may set it.
int LockIdOf(DfDiskSlot &slot) {
  return std::atomic_ref<int32_t>(slot.semId).load(std::memory_order_acquire);
}

void Flush(int fd) {
  os().DataSync(fd);
  os().Advise(fd, 0, 0, POSIX_FADV_DONTNEED);  // recorded video is not read back soon
}

// Sweeps the slots for the life of the process; errors are ignored.  Each
// slot's lock is held only to copy and clear its mark; flushing happens
// outside every lock.
void *SyncThread(void *) {
  int visits[kMaxDisks] = {};
  for (;;) {
    usleep(kIdleSleepUs);
    for (int disk = 0; disk < kMaxDisks; ++disk) {
      DfDiskSlot &slot = g_dfDiskTable[disk];
      int fd = -1;
      int mark = 0;
      {
        ProcessLockGuard lock(LockIdOf(slot), LockLevel::kDisk);
        if (!lock.ok() || !IsReady(slot)) {
          lock.Unlock();
          usleep(kIdleSleepUs);
          continue;
        }
        fd = slot.fd;
        mark = slot.syncMark;
        slot.syncMark = 0;
      }
      int previousVisits = visits[disk]++;
      if (previousVisits >= kVisitsPerPeriodicFlush) {
        if (mark != 0 && fd != 0) {
          Flush(fd);
          mark = 0;
        }
        visits[disk] = 0;
      }
      if (mark >= 2) {
        Flush(fd);
        visits[disk] = 0;
      }
    }
  }
  return nullptr;
}

void StartSyncThreadOnce() {
  pid_t me = getpid();
  pid_t owner = g_syncThreadOwner.load();
  while (owner != me) {
    if (!g_syncThreadOwner.compare_exchange_weak(owner, me)) continue;
    pthread_t thread;
    if (pthread_create(&thread, nullptr, SyncThread, nullptr) == 0) {
      pthread_detach(thread);
    } else {
      g_syncThreadOwner.store(0);  // let a later df_Init try again
    }
    return;
  }
}

}  // namespace

DfDiskSlot *SlotOfDisk(unsigned disk) {
  return disk < unsigned(kMaxDisks) ? &g_dfDiskTable[disk] : nullptr;
}

int DiskOfPath(const char *path) {
  int disk = fsc_GetDiskNumByPath(path);
  return disk >= 0 && disk < kMaxDisks ? disk : -1;
}

bool IsReady(const DfDiskSlot &slot) {
  return slot.entry != nullptr && slot.entry->mounted != 0 && slot.entry->stat != 1;
}

}  // namespace zrfs

using namespace zrfs;

extern "C" int df_Init(void) {
  int failedLocks = 0;
  for (int disk = 0; disk < kMaxDisks; ++disk) {
    DfDiskSlot &slot = g_dfDiskTable[disk];
    int semId = fsc_ProcLockInit(fsc_GetShmKey(kFirstDiskSlot + disk));
    if (semId < 0) ++failedLocks;
    // Rows are reset without closing descriptors: df_Init runs once at
    // start-up, before any disk is opened.
    ProcessLockGuard lock(semId, LockLevel::kDisk);
    std::atomic_ref<int32_t>(slot.semId).store(semId, std::memory_order_release);
    slot.fd = -1;
    slot.diskNo = -1;
    slot.syncMark = 0;
    slot.entry = nullptr;
  }
  StartSyncThreadOnce();
  return failedLocks == 0 ? 0 : -1;
}

extern "C" int df_Uninit(void) {
  return 0;
}

extern "C" int df_SetSyncMark(unsigned disk, int mark) {
  DfDiskSlot *slot = SlotOfDisk(disk);
  if (slot == nullptr) return -1;
  ProcessLockGuard lock(slot->semId, LockLevel::kDisk);
  if (!lock.ok()) return -1;
  // Urgent requests (2 or more) accumulate; a lesser one replaces the mark.
  slot->syncMark = slot->syncMark >= 2 ? slot->syncMark + mark : mark;
  return 0;
}
