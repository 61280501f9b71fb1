// Turning the measurements into a Markdown report, a chart and the check of
// the performance goals.
#pragma once

#include <string>
#include <vector>

#include "operations.h"
#include "spread.h"
#include "workload.h"

namespace bench {

struct CaseResult {
  std::string target;  // "image" or "loop"
  Mode mode;
  Case c;
  std::vector<RunResult> runs;  // the repetitions, in the order of the other paths' runs
};

// Each figure of a case over its repetitions.
struct Summary {
  bool ok = false;  // every repetition succeeded
  int runs = 0;
  Spread mib, appendMib, flushSeconds, cpu, p50, p99, maxMicros, maxLag, wa;
  // Device requests (paced cases); requestsCounted is false when any
  // repetition has no count.
  bool requestsCounted = false;
  uint64_t lostEvents = 0;
  Spread reads, readMib, writes, writeMib, flushes, seeks;
};

Summary Summarize(const CaseResult &r);

// The figure of each repetition of r divided by that of the same
// repetition of base: repetitions of one case run next to each other.
Spread RatioByRepetition(const CaseResult &r, const CaseResult &base, double RunResult::*figure);

// The recording table, one row per target, mode and case.
std::string RecordingTable(const std::vector<CaseResult> &results);
// The paced table: one row per path of the paced case.
std::string PacedTable(const std::vector<CaseResult> &paced);
std::string OperationsTable(const std::vector<OperationLatency> &ops);
// Each goal, met or missed and by how much, from these results.
std::string GoalsText(const std::vector<CaseResult> &results);

// Draws throughput and CPU per GiB by channel count with gnuplot.  False
// when gnuplot is missing or fails.
bool DrawChart(const std::vector<CaseResult> &results, const std::string &png);

// Replaces the text between the results markers of the document (or
// appends it with the markers when they are missing).
bool UpdateDocument(const std::string &path, const std::string &results);

}  // namespace bench
