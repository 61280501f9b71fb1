// The one clock every process of the benchmark reads (CLOCK_MONOTONIC is
// shared between processes, so a parent's start time holds in its workers).
#pragma once

#include <errno.h>
#include <time.h>

#include <cstdint>

namespace bench {

inline uint64_t Now() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return uint64_t(t.tv_sec) * 1'000'000'000 + uint64_t(t.tv_nsec);
}

// Sleeps until the clock reads nanos (at once when it is past).
inline void SleepUntil(uint64_t nanos) {
  timespec t{time_t(nanos / 1'000'000'000), long(nanos % 1'000'000'000)};
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &t, nullptr) == EINTR) {
  }
}

}  // namespace bench
