// Command line of the recorder demo.
#pragma once

#include <cstdint>
#include <string>

namespace demo {

struct Options {
  double durationSeconds = 20;   // how long the recorders record
  int processes = 4;             // recorder processes
  int channels = 4;              // channels per recorder process
  uint64_t bitrate = 4'000'000;  // bits per second of each channel
  bool fast = false;             // record as fast as the disk takes it
  std::string image;             // disk image or device; empty: a fresh image
  bool keep = false;             // keep the image and the root directory
};

// Parses argv into options.  Returns 0 to go on, 1 after printing the help
// text, 2 after printing a usage error.
int ParseOptions(int argc, char **argv, Options *options);

}  // namespace demo
