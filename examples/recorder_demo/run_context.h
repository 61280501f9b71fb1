// What every process of the demo knows about the run.
#pragma once

#include <time.h>

#include <string>

#include "options.h"
#include "shared_state.h"

namespace demo {

// The disk as the library names it; the root directory maps it to the image.
inline constexpr char kDiskPath[] = "/dev/scsi/host00/part1";

struct RunContext {
  Options options;
  std::string root;  // directory every library path is resolved under
  int liveStreams;   // channels recorded live: stream numbers 0 .. liveStreams-1
  SharedState *state;
};

inline int64_t NowNanos() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return int64_t(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

// Seconds since recording began.
inline double Elapsed(const RunContext &run) {
  return double(NowNanos() - run.state->startNanos.load()) / 1e9;
}

}  // namespace demo
