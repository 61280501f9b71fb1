// Calls on an open descriptor: reading and writing at its position, moving
// the position, the status record, syncing, truncating, the ring pointers
// and the last error number.
#include <unistd.h>

#include "api/descriptor_table.h"
#include "disk/disk.h"
#include "record/record_file.h"
#include "shared/call_reason.h"
#include "zrfs.h"
#include "zrfs/df.h"

using namespace zrfs;

namespace {

int Transfer(int fd, void *buf, uint32_t len, bool writing) {
  CallReason reason;
  if (buf == nullptr) return reason.Refuse(Status::kBadArgument);
  if (len == 0) return reason.Answer(Status::kOk);
  DescriptorCall call(fd);
  FsHandle *h = call.get();
  if (h == nullptr || !(h->rwflag & (writing ? kMayWrite : kMayRead)))
    return reason.Refuse(Status::kBadDescriptor);
  HeldByTheCall(h);
  uint32_t pos = static_cast<uint32_t>(h->offset);  // a record file lies inside one block
  uint32_t done = len;
  Status status =
      writing ? WriteFile(h->file, pos, buf, len) : ReadFile(h->file, pos, buf, len, &done);
  if (Ok(status)) StoreOffset(h, h->offset + done);
  StoreErrNo(h, RecordErrNo(h->file));  // failures leave the position but tell why
  return Ok(status) ? reason.Give(static_cast<int>(done), true, status) : reason.Answer(status);
}

}  // namespace

extern "C" int zrfs_Read(int fd, void *buf, uint32_t len) {
  return Transfer(fd, buf, len, false);
}

extern "C" int zrfs_Write(int fd, const void *buf, uint32_t len) {
  return Transfer(fd, const_cast<void *>(buf), len, true);
}

extern "C" int64_t zrfs_Seek(int fd, int64_t distance, int whence) {
  CallReason reason;
  DescriptorCall call(fd);
  FsHandle *h = call.get();
  if (h == nullptr) return reason.Refuse(Status::kBadDescriptor);
  HeldByTheCall(h);
  TfFileStat st{};  // a status that cannot be read counts as size 0
  (void)GetFileStatus(h->file, &st);
  int64_t target = distance;
  if (whence == SEEK_CUR) target = h->offset + distance;
  if (whence == SEEK_END) target = st.st_size + distance;
  // An impossible target is no error: the position goes back to the start.
  if (target < 0 || static_cast<uint64_t>(target) >= UnitSize()) {
    StoreOffset(h, 0);
    return reason.Answer(Status::kOk);
  }
  StoreOffset(h, target);
  return reason.Give(target, true, Status::kOk);
}

extern "C" int zrfs_Tell(int fd) {
  CallReason reason;
  DescriptorCall call(fd);
  FsHandle *h = call.get();
  if (h == nullptr) return reason.Refuse(Status::kBadDescriptor);
  HeldByTheCall(h);
  return reason.Give(static_cast<int>(h->offset), true, Status::kOk);
}

extern "C" int zrfs_Eof(int fd) {
  CallReason reason;
  DescriptorCall call(fd);
  FsHandle *h = call.get();
  if (h == nullptr) return reason.Refuse(Status::kBadDescriptor);
  HeldByTheCall(h);
  TfFileStat st{};  // a status that cannot be read counts as size 0
  (void)GetFileStatus(h->file, &st);
  int atEnd = static_cast<uint64_t>(h->offset) >= static_cast<uint64_t>(st.st_size) ? 1 : 0;
  return reason.Give(atEnd, true, Status::kOk);
}

extern "C" int zrfs_fstat(int fd, TfFileStat *st) {
  CallReason reason;
  DescriptorCall call(fd);
  FsHandle *h = call.get();
  if (h == nullptr) return reason.Refuse(Status::kBadDescriptor);
  HeldByTheCall(h);
  (void)GetFileStatus(h->file, st);  // a status read that fails (no record) still gives 0
  return reason.Answer(Status::kOk);
}

extern "C" int zrfs_fsync(int fd) {
  CallReason reason;
  DescriptorCall call(fd);
  FsHandle *h = call.get();
  if (h == nullptr || !(h->rwflag & kMayWrite)) return reason.Refuse(Status::kBadDescriptor);
  HeldByTheCall(h);
  return reason.Answer(SyncFile(h->file));
}

extern "C" int zrfs_ftruncate(int fd, int64_t len) {
  CallReason reason;
  DescriptorCall call(fd);
  FsHandle *h = call.get();
  if (h == nullptr) return reason.Refuse(Status::kBadDescriptor);
  HeldByTheCall(h);
  return reason.Answer(TruncateFile(h->file, len));
}

extern "C" int zrfs_UpdataePreRecPtr(int fd, int32_t start, int32_t end) {
  CallReason reason;
  DescriptorCall call(fd);
  FsHandle *h = call.get();
  if (h == nullptr) return reason.Refuse(Status::kBadDescriptor);
  HeldByTheCall(h);
  return reason.Answer(FixRing(h->file, start, end));
}

extern "C" int zrfs_error(int fd) {
  CallReason reason;
  DescriptorCall call(fd);
  FsHandle *h = call.get();
  if (h == nullptr) return reason.Give(0, false, Status::kBadDescriptor);
  return reason.Give(h->errNo, true, Status::kOk);
}
