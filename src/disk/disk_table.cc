// The per-process disk table, its start-up and the flush thread.
#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>

#include "disk/disk.h"
#include "disk/disk_table.h"
#include "disk/entry_attach.h"
#include "disk/policy.h"
#include "disk/written_ranges.h"
#include "format/block_format.h"
#include "os/os.h"
#include "shared/keys.h"
#include "shared/naming.h"
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
// but not the thread, so comparing with the process id (not a plain flag)
// lets the child's df_Init start its own thread while a second df_Init in
// the same process starts none.
std::atomic<int> g_syncThreadOwner{0};

std::atomic<uint64_t> g_sweeps{0};

// zrfs_SetFlushInterval: the longest a returned write may wait for the
// flush thread, in microseconds; 0 keeps the visit cadence alone.
std::atomic<uint32_t> g_flushIntervalMicros{0};

// In interval mode the thread sweeps often enough to meet the interval:
// a quarter of it, at most the idle sleep.
uint32_t SweepSleepMicros(uint32_t interval) {
  if (interval == 0) return kIdleSleepUs;
  return interval / 4 < kIdleSleepUs ? interval / 4 : kIdleSleepUs;
}

// Marks of this process's writes the interval rule still owes a flush: when
// the thread first saw one since the disk's last flush (0: none pending).
int64_t g_pendingSince[kMaxDisks];

// The slot's lock id is read by the flush thread while df_Init may set it.
int LockIdOf(DfDiskSlot &slot) {
  return std::atomic_ref<int32_t>(slot.semId).load(std::memory_order_acquire);
}

// Where a disk's blocks lie, copied under the slot's lock for a flush.
struct Geometry {
  uint64_t dataStart = 0;
  uint64_t unitSize = 0;
};

// Drops one written range from the cache, less the header area of every
// block it touches: recorded video is not read back soon, while headers
// are read again by the next append.
void DropWrittenRange(int fd, const ByteRange &r, const Geometry &g) {
  if (g.unitSize == 0 || r.end <= g.dataStart) return;
  uint64_t at = r.begin > g.dataStart ? r.begin : g.dataStart;
  while (at < r.end) {
    uint64_t blockStart = g.dataStart + (at - g.dataStart) / g.unitSize * g.unitSize;
    uint64_t from = at > blockStart + kHeaderAreaSize ? at : blockStart + kHeaderAreaSize;
    uint64_t to = blockStart + g.unitSize < r.end ? blockStart + g.unitSize : r.end;
    if (from < to) os().Advise(fd, int64_t(from), int64_t(to - from), POSIX_FADV_DONTNEED);
    at = blockStart + g.unitSize;
  }
}

// Makes durable what was written, then drops the record data written
// before the flush began from the cache.
void Flush(int disk, int fd, const Geometry &g) {
  ByteRange written[WrittenRanges::kRanges];
  int count = TakeWrittenData(unsigned(disk), written);
  os().DataSync(fd);
  for (int i = 0; i < count; ++i) DropWrittenRange(fd, written[i], g);
}

// Sweeps the slots for the life of the process; errors are ignored.  Each
// slot's lock is held only to copy and clear its mark; flushing happens
// outside every lock.
void *SyncThread(void *) {
  int visits[kMaxDisks] = {};
  for (;;) {
    os().SleepMicros(SweepSleepMicros(g_flushIntervalMicros.load(std::memory_order_relaxed)));
    for (int disk = 0; disk < kMaxDisks; ++disk) {
      DfDiskSlot &slot = g_dfDiskTable[disk];
      int fd = -1;
      int mark = 0;
      Geometry geometry;
      {
        ProcessLockGuard lock(LockIdOf(slot), LockLevel::kDisk);
        if (!lock.ok() || !IsReady(slot)) {
          lock.Unlock();
          g_pendingSince[disk] = 0;
          // The visit cadence's pace, unless an interval asks for more.
          if (g_flushIntervalMicros.load(std::memory_order_relaxed) == 0)
            os().SleepMicros(kIdleSleepUs);
          continue;
        }
        fd = slot.fd;
        mark = std::atomic_ref<int32_t>(slot.syncMark).exchange(0, std::memory_order_relaxed);
        geometry = Geometry{slot.entry->head.dataStart, slot.entry->head.unitSize};
      }
      // Read after the mark is taken, at every visit: a mark made after the
      // interval was set is never dropped by the cadence's rule.
      uint32_t interval = g_flushIntervalMicros.load(std::memory_order_acquire);
      // Interval mode: a mark is kept until it is flushed, and flushed
      // before the interval since it was seen runs out (a sweep may pass
      // between the write and the sight, and another until the flush).
      int64_t now = os().MonotonicMicros();
      if (interval != 0 && mark != 0 && g_pendingSince[disk] == 0) g_pendingSince[disk] = now;
      bool intervalDue =
          interval != 0 && g_pendingSince[disk] != 0 &&
          now - g_pendingSince[disk] + 2 * int64_t(SweepSleepMicros(interval)) >= int64_t(interval);
      int previousVisits = visits[disk]++;
      if (previousVisits >= kVisitsPerPeriodicFlush) {
        if (mark != 0 && fd != 0) {
          Flush(disk, fd, geometry);
          mark = 0;
          g_pendingSince[disk] = 0;
        }
        visits[disk] = 0;
      }
      if (mark >= 2 || intervalDue) {
        Flush(disk, fd, geometry);
        visits[disk] = 0;
        g_pendingSince[disk] = 0;
      }
    }
    g_sweeps.fetch_add(1, std::memory_order_release);
  }
  return nullptr;
}

