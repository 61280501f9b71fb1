// Calls on an open descriptor: reading and writing at its position, moving
// the position, the status record, syncing, truncating, the ring pointers
// and the last error number.
#include <unistd.h>

#include "api/descriptor_table.h"
#include "disk/disk.h"
#include "record/record_file.h"
#include "zrfs.h"
#include "zrfs/df.h"

using namespace zrfs;

namespace {

int Transfer(int fd, void *buf, uint32_t len, bool writing) {
  if (buf == nullptr) return -1;
  if (len == 0) return 0;
  DescriptorCall call(fd);
  FsHandle *h = call.get();
  if (h == nullptr || !(h->rwflag & (writing ? kMayWrite : kMayRead))) return -1;
  HeldByTheCall(h);
  uint32_t pos = static_cast<uint32_t>(h->offset);  // a record file lies inside one block
  uint32_t done = len;
  Status status =
      writing ? WriteFile(h->file, pos, buf, len) : ReadFile(h->file, pos, buf, len, &done);
  if (Ok(status)) StoreOffset(h, h->offset + done);
  StoreErrNo(h, RecordErrNo(h->file));  // failures leave the position but tell why
  return Ok(status) ? static_cast<int>(done) : -1;
}

}  // namespace

extern "C" int zrfs_Read(int fd, void *buf, uint32_t len) {
  return Transfer(fd, buf, len, false);
}

extern "C" int zrfs_Write(int fd, const void *buf, uint32_t len) {
  return Transfer(fd, const_cast<void *>(buf), len, true);
}

extern "C" int64_t zrfs_Seek(int fd, int64_t distance, int whence) {
  DescriptorCall call(fd);
  FsHandle *h = call.get();
  if (h == nullptr) return -1;
  HeldByTheCall(h);
  TfFileStat st{};  // a status that cannot be read counts as size 0
  (void)GetFileStatus(h->file, &st);
  int64_t target = distance;
  if (whence == SEEK_CUR) target = h->offset + distance;
  if (whence == SEEK_END) target = st.st_size + distance;
  // An impossible target is no error: the position goes back to the start.
  if (target < 0 || static_cast<uint64_t>(target) >= UnitSize()) {
    StoreOffset(h, 0);
    return 0;
  }
  StoreOffset(h, target);
  return target;
}

extern "C" int zrfs_Tell(int fd) {
  DescriptorCall call(fd);
  FsHandle *h = call.get();
  if (h == nullptr) return -1;
  HeldByTheCall(h);
  return static_cast<int>(h->offset);
}

extern "C" int zrfs_Eof(int fd) {
  DescriptorCall call(fd);
  FsHandle *h = call.get();
  if (h == nullptr) return -1;
  HeldByTheCall(h);
  TfFileStat st{};  // a status that cannot be read counts as size 0
  (void)GetFileStatus(h->file, &st);
  return static_cast<uint64_t>(h->offset) >= static_cast<uint64_t>(st.st_size) ? 1 : 0;
}

extern "C" int zrfs_fstat(int fd, TfFileStat *st) {
  DescriptorCall call(fd);
  FsHandle *h = call.get();
  if (h == nullptr) return -1;
  HeldByTheCall(h);
  (void)GetFileStatus(h->file, st);  // a status read that fails (no record) still gives 0
  return 0;
}

extern "C" int zrfs_fsync(int fd) {
  DescriptorCall call(fd);
  FsHandle *h = call.get();
  if (h == nullptr || !(h->rwflag & kMayWrite)) return -1;
  HeldByTheCall(h);
  return ToAbi(SyncFile(h->file));
}

extern "C" int zrfs_ftruncate(int fd, int64_t len) {
  DescriptorCall call(fd);
  FsHandle *h = call.get();
  if (h == nullptr) return -1;
  HeldByTheCall(h);
  return ToAbi(TruncateFile(h->file, len));
}

extern "C" int zrfs_UpdataePreRecPtr(int fd, int32_t start, int32_t end) {
  DescriptorCall call(fd);
  FsHandle *h = call.get();
  if (h == nullptr) return -1;
  HeldByTheCall(h);
  return ToAbi(FixRing(h->file, start, end));
}

extern "C" int zrfs_error(int fd) {
  DescriptorCall call(fd);
  FsHandle *h = call.get();
  return h == nullptr ? 0 : h->errNo;
}
