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
// The library flushes a disk from its own thread about every 20 s while it
// is written; raw and ext4 runs get a flushing thread per process with the
// same period.  Every run ends with a flush of the whole device (or syncfs),
// which is inside the timed interval.
#pragma once

#include <cstdint>
#include <string>

namespace bench {

enum class Mode { kLibrary, kRaw, kExt4 };
const char *ModeName(Mode mode);

struct Case {
  int channels;
  int processes;
  uint32_t writeSize;
  uint64_t bytesPerChannel;
};

struct RunTarget {
  Mode mode;
  std::string root;      // library root directory
  std::string libDisk;   // device path for the library
  std::string device;    // real device or image, for raw writes and flushing
  std::string ext4Dir;   // mount point, for ext4 runs
  std::string loopName;  // for the written-sectors counter; empty: not measured
};

struct RunResult {
  bool ok = false;
  std::string error;
  double seconds = 0;
  double mibPerSecond = 0;
  double cpuSecondsPerGiB = 0;
  double p50Micros = 0, p99Micros = 0;  // one append
  double writeAmplification = -1;       // below 0: not measured
};

RunResult RunCase(const RunTarget &target, const Case &c);

// Formats the library's disk in a child process.
bool FormatDisk(const std::string &root, const std::string &disk);

}  // namespace bench
