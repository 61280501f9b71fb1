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

#include <atomic>
#include <cstdint>

#include "shared/mutex.h"
#include "zrfs/tf.h"

namespace zrfs {
// The table mutex as the thread-safety analysis names it.
extern MutexView g_tableMutex;
}  // namespace zrfs

struct FsHandle {
  int32_t fd;                                    // the descriptor value; fixed
  int32_t rwflag;                                // bit 0: may write, bit 1: may read; fixed
  int32_t errNo;                                 // last read or write; see StoreErrNo
  int32_t users GUARDED_BY(zrfs::g_tableMutex);  // calls running on the handle
  int64_t offset GUARDED_BY(lock);               // position in the record file
  TfHandle *file GUARDED_BY(lock);               // the open record file; null once closed
  zrfs::Mutex lock;                              // serialises the calls on the handle
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
inline void StoreOffset(FsHandle *h, int64_t offset) REQUIRES(h->lock) {
  std::atomic_ref<int64_t>(h->offset).store(offset, std::memory_order_relaxed);
}
inline void StoreErrNo(FsHandle *h, int32_t errNo) {
  std::atomic_ref<int32_t>(h->errNo).store(errNo, std::memory_order_relaxed);
}

// What the dump shows of a descriptor.
struct DescriptorLine {
  int32_t fd;
  int32_t rwflag;
  int32_t errNo;
  int64_t offset;
};
// Copies a slot's handle for the dump; false for an empty slot.
bool CopySlot(int slot, DescriptorLine *out);

// Locks the handle's mutex for a scope.
using HandleLock = MutexLock<Mutex>;

// Tells the analysis what a DescriptorCall guarantees: the handle it gave
// is locked.  It cannot see that through the null test.
inline void HeldByTheCall([[maybe_unused]] const FsHandle *h) ASSERT_CAPABILITY(h->lock) {}

// A descriptor call: pins the handle and holds its mutex for the scope.
// get() is null for a bad or closed descriptor; callers that got a handle
// say so with HeldByTheCall.
class DescriptorCall {
 public:
  // The lock is taken and given back on paths the analysis cannot pair.
  explicit DescriptorCall(int fd) NO_THREAD_SAFETY_ANALYSIS
      : h_(fd < 0 ? nullptr : PinDescriptor(fd)) {
    if (h_ == nullptr) return;
    h_->lock.Lock();
    if (h_->file == nullptr) {  // closed by another thread meanwhile
      h_->lock.Unlock();
      Unpin(h_);
      h_ = nullptr;
    }
  }
  ~DescriptorCall() NO_THREAD_SAFETY_ANALYSIS {
    if (h_ == nullptr) return;
    h_->lock.Unlock();
    Unpin(h_);
  }
  DescriptorCall(const DescriptorCall &) = delete;
  DescriptorCall &operator=(const DescriptorCall &) = delete;
  FsHandle *get() const { return h_; }

 private:
  FsHandle *h_;
};

}  // namespace zrfs
