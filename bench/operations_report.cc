// OperationsTable (declared in report.h).
#include <sstream>

#include "report.h"

namespace bench {

std::string OperationsTable(const std::vector<OperationLatency> &ops) {
  std::ostringstream out;
  out << "| operation | zrfs call | p50 µs | p99 µs | ext4 equivalent | p50 µs | p99 µs | zrfs / "
         "ext4 p50 |\n"
         "|---|---|---|---|---|---|---|---|\n";
  for (const OperationLatency &o : ops) {
    std::vector<double> ratios;
    if (o.libraryP50.size() == o.ext4P50.size())  // else a failed repetition breaks the pairs
      for (size_t i = 0; i < o.libraryP50.size(); ++i)
        if (o.ext4P50[i] > 0) ratios.push_back(o.libraryP50[i] / o.ext4P50[i]);
    out << "| " << o.operation << " | `" << o.libraryCall << "` | "
        << FormatSpread(SpreadOf(o.libraryP50), "%.1f") << " | "
        << FormatSpread(SpreadOf(o.libraryP99), "%.1f") << " | `" << o.ext4Call << "` | "
        << FormatSpread(SpreadOf(o.ext4P50), "%.1f") << " | "
        << FormatSpread(SpreadOf(o.ext4P99), "%.1f") << " | "
        << FormatSpread(SpreadOf(ratios), "%.1f") << " |\n";
  }
  return out.str();
}

}  // namespace bench
