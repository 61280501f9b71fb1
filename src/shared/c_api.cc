// The shared layer's C interface: the pool, keys, process locks and the
// naming helpers, over the layer's core (pool.h, keys.h, proc_lock.h,
// naming.h).
#include "shared/keys.h"
#include "shared/naming.h"
#include "shared/pool.h"
#include "shared/proc_lock.h"
#include "zrfs/fsc.h"

using namespace zrfs;

extern "C" int fsc_ShareInit(void) {
  return AttachSharedPool();
}

extern "C" void *fsc_TfMalloc(uint32_t keyLo, uint32_t keyHi, uint32_t size) {
  return AcquireRecordEntry(keyLo, keyHi, size);
}

extern "C" void *fsc_BfMalloc(uint32_t keyLo, uint32_t keyHi, uint32_t size) {
  return AcquireBlockEntry(keyLo, keyHi, size);
}

extern "C" void *fsc_DfMalloc(uint32_t keyLo, uint32_t keyHi, uint32_t size) {
  return AcquireDiskEntry(keyLo, keyHi, size);
}

extern "C" void fsc_TfFree(void *entry) {
  ReleaseRecordEntry(entry);
}

extern "C" void fsc_BfFree(void *entry) {
  ReleaseBlockEntry(entry);
}

extern "C" void fsc_DfFree(void *entry) {
  ReleaseDiskEntry(entry);
}

extern "C" int fsc_GetShareKey(const char *path, int projId) {
  return ShareKey(path, projId);
}

extern "C" int fsc_GetShmKey(int slot) {
  return SlotKey(slot);
}

extern "C" int fsc_ProcLockInit(int key) {
  return ProcLockInit(key);
}

extern "C" void fsc_ProcLock(int semId) {
  (void)AcquireProcessLock(semId);  // the interface has no result to give
}

extern "C" void fsc_ProcUnlock(int semId) {
  (void)ReleaseProcessLock(semId);
}

extern "C" int fsc_GetDiskNumByPath(const char *path) {
  return DiskNumberOfPath(path);
}

extern "C" int fsc_DiskAtoI(int c) {
  return DiskNumberOfLetter(c);
}

extern "C" int fsc_DiskItoA(uint32_t n) {
  return DiskLetter(n);
}

extern "C" uint32_t fsc_GetBlkType(uint32_t dataType) {
  return BlockTypeOf(dataType);
}
