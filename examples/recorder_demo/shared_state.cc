#include "shared_state.h"

#include <sys/mman.h>

#include <cstdarg>
#include <cstdio>
#include <new>

namespace demo {

SharedState *MapSharedState() {
  void *memory =
      mmap(nullptr, sizeof(SharedState), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (memory == MAP_FAILED) return nullptr;
  return new (memory) SharedState();  // the mapping is zero-filled already
}

void ReportError(SharedState *state, const char *format, ...) {
  state->errorCount.fetch_add(1);
  if (state->errorTextTaken.exchange(1) != 0) return;
  va_list args;
  va_start(args, format);
  vsnprintf(state->firstError, sizeof state->firstError, format, args);
  va_end(args);
}

}  // namespace demo
