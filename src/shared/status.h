// The result of a call inside the library: done, or why not.  Only the C
// functions of each layer (its c_api.cc) and the zrfs_ calls turn it into
// the 0 or -1 of the interface; the zrfs_ calls also keep it as the
// thread's reason for zrfs_LastError (the numbers are the ZRFS_E codes).
#pragma once

#include <cstdint>

namespace zrfs {

enum class [[nodiscard]] Status : uint8_t{
    kOk = 0,
    kBadArgument = 1,    // a null pointer, a value out of range, a name that is no record-file name
    kBadDescriptor = 2,  // no such open descriptor, or one not open for this
    kNoDevice = 3,       // the path names no disk, or its device cannot be opened
    kNotFormatted = 4,   // the device holds no layout a mount accepts
    kNotMounted = 5,     // the disk is not mounted in this process
    kNotFound = 6,       // no such record file
    kBusy = 7,           // the record file is open elsewhere, or its block is being written
    kLocked = 8,         // the record file is locked
    kNoSpace = 9,        // no free block, or past the block's end or the file's growth limit
    kIoError = 10,       // the device failed, or is absent
    kTableFull = 11,     // no free slot in a table or the shared pool
    kNoMemory = 12,      // the allocator gave nothing
    kNoLock = 13,        // a process lock could not be taken (the shared state is gone)
    kEndOfFile = 14,     // a read at or past the end of the record file
};
inline constexpr int kStatusCount = 15;

inline bool Ok(Status s) {
  return s == Status::kOk;
}

// The interface's result: 0 when done, -1 otherwise.
inline int ToAbi(Status s) {
  return Ok(s) ? 0 : -1;
}

// Why the calling thread's current call failed, where the failure cannot
// travel as a Status (a function that gives a handle or a count).  The layer
// that finds a failure notes it there; the first note of a call stands, as
// later failures are mostly its consequences.  The zrfs_ calls begin and
// settle it (src/shared/call_reason.h).
void NoteFailure(Status why);

// Notes why and gives it back, for `return Fail(Status::kNotFound);`.
inline Status Fail(Status why) {
  NoteFailure(why);
  return why;
}

// The note of the current call, or fallback when nothing was noted.
Status NotedOr(Status fallback);

// Starts a call with nothing noted.
void ForgetFailure();

// Ends a call: done, or failed for the noted reason (or fallback).
void SettleCall(bool done, Status fallback);

// What the last settled call of this thread ended with.
Status LastCallStatus();

}  // namespace zrfs
