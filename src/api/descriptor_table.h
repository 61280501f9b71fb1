// The per-process table of descriptors handed to applications.
//
// A descriptor is generation << 16 | slot.  The table mutex (g_tZrFsMutex)
// guards the slots, the generation counter and every handle's pin count; a
// handle's own mutex serialises the calls made through it and is held across
// the call into the record-file layer.  The two are never held together.
//
// A call pins its handle for its whole run, so a close from another thread
// only takes the handle out of the table and closes its file; the memory is
// freed when the last call leaves.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstdint>

#include "zrfs/tf.h"

struct FsHandle {
  int32_t fd;      // the descriptor value
  int32_t rwflag;  // bit 0: may write, bit 1: may read
  int32_t errNo;   // error number of the last read or write
  int32_t users;   // calls running on the handle (table mutex)
  int64_t offset;  // position in the record file
  TfHandle *file;  // the open record file; null once closed (handle mutex)
  pthread_mutex_t lock;
};
#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(sizeof(FsHandle) == 56, "the recorder's handle layout");
#endif

namespace zrfs {

inline constexpr int kDescriptorSlots = 1024;
inline constexpr int32_t kMayWrite = 1;
inline constexpr int32_t kMayRead = 2;

// Clears the table (handles left by an earlier start-up are dropped).
void ResetDescriptorTable();

// A new handle with its record file open, or null.  The handle comes back
// pinned; the caller unpins it.
FsHandle *OpenDescriptor(const FileCreateParam *param, char *name, int flags);

// The handle of a live descriptor, pinned, or null.
FsHandle *PinDescriptor(int fd);
// The handle in a slot, pinned, or null.
FsHandle *PinSlot(int slot);
// Gives a pin back; frees a handle that was closed and is no longer used.
void Unpin(FsHandle *h);

// Syncs (when writable) and closes the handle's record file, then takes the
// handle out of the table.  The caller still holds its pin.
void CloseDescriptor(FsHandle *h);

// offset and errNo change under the handle's mutex; the dump reads them
// under the table mutex alone, so both are stored and read whole (a 64-bit
// offset would otherwise tear on the recorder's 32-bit processor).
inline void StoreOffset(FsHandle *h, int64_t offset) {
  std::atomic_ref<int64_t>(h->offset).store(offset, std::memory_order_relaxed);
}
inline void StoreErrNo(FsHandle *h, int32_t errNo) {
  std::atomic_ref<int32_t>(h->errNo).store(errNo, std::memory_order_relaxed);
}

// Copies a slot's handle for the dump; false for an empty slot.
bool CopySlot(int slot, FsHandle *out);

// Locks the handle's mutex for a scope.
class HandleLock {
 public:
  explicit HandleLock(FsHandle *h) : h_(h) { pthread_mutex_lock(&h_->lock); }
  ~HandleLock() { pthread_mutex_unlock(&h_->lock); }
  HandleLock(const HandleLock &) = delete;
  HandleLock &operator=(const HandleLock &) = delete;

 private:
  FsHandle *h_;
};

// A descriptor call: pins the handle and holds its mutex for the scope.
// get() is null for a bad or closed descriptor.
class DescriptorCall {
 public:
  explicit DescriptorCall(int fd) : h_(fd < 0 ? nullptr : PinDescriptor(fd)) {
    if (h_ == nullptr) return;
    pthread_mutex_lock(&h_->lock);
    if (h_->file == nullptr) {  // closed by another thread meanwhile
      pthread_mutex_unlock(&h_->lock);
      Unpin(h_);
      h_ = nullptr;
    }
  }
  ~DescriptorCall() {
    if (h_ == nullptr) return;
    pthread_mutex_unlock(&h_->lock);
    Unpin(h_);
  }
  DescriptorCall(const DescriptorCall &) = delete;
  DescriptorCall &operator=(const DescriptorCall &) = delete;
  FsHandle *get() const { return h_; }

 private:
  FsHandle *h_;
};

}  // namespace zrfs
