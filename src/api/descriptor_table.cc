#include "api/descriptor_table.h"

#include <cstring>

#include "record/record_file.h"
#include "zrfs.h"

extern "C" {
// Exported so a host can see the table lock; guards the slots, the
// generation counter and the pins.
ZRFS_API pthread_mutex_t g_tZrFsMutex = PTHREAD_MUTEX_INITIALIZER;
}

namespace zrfs {
namespace {

FsHandle *g_fsHandleTable[kDescriptorSlots];
uint16_t g_fsGeneration;  // never reset; generations run 0..4095

constexpr uint16_t kGenerations = 4096;

class TableLock {
 public:
  TableLock() { pthread_mutex_lock(&g_tZrFsMutex); }
  ~TableLock() { pthread_mutex_unlock(&g_tZrFsMutex); }
  TableLock(const TableLock &) = delete;
  TableLock &operator=(const TableLock &) = delete;
};

int SlotOf(const FsHandle *h) {
  return h->fd & 0xFFFF;
}

uint16_t NextGeneration() {
  if (g_fsGeneration < kGenerations) return g_fsGeneration++;
  g_fsGeneration = 1;
  return 0;
}

void Destroy(FsHandle *h) {
  pthread_mutex_destroy(&h->lock);
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
    if (slot == kDescriptorSlots) return nullptr;
    h = static_cast<FsHandle *>(zrfs_Malloc(sizeof(FsHandle)));
    if (h == nullptr) return nullptr;
    memset(h, 0, sizeof *h);
    h->fd = static_cast<int32_t>(NextGeneration()) << 16 | slot;
    h->users = 1;  // the opener's pin
    pthread_mutex_init(&h->lock, nullptr);
    g_fsHandleTable[slot] = h;
  }
  {
    HandleLock lock(h);
    h->rwflag = AccessMode(flags);
    h->file = tf_OpenFile(param, name);
    // A file opened to be written counts as growing from now on, written
    // or not yet: no file of its channel is put behind it meanwhile.
    if (h->file != nullptr && (h->rwflag & kMayWrite)) tf_MarkWriting(h->file);
  }
  if (h->file == nullptr) {
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
    HandleLock lock(h);
    if (h->file != nullptr) {
      if (h->rwflag & kMayWrite) tf_SyncFile(h->file);
      tf_CloseFile(h->file);
      h->file = nullptr;
    }
  }
  Remove(h);  // the caller's pin keeps it alive until Unpin
}

bool CopySlot(int slot, FsHandle *out) {
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
