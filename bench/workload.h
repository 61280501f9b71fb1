// One measured recording run: several processes, each with one thread per
// channel, append the same bytes in the same pattern through one of three
// paths, and the parent times them from the start signal until everything
// written is on the device.
//
//   library: zrfs_Write to one record file per channel;
//   raw:     pwrite at the offsets where the library would place the
//            channel's data (a block of 1 GiB per channel, 2 MiB in);
//   ext4:    write to one ordinary file per channel on ext4.
//
// Before the clock starts every channel has its thread, its filled buffer
// and one untimed append behind it (first-use costs: page faults, the
// first extension of the file, code paths never run yet), and what the
// set-up wrote is flushed.
//
// The library flushes a disk from its own thread about every 20 s while it
// is written; raw and ext4 runs get a flushing thread per process with the
// same period.  Every run ends with a flush of the whole device (or
// syncfs), which is inside the timed interval and also timed on its own.
//
// A paced case writes each channel at a fixed bit rate instead of as fast
// as it can, the channels' writes spread evenly over the interval.
#pragma once

#include <cstdint>
#include <string>

#include "request_trace.h"

namespace bench {

enum class Mode { kLibrary, kRaw, kExt4 };
const char *ModeName(Mode mode);

struct Case {
  int channels;
  int processes;
  uint32_t writeSize;
  uint64_t bytesPerChannel;
  double bitsPerSecond = 0;      // per channel; 0: as fast as the path goes
  uint32_t flushIntervalMs = 0;  // the library's zrfs_SetFlushInterval; 0: its cadence
};

struct RunTarget {
  Mode mode;
  std::string root;      // library root directory
  std::string libDisk;   // device path for the library
  std::string device;    // real device or image, for raw writes and flushing
  std::string ext4Dir;   // mount point, for ext4 runs
  std::string loopName;  // for the device counters and the trace; empty: not measured
};

struct RunResult {
  bool ok = false;
  std::string error;
  std::string traceProblem;  // why requests were not counted, when asked for
  double seconds = 0;        // start signal to the end of the final flush
  double mibPerSecond = 0;   // over seconds
  double appendSeconds = 0;  // start signal to the return of the last append
  double appendMibPerSecond = 0;
  double flushSeconds = 0;  // the final flush alone
  double cpuSecondsPerGiB = 0;
  double p50Micros = 0, p99Micros = 0, maxMicros = 0;  // one append
  double maxLagMillis = 0;         // paced: latest start of a write after its time
  double writeAmplification = -1;  // below 0: not measured
  DeviceRequests requests;         // counted over the timed interval
};

// countRequests: trace the requests the target's block device is sent.
RunResult RunCase(const RunTarget &target, const Case &c, bool countRequests);

// Formats the library's disk in a child process.
bool FormatDisk(const std::string &root, const std::string &disk);

}  // namespace bench
