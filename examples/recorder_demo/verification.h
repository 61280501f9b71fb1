// The check at the end of a run: every byte of every recording left on the
// disk is read back and compared with its stream, and each stream's
// recordings must join up without gaps and end where recording stopped.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "run_context.h"

namespace demo {

struct StreamResult {
  uint32_t files = 0;  // recordings left on the disk
  uint64_t bytes = 0;  // their bytes, all checked
  bool locked = false;
  std::vector<std::pair<uint64_t, uint64_t>> ranges;  // stream start and length of each
};

struct Verification {
  std::vector<StreamResult> streams;                  // by stream number
  std::vector<std::pair<uint32_t, uint32_t>> blocks;  // block number, recordings in it
  uint64_t files = 0;
  uint64_t bytes = 0;
  std::vector<std::string> problems;  // empty when everything checked out
};

// Reads the whole disk.  totalStreams counts live and older streams.
Verification VerifyDisk(const RunContext &run, int totalStreams);

}  // namespace demo
