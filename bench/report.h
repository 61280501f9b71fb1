// Turning the measurements into a Markdown report, a chart and the check of
// the performance goals.
#pragma once

#include <string>
#include <vector>

#include "operations.h"
#include "workload.h"

namespace bench {

struct CaseResult {
  std::string target;  // "image" or "loop"
  Mode mode;
  Case c;
  std::vector<RunResult> runs;  // the repetitions
};

struct Summary {
  bool ok = false;
  int runs = 0;
  double mib = 0, mibMin = 0, mibMax = 0;  // median and spread over the repetitions
  double cpu = 0, p50 = 0, p99 = 0, wa = -1;
};

Summary Summarize(const CaseResult &r);

// The recording table, one row per target, mode and case.
std::string RecordingTable(const std::vector<CaseResult> &results);
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
