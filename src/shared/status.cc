// The thread's reason register behind NoteFailure and zrfs_LastError.
#include "shared/status.h"

namespace zrfs {
namespace {

// Per thread: recorder threads share descriptors but each asks about its
// own last call.
constinit thread_local Status t_noted = Status::kOk;

}  // namespace

void NoteFailure(Status why) {
  if (t_noted == Status::kOk) t_noted = why;
}

Status NotedOr(Status fallback) {
  return t_noted != Status::kOk ? t_noted : fallback;
}

void ForgetFailure() {
  t_noted = Status::kOk;
}

void SettleCall(bool done, Status fallback) {
  t_noted = done ? Status::kOk : NotedOr(fallback);
}

Status LastCallStatus() {
  return t_noted;
}

}  // namespace zrfs
