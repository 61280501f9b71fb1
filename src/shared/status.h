// The result of a call inside the library: done, or why not.  Only the C
// functions of each layer (its c_api.cc) turn it into the 0 or -1 of the
// interface.
#pragma once

#include <cstdint>

namespace zrfs {

enum class [[nodiscard]] Status : uint8_t{
    kOk = 0,
    kBadArgument,  // a null pointer, a name that is no record-file name
    kNotReady,     // the disk is not mounted, or absent
    kNotFound,     // no such record file or block
    kBusy,         // the record file is open elsewhere
    kNoLock,       // a process lock could not be taken
    kIoError,      // the device failed
    kNoSpace,      // past the block's end or the file's growth limit
    kTableFull,    // no free slot in a table or the pool
    kNoMemory,
};

inline bool Ok(Status s) {
  return s == Status::kOk;
}

// The interface's result: 0 when done, -1 otherwise.
inline int ToAbi(Status s) {
  return Ok(s) ? 0 : -1;
}

}  // namespace zrfs
