// Start-up and shut-down of the library in a process, and opening and
// closing descriptors.
#include "api/descriptor_table.h"
#include "record/record_file.h"
#include "shared/call_reason.h"
#include "shared/keys.h"
#include "zrfs.h"

using namespace zrfs;

extern "C" int zrfs_Init(void) {
  CallReason reason;
  EnsureKeyDirectory();
  ResetDescriptorTable();
  zrfs_InitAllocatorInterface();
  return reason.Answer(StartRecordLayer());
}

extern "C" int zrfs_DeInit(void) {
  CallReason reason;
  for (int slot = 0; slot < kDescriptorSlots; ++slot) {
    FsHandle *h = PinSlot(slot);
    if (h == nullptr) continue;
    CloseDescriptor(h);
    Unpin(h);
  }
  return reason.Answer(Status::kOk);
}

extern "C" int zrfs_Open(FileCreateParam *param, char *name, int flags) {
  CallReason reason;
  if (name == nullptr) return reason.Refuse(Status::kBadArgument);
  FsHandle *h = OpenDescriptor(param, name, flags);
  // A create that found no reason of its own found no room.
  if (h == nullptr) return reason.Give(-1, false, param ? Status::kNoSpace : Status::kNotFound);
  int fd = h->fd;
  Unpin(h);
  return reason.Give(fd, true, Status::kOk);
}

// Always 0; closing what is not open tells it as a bad descriptor.
extern "C" int zrfs_Close(int fd) {
  CallReason reason;
  FsHandle *h = PinDescriptor(fd);
  if (h == nullptr) return reason.Give(0, false, Status::kBadDescriptor);
  CloseDescriptor(h);
  Unpin(h);
  return reason.Answer(Status::kOk);
}
