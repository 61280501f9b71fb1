// Latency of the calls around the recordings: creating, opening by name,
// status, listing and deleting recordings, and mounting; through the
// library and, for comparison, their nearest ext4 equivalents.  Every
// repetition starts from a freshly formatted disk and an emptied directory,
// and warms each call up before timing it.
#pragma once

#include <string>
#include <vector>

#include "environment.h"

namespace bench {

struct OperationLatency {
  std::string operation;
  std::string libraryCall, ext4Call;
  // Microseconds, one value per repetition; empty: not measured.
  std::vector<double> libraryP50, libraryP99, ext4P50, ext4P99;
  int samples = 0;  // calls timed per repetition on the library side
};

// The library side runs in a child process on the given target; the ext4
// side, when there is an ext4 target, in this process.  The two sides take
// turns in going first.
std::vector<OperationLatency> MeasureOperations(Environment *env, const Target &target,
                                                int repetitions);

}  // namespace bench
