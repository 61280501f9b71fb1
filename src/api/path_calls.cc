// Calls that name a record file: each opens it read-only for the length of
// the call, through the descriptor table, and leaves no descriptor behind.
#include <cstring>

#include "api/descriptor_table.h"
#include "block/block_file.h"
#include "record/record_file.h"
#include "shared/call_reason.h"
#include "zrfs.h"

using namespace zrfs;

namespace {

// Opens name, runs work on its record file, closes it again.  A failure
// to open leaves its reason noted.
template <typename Work>
int WithFile(const char *name, Work work) {
  FsHandle *h = OpenDescriptor(nullptr, const_cast<char *>(name), 0);
  if (h == nullptr) return -1;
  int result;
  {
    HandleLock lock(h->lock);
    result = work(h->file);
  }
  CloseDescriptor(h);
  Unpin(h);
  return result;
}

// One field changed under the file's lock from fetch to store.
int Change(const char *name, StatChange change, const void *arg) {
  CallReason reason;
  if (name == nullptr) return reason.Refuse(Status::kBadArgument);
  Status written = Status::kOk;
  int result = WithFile(name, [&](TfHandle *file) {
    written = ChangeFileStat(file, change, arg);
    return 0;
  });
  if (result != 0) return reason.Give(result, false, Status::kNotFound);
  // Once the file is open the call answers 0, also when the header could
  // not be written: recorders have always relied on that.  The reason still
  // tells a caller that asks (a tool, say) that nothing reached the disk.
  return reason.Give(0, Ok(written), written);
}

}  // namespace

// Needs no descriptor: the record file is opened, read under the lock the
// opening takes anyway, and let go.
extern "C" int zrfs_Stat(const char *name, TfFileStat *st) {
  CallReason reason;
  if (name == nullptr || st == nullptr) return reason.Refuse(Status::kBadArgument);
  TfHandle *file = OpenFileByName(name, st);
  if (file == nullptr) return reason.Give(-1, false, Status::kNotFound);
  ReleaseFile(file);
  return reason.Answer(Status::kOk);
}

extern "C" int zrfs_Lock(const char *name, int lockFlag) {
  int64_t value = lockFlag;
  return Change(
      name,
      [](TfFileStat &st, const void *arg) {
        st.lockFlag = uint64_t(*static_cast<const int64_t *>(arg));
      },
      &value);
}

extern "C" int zrfs_ChangeRecType(const char *name, int recType) {
  int64_t value = recType;
  return Change(
      name,
      [](TfFileStat &st, const void *arg) { st.recType = *static_cast<const int64_t *>(arg); },
      &value);
}

extern "C" int zrfs_ChangeTime(const char *name, const ZrfsTimeVal32 *times) {
  if (times == nullptr) return CallReason().Refuse(Status::kBadArgument);
  int32_t modified = times[1].tv_sec;  // access time first, modification time second
  return Change(
      name,
      [](TfFileStat &st, const void *arg) {
        st.st_mtim.tv_sec = *static_cast<const int32_t *>(arg);
      },
      &modified);
}

extern "C" int zrfs_ChangeCreateTime(const char *name, ZrfsTimeVal32 createTime) {
  int64_t value = createTime.tv_sec;
  return Change(
      name,
      [](TfFileStat &st, const void *arg) { st.createTime = *static_cast<const int64_t *>(arg); },
      &value);
}

extern "C" int zrfs_SetUsrParam(const char *name, const void *buf, int len) {
  if (buf == nullptr || len < 1 || len > 32) return CallReason().Refuse(Status::kBadArgument);
  struct Bytes {
    const void *buf;
    size_t len;
  } bytes{buf, static_cast<size_t>(len)};
  return Change(
      name,
      [](TfFileStat &st, const void *arg) {
        const auto *b = static_cast<const Bytes *>(arg);
        memcpy(st.usrParam, b->buf, b->len);
      },
      &bytes);
}

extern "C" int zrfs_Unlink(const char *name) {
  CallReason reason;
  if (name == nullptr) return reason.Refuse(Status::kBadArgument);
  return reason.Answer(UnlinkFile(name));
}

// A block that cannot be looked at counts 0 files, as it always has; the
// reason tells it apart from an empty block.
extern "C" int zrfs_GetFileNum(const char *diskPath, int blk) {
  CallReason reason;
  if (diskPath == nullptr) return reason.Refuse(Status::kBadArgument);
  int count = 0;
  Status status = CountBlockFiles(diskPath, blk, &count);
  return reason.Give(count, Ok(status), status);
}
