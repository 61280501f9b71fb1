// A worker process of a recording run and what it shares with the parent:
// the parent forks one per process of the case, waits until each is ready,
// starts them all at once and collects their reports.
#pragma once

#include <atomic>
#include <cstdint>

#include "histogram.h"
#include "workload.h"

namespace bench {

constexpr int kMaxProcesses = 4;

struct WorkerReport {
  std::atomic<int> ready, done, failed;
  double cpuSeconds;
  uint64_t appendsEnd;   // clock reading when the process's last append returned
  uint64_t maxLagNanos;  // paced: latest start of a write after its time
  LatencyHistogram appends;
  char error[160];
};

// Lives in memory shared with the workers.
struct RunShared {
  std::atomic<int> go;  // 0: wait, 1: record, 2: give up
  uint64_t startNanos;  // the clock when go turned 1; paced schedules count from it
  WorkerReport workers[kMaxProcesses];
};

// The body of worker process index: its share of the channels, from set-up
// to the last append and the closing of its files.  The exit status.
int WorkerMain(const RunTarget &target, const Case &c, int index, RunShared *shared);

}  // namespace bench
