// The status record of an open record file.
#include <cstring>

#include "block/block_file.h"
#include "block/file_stat.h"
#include "record/record_file.h"
#include "shared/proc_lock.h"

namespace zrfs {

void FillStatLocked(const TfFileEntry &entry, TfFileStat *st) {
  FillFileStat(entry.header, st);
  memcpy(st->filename, entry.filename, sizeof st->filename);
}

namespace {

Status Store(const TfFileStat &st, TfHandle *h) {
  TfFileHeader &header = h->entry->header;
  header.recType = st.recType;
  header.modifyTime = st.st_mtim.tv_sec;
  header.ichan = static_cast<uint32_t>(st.ichan);
  header.lockFlag = static_cast<uint32_t>(st.lockFlag);
  header.createTime = st.createTime;
  memcpy(header.usrParam, st.usrParam, sizeof header.usrParam);
  // The caller's name may lack its NUL: the entry's stays terminated.
  size_t nameLen = strnlen(st.filename, sizeof h->entry->filename - 1);
  memcpy(h->entry->filename, st.filename, nameLen);
  memset(h->entry->filename + nameLen, 0, sizeof h->entry->filename - nameLen);
  return SyncHeaders(h->blockFile, header);
}

}  // namespace

Status ChangeFileStat(TfHandle *h, StatChange change, const void *arg) {
  if (h == nullptr || h->entry == nullptr || change == nullptr) return Status::kBadArgument;
  ProcessLockGuard fileLock(h->lockId, LockLevel::kRecord);
  if (!fileLock.ok()) return Status::kNoLock;
  TfFileStat st{};
  FillStatLocked(*h->entry, &st);
  change(st, arg);
  return Store(st, h);
}

Status GetFileStatus(TfHandle *h, TfFileStat *st) {
  if (st == nullptr || h == nullptr || h->entry == nullptr) return Status::kBadArgument;
  ProcessLockGuard fileLock(h->lockId, LockLevel::kRecord);
  if (!fileLock.ok()) return Status::kNoLock;
  FillStatLocked(*h->entry, st);
  return Status::kOk;
}

Status SetFileStatus(TfHandle *h, const TfFileStat &st) {
  if (h == nullptr || h->entry == nullptr) return Status::kBadArgument;
  ProcessLockGuard fileLock(h->lockId, LockLevel::kRecord);
  if (!fileLock.ok()) return Status::kNoLock;
  return Store(st, h);
}

}  // namespace zrfs
