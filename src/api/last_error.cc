// zrfs_LastError and zrfs_StrError: the reason of a thread's last call, and
// its text.
#include "shared/status.h"
#include "zrfs.h"

using namespace zrfs;

namespace {

// The public codes are the Status numbers.
static_assert(int(Status::kBadArgument) == ZRFS_EBADARG);
static_assert(int(Status::kBadDescriptor) == ZRFS_EBADFD);
static_assert(int(Status::kNoDevice) == ZRFS_ENODEV);
static_assert(int(Status::kNotFormatted) == ZRFS_ENOTFORMATTED);
static_assert(int(Status::kNotMounted) == ZRFS_ENOTMOUNTED);
static_assert(int(Status::kNotFound) == ZRFS_ENOENT);
static_assert(int(Status::kBusy) == ZRFS_EBUSY);
static_assert(int(Status::kLocked) == ZRFS_ELOCKED);
static_assert(int(Status::kNoSpace) == ZRFS_ENOSPC);
static_assert(int(Status::kIoError) == ZRFS_EIO);
static_assert(int(Status::kTableFull) == ZRFS_EFULL);
static_assert(int(Status::kNoMemory) == ZRFS_ENOMEM);
static_assert(int(Status::kNoLock) == ZRFS_ENOLCK);
static_assert(int(Status::kEndOfFile) == ZRFS_EEOF);
static_assert(kStatusCount == ZRFS_EEOF + 1);

constexpr const char *kTexts[kStatusCount] = {
    "success",
    "bad argument",
    "bad descriptor",
    "no such disk or device",
    "disk not formatted",
    "disk not mounted",
    "no such record file",
    "record file busy or open elsewhere",
    "record file locked",
    "no space left on the disk or in the block",
    "I/O error or disk absent",
    "table or shared pool full",
    "out of memory",
    "process lock unavailable",
    "end of record file",
};

}  // namespace

extern "C" int zrfs_LastError(void) {
  return int(LastCallStatus());
}

extern "C" const char *zrfs_StrError(int code) {
  return code >= 0 && code < kStatusCount ? kTexts[code] : "unknown error";
}
