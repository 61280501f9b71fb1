// The replaceable heap allocator behind every per-process heap block.
#include <cstdlib>

#include "shared/status.h"
#include "zrfs.h"

using zrfs::NoteFailure;
using zrfs::Status;

namespace {

// Plain words: registration is a start-up step, not made safe against
// allocations running in other threads.
ZrfsMallocFn g_pfnMalloc;
ZrfsFreeFn g_pfnFree;

}  // namespace

extern "C" int zrfs_InitAllocatorInterface(void) {
  g_pfnMalloc = nullptr;
  g_pfnFree = nullptr;
  return 0;
}

extern "C" int zrfs_RegistAllocatorInterface(ZrfsMallocFn alloc, ZrfsFreeFn release) {
  if (alloc != nullptr && release != nullptr) {
    g_pfnMalloc = alloc;
    g_pfnFree = release;
  }
  return 0;
}

extern "C" void *zrfs_Malloc(uint32_t size) {
  void *block = g_pfnMalloc != nullptr ? g_pfnMalloc(size) : malloc(size);
  if (block == nullptr) NoteFailure(Status::kNoMemory);
  return block;
}

extern "C" void zrfs_Free(void *ptr) {
  if (g_pfnFree != nullptr) {
    g_pfnFree(ptr);
  } else {
    free(ptr);
  }
}
