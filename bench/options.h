// The benchmark's command line.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace bench {

// The paced case: every channel writes at a fixed bit rate.
struct PacedOptions {
  double seconds = 60;  // 0: no paced case
  int channels = 16;
  int processes = 0;  // 0: as a recording case of as many channels
  double mbitPerSecond = 4;
  uint32_t writeSize = 64 << 10;
  uint32_t flushIntervalMs = 0;  // zrfs_SetFlushInterval in the library's processes
};

struct Options {
  bool quick = false;
  int repeat = 3;
  uint64_t mibPerCase = 256;
  bool loops = true;
  // The parts to run (--only).
  bool recording = true, paced = true, calls = true;
  // Recording cases kept (--channels, --sizes); empty: all.
  std::vector<int> channels;
  std::vector<uint32_t> sizes;
  PacedOptions pace;
  std::string doc, chart, dir;
  std::string command;
};

extern const char kUsage[];

// False (after printing the usage) for anything it does not understand.
bool ParseOptions(int argc, char **argv, Options *o);

// The processes a case of this many channels runs in.
int ProcessesFor(int channels);

}  // namespace bench
