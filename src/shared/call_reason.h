// How a zrfs_ call keeps its reason for zrfs_LastError: it begins with
// nothing noted, and settles on its result.  The reason of a failure is the
// first one the layers noted during the call, or else the Status the call
// carries up, or else the call's own fallback.
#pragma once

#include "shared/status.h"

namespace zrfs {

class CallReason {
 public:
  CallReason() { ForgetFailure(); }
  CallReason(const CallReason &) = delete;
  CallReason &operator=(const CallReason &) = delete;

  // 0 or -1 from a carried status.
  int Answer(Status s) {
    SettleCall(Ok(s), s);
    return ToAbi(s);
  }
  // -1 for a failure the edge itself finds (a NULL argument, say).
  int Refuse(Status why) {
    NoteFailure(why);
    SettleCall(false, why);
    return -1;
  }
  // A count, handle or other result: done says whether it is a success.
  template <typename T>
  T Give(T result, bool done, Status fallback) {
    SettleCall(done, fallback);
    return result;
  }
};

}  // namespace zrfs
