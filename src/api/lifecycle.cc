// Start-up and shut-down of the library in a process, and opening and
// closing descriptors.
#include "api/descriptor_table.h"
#include "record/record_file.h"
#include "shared/keys.h"
#include "zrfs.h"

using namespace zrfs;

extern "C" int zrfs_Init(void) {
  EnsureKeyDirectory();
  ResetDescriptorTable();
  zrfs_InitAllocatorInterface();
  return ToAbi(StartRecordLayer());
}

extern "C" int zrfs_DeInit(void) {
  for (int slot = 0; slot < kDescriptorSlots; ++slot) {
    FsHandle *h = PinSlot(slot);
    if (h == nullptr) continue;
    CloseDescriptor(h);
    Unpin(h);
  }
  return 0;
}

extern "C" int zrfs_Open(FileCreateParam *param, char *name, int flags) {
  if (name == nullptr) return -1;
  FsHandle *h = OpenDescriptor(param, name, flags);
  if (h == nullptr) return -1;
  int fd = h->fd;
  Unpin(h);
  return fd;
}

extern "C" int zrfs_Close(int fd) {
  FsHandle *h = PinDescriptor(fd);
  if (h == nullptr) return 0;
  CloseDescriptor(h);
  Unpin(h);
  return 0;
}
