// What the demo prints: the live status line while recording, and the
// report at the end.
#pragma once

#include <cstdint>

#include "run_context.h"
#include "verification.h"

namespace demo {

// Elapsed time, recording rate, recordings and blocks; rewritten in place on
// a terminal, printed every few seconds otherwise.
class StatusLine {
 public:
  explicit StatusLine(bool terminal) : terminal_(terminal) {}
  void Update(const RunContext &run);
  void Finish();

 private:
  bool terminal_;
  double lastSeconds_ = 0, lastPrinted_ = -10;
  uint64_t lastBytes_ = 0;
  bool shown_ = false;
};

struct RunSummary {
  int blocks = 0;            // blocks of the disk
  int olderStreams = 0;      // streams of older recordings made before recording
  double recordSeconds = 0;  // from the start of recording to the last recorder's exit
  int failedChildren = 0;
};

// Bytes of all live streams recorded so far.
uint64_t LiveBytes(const RunContext &run);

// Prints the report; returns true for PASS.
bool PrintReport(const RunContext &run, const RunSummary &summary, const Verification &v);

}  // namespace demo
