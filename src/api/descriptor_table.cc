#include "api/descriptor_table.h"

#include <cstring>
#include <new>

#include "record/record_file.h"
#include "zrfs.h"

extern "C" {
// Exported so a host can see the table lock; guards the slots, the
// generation counter and the pins.
ZRFS_API pthread_mutex_t g_tZrFsMutex = PTHREAD_MUTEX_INITIALIZER;
}

namespace zrfs {

MutexView g_tableMutex{&g_tZrFsMutex};

namespace {

FsHandle *g_fsHandleTable[kDescriptorSlots] GUARDED_BY(g_tableMutex);
uint16_t g_fsGeneration GUARDED_BY(g_tableMutex);  // never reset; runs 0..4095

constexpr uint16_t kGenerations = 4096;

class SCOPED_CAPABILITY TableLock {
 public:
  TableLock() ACQUIRE(g_tableMutex) { g_tableMutex.Lock(); }
  ~TableLock() RELEASE() { g_tableMutex.Unlock(); }
  TableLock(const TableLock &) = delete;
  TableLock &operator=(const TableLock &) = delete;
};

int SlotOf(const FsHandle *h) {
  return h->fd & 0xFFFF;
}

uint16_t NextGeneration() REQUIRES(g_tableMutex) {
  if (g_fsGeneration < kGenerations) return g_fsGeneration++;
  g_fsGeneration = 1;
  return 0;
}

void Destroy(FsHandle *h) {
  h->lock.Destroy();
  h->~FsHandle();
  zrfs_Free(h);
}

// Takes the handle out of the table; true when nobody uses it any more.
bool Remove(FsHandle *h) {
  TableLock lock;
  int slot = SlotOf(h);
  if (slot < kDescriptorSlots && g_fsHandleTable[slot] == h) g_fsHandleTable[slot] = nullptr;
  return h->users == 0;
}

int32_t AccessMode(int flags) {
  if (flags & 2) return kMayRead | kMayWrite;
  if (flags & 1) return kMayWrite;
  return kMayRead;
}

}  // namespace

void ResetDescriptorTable() {
  TableLock lock;
  for (FsHandle *&slot : g_fsHandleTable) slot = nullptr;
}

FsHandle *OpenDescriptor(const FileCreateParam *param, char *name, int flags) {
  FsHandle *h;
  {
    TableLock lock;
    int slot = 0;
    while (slot < kDescriptorSlots && g_fsHandleTable[slot] != nullptr) ++slot;
    if (slot == kDescriptorSlots) {
      NoteFailure(Status::kTableFull);
      return nullptr;
    }
    void *memory = zrfs_Malloc(sizeof(FsHandle));
    if (memory == nullptr) return nullptr;
    h = new (memory) FsHandle{};
    h->fd = static_cast<int32_t>(NextGeneration()) << 16 | slot;
    h->rwflag = AccessMode(flags);  // before the table shows it: never changes after
    h->users = 1;                   // the opener's pin
    g_fsHandleTable[slot] = h;
  }
  {
    HandleLock lock(h->lock);
    h->file = OpenOrCreateFile(param, name);
    // A file opened to be written counts as growing from now on, written
    // or not yet: no file of its channel is put behind it meanwhile.
    if (h->file != nullptr && (h->rwflag & kMayWrite)) MarkWriting(h->file);
  }
  bool opened;
  {
    HandleLock lock(h->lock);
    opened = h->file != nullptr;
  }
  if (!opened) {
    Remove(h);
    Unpin(h);
    return nullptr;
  }
  return h;
}

FsHandle *PinDescriptor(int fd) {
  if (fd < 0) return nullptr;
  int slot = fd & 0xFFFF;
  TableLock lock;
  if (slot >= kDescriptorSlots) return nullptr;
  FsHandle *h = g_fsHandleTable[slot];
  if (h == nullptr || h->fd != fd) return nullptr;
  h->users += 1;
  return h;
}

FsHandle *PinSlot(int slot) {
  TableLock lock;
  FsHandle *h = g_fsHandleTable[slot];
  if (h != nullptr) h->users += 1;
  return h;
}

void Unpin(FsHandle *h) {
  bool unused;
  {
    TableLock lock;
    h->users -= 1;
    int slot = SlotOf(h);
    unused = h->users == 0 && (slot >= kDescriptorSlots || g_fsHandleTable[slot] != h);
  }
  if (unused) Destroy(h);
}

void CloseDescriptor(FsHandle *h) {
  {
    HandleLock lock(h->lock);
    if (h->file != nullptr) {
      // A header that cannot be written now stays in the shared entry for
      // the file's next sync; closing goes on.
      if (h->rwflag & kMayWrite) (void)SyncFile(h->file);
      ReleaseFile(h->file);
      h->file = nullptr;
    }
  }
  Remove(h);  // the caller's pin keeps it alive until Unpin
}

// Reads the position and the error number whole without the handle's
// mutex, on purpose: the dump must not wait behind a call in progress.
bool CopySlot(int slot, DescriptorLine *out) NO_THREAD_SAFETY_ANALYSIS {
  TableLock lock;
  FsHandle *h = g_fsHandleTable[slot];
  if (h == nullptr) return false;
  out->fd = h->fd;
  out->rwflag = h->rwflag;
  out->errNo = std::atomic_ref<int32_t>(h->errNo).load(std::memory_order_relaxed);
  out->offset = std::atomic_ref<int64_t>(h->offset).load(std::memory_order_relaxed);
  return true;
}

}  // namespace zrfs
