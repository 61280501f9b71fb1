// Counting the requests a block device is sent while a run records, with the
// kernel's block:block_rq_issue trace event: what a disk under the recorder
// would have to do (reads, writes, cache flushes, head movements), which the
// byte counters in /sys/block cannot tell.
//
// Each trace gets a tracing instance of its own (its own buffer, filter and
// switches), so the machine's global trace settings are never changed.
// tracefs is mounted when it is not, and unmounted again by
// ReleaseRequestTracing.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>

namespace bench {

struct DeviceRequests {
  bool counted = false;  // false: no trace was taken
  uint64_t reads = 0, readBytes = 0;
  uint64_t writes = 0, writeBytes = 0;
  uint64_t flushes = 0;  // cache flushes without data
  // Data requests that do not start at the sector where the previous one
  // ended: a head movement on a disk.
  uint64_t seeks = 0;
  uint64_t lost = 0;  // events the trace buffer dropped: the counts are low
};

class RequestTrace {
 public:
  RequestTrace() = default;
  RequestTrace(const RequestTrace &) = delete;
  RequestTrace &operator=(const RequestTrace &) = delete;
  ~RequestTrace() { Stop(); }

  // Starts counting the requests issued to a block device ("loop3").
  bool Start(const std::string &blockDevice, std::string *error);
  // Stops counting and removes the instance; what was counted since Start.
  DeviceRequests Stop();

 private:
  void Read();
  void Count(const char *line);

  std::string instance_;
  int pipe_ = -1;
  std::atomic<bool> stopping_{false};
  std::thread reader_;
  DeviceRequests counts_;
  uint64_t nextSector_ = 0;
  bool first_ = true;
};

// Removes this program's tracing instance if one is left (a run cut short by
// a signal) and unmounts tracefs if this program mounted it.
void ReleaseRequestTracing();

}  // namespace bench
