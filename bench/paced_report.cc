// PacedTable (declared in report.h).
#include <sstream>

#include "report.h"

namespace bench {

std::string PacedTable(const std::vector<CaseResult> &paced) {
  if (paced.empty()) return "";
  const Case &c = paced.front().c;
  double seconds = double(c.bytesPerChannel) * 8 / c.bitsPerSecond;
  double recordedMib = double(c.bytesPerChannel) * c.channels / (1 << 20);
  std::ostringstream out, notes;
  out << c.channels << " channels over " << c.processes << " processes at "
      << FormatNumber("%g", c.bitsPerSecond / 1e6) << " Mbit/s each, " << SizeText(c.writeSize)
      << " writes, " << FormatNumber("%.0f", seconds) << " s: " << FormatNumber("%.0f", recordedMib)
      << " MiB recorded per run, on the loop devices"
      << (c.flushIntervalMs > 0
              ? ", library flush interval " + std::to_string(c.flushIntervalMs) + " ms"
              : std::string())
      << ".\n\n"
      << "| path | device reads | read MiB | device writes | written MiB | cache flushes | seeks "
         "| append p50 µs | append p99 µs | append max µs | max lag ms | final flush s |\n"
         "|---|---|---|---|---|---|---|---|---|---|---|---|\n";
  for (const CaseResult &r : paced) {
    Summary s = Summarize(r);
    out << "| " << ModeName(r.mode) << " | ";
    if (!s.ok) {
      out << "failed: " << (r.runs.empty() ? "" : r.runs.back().error)
          << " | | | | | | | | | | |\n";
      continue;
    }
    out << FormatSpread(s.reads, "%.0f") << " | " << FormatSpread(s.readMib, "%.2f") << " | "
        << FormatSpread(s.writes, "%.0f") << " | " << FormatSpread(s.writeMib, "%.2f") << " | "
        << FormatSpread(s.flushes, "%.0f") << " | " << FormatSpread(s.seeks, "%.0f") << " | "
        << FormatSpread(s.p50, "%.0f") << " | " << FormatSpread(s.p99, "%.0f") << " | "
        << FormatSpread(s.maxMicros, "%.0f") << " | " << FormatSpread(s.maxLag, "%.1f") << " | "
        << FormatSpread(s.flushSeconds, "%.2f") << " |\n";
    if (!s.requestsCounted)
      for (const RunResult &run : r.runs)
        if (!run.traceProblem.empty()) {
          notes << "- " << ModeName(r.mode) << ": requests not counted: " << run.traceProblem
                << ".\n";
          break;
        }
    if (s.lostEvents > 0)
      notes << "- " << ModeName(r.mode) << ": the trace buffer dropped " << s.lostEvents
            << " events; its request counts are low.\n";
  }
  if (!notes.str().empty()) out << "\n" << notes.str();
  return out.str();
}

}  // namespace bench
