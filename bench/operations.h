// Latency of the calls around the recordings: creating, opening by name,
// status, listing and deleting recordings, and mounting; through the
// library and, for comparison, their nearest ext4 equivalents.
#pragma once

#include <string>
#include <vector>

#include "environment.h"

namespace bench {

struct OperationLatency {
  std::string operation;
  std::string libraryCall, ext4Call;
  double libraryP50 = -1, libraryP99 = -1;  // microseconds; below 0: not measured
  double ext4P50 = -1, ext4P99 = -1;
  int samples = 0;
};

// The library side runs in a child process on the given target; the ext4
// side, when there is an ext4 target, in this process.
std::vector<OperationLatency> MeasureOperations(Environment *env, const Target &target);

}  // namespace bench