void StartSyncThreadOnce() {
  int me = os().ProcessId();
  int owner = g_syncThreadOwner.load();
  while (owner != me) {
    if (!g_syncThreadOwner.compare_exchange_weak(owner, me)) continue;
    if (os().StartThread(SyncThread, nullptr) != 0)
      g_syncThreadOwner.store(0);  // let a later df_Init try again
    return;
  }
}

}  // namespace

uint64_t FlushThreadSweeps() {
  return g_sweeps.load(std::memory_order_acquire);
}

DfDiskSlot *SlotOfDisk(unsigned disk) {
  return disk < unsigned(kMaxDisks) ? &g_dfDiskTable[disk] : nullptr;
}

int DiskOfPath(const char *path) {
  int disk = DiskNumberOfPath(path);
  return disk >= 0 && disk < kMaxDisks ? disk : -1;
}

bool IsReady(const DfDiskSlot &slot) {
  return slot.entry != nullptr && MountedNow(*slot.entry);
}

Status StartDiskLayer() {
  int failedLocks = 0;
  for (int disk = 0; disk < kMaxDisks; ++disk) {
    DfDiskSlot &slot = g_dfDiskTable[disk];
    // The set also counts the live processes that have the disk mounted.
    int semId = ProcLockWithCountInit(SlotKey(kFirstDiskSlot + disk));
    if (semId < 0) ++failedLocks;
    // Rows are reset without closing descriptors: df_Init runs once at
    // start-up, before any disk is opened.
    ProcessLockGuard lock(semId, LockLevel::kDisk);
    std::atomic_ref<int32_t>(slot.semId).store(semId, std::memory_order_release);
    slot.fd = -1;
    slot.diskNo = -1;
    std::atomic_ref<int32_t>(slot.syncMark).store(0, std::memory_order_relaxed);
    PublishEntry(slot, nullptr);
  }
  ForgetKeptDiskEntries();
  ForgetDiskPolicies();
  StartSyncThreadOnce();
  return failedLocks == 0 ? Status::kOk : Status::kNoLock;
}

void SetFlushInterval(uint32_t milliseconds) {
  uint64_t micros = uint64_t(milliseconds) * 1000;
  g_flushIntervalMicros.store(micros > UINT32_MAX ? UINT32_MAX : uint32_t(micros),
                              std::memory_order_release);
}

Status FlushDisk(const char *path) {
  {
    MountedDisk disk(path);
    if (!Ok(disk.status())) return disk.status();
  }
  // A descriptor of its own: the sync covers the device's (or image's) every
  // write that has returned, made through any descriptor of any process,
  // and no lock is held while the device works.
  int fd = os().Open(path, O_RDONLY | O_CLOEXEC | O_LARGEFILE, 0);
  if (fd < 0) return Status::kIoError;
  int synced = os().DataSync(fd);
  os().Close(fd);
  return synced == 0 ? Status::kOk : Status::kIoError;
}

Status SetSyncMark(unsigned disk, int mark) {
  DfDiskSlot *slot = SlotOfDisk(disk);
  if (slot == nullptr) return Status::kBadArgument;
  ProcessLockGuard lock(slot->semId, LockLevel::kDisk);
  if (!lock.ok()) return Status::kNoLock;
  // Urgent requests (2 or more) accumulate; a lesser one replaces the mark.
  // The transfer path changes the mark without the lock (fast_path.h).
  std::atomic_ref<int32_t> current(slot->syncMark);
  int32_t seen = current.load(std::memory_order_relaxed);
  while (!current.compare_exchange_weak(seen, seen >= 2 ? seen + mark : mark,
                                        std::memory_order_relaxed)) {
  }
  return Status::kOk;
}

}  // namespace zrfs
