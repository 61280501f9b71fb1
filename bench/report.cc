#include "report.h"

#include <fstream>
#include <sstream>

namespace bench {
namespace {

constexpr char kBegin[] = "<!-- results: written by zrfs_bench -->";
constexpr char kEnd[] = "<!-- end of results -->";

const CaseResult *Find(const std::vector<CaseResult> &results, const std::string &target, Mode mode,
                       const Case &c) {
  for (const CaseResult &r : results)
    if (r.target == target && r.mode == mode && r.c.channels == c.channels &&
        r.c.writeSize == c.writeSize)
      return &r;
  return nullptr;
}

// Raw writes to the same device: the ext4 runs compare with the loop device.
const CaseResult *RawOf(const std::vector<CaseResult> &results, const CaseResult &r) {
  return Find(results, r.target, Mode::kRaw, r.c);
}

}  // namespace

std::string RecordingTable(const std::vector<CaseResult> &results) {
  std::ostringstream out;
  out << "| target | path | channels | processes | write | MiB/s | vs raw | appends alone MiB/s | "
         "final flush s | CPU s/GiB | append p50 µs | append p99 µs | write ampl. |\n"
         "|---|---|---:|---:|---:|---|---|---|---|---:|---:|---:|---:|\n";
  for (const CaseResult &r : results) {
    Summary s = Summarize(r);
    const CaseResult *raw = RawOf(results, r);
    out << "| " << r.target << " | " << ModeName(r.mode) << " | " << r.c.channels << " | "
        << r.c.processes << " | " << SizeText(r.c.writeSize) << " | ";
    if (!s.ok) {
      out << "failed: " << (r.runs.empty() ? "" : r.runs.back().error) << " | | | | | | | |\n";
      continue;
    }
    std::string ratio =
        raw == nullptr ? ""
                       : FormatSpread(RatioByRepetition(r, *raw, &RunResult::mibPerSecond), "%.2f");
    out << FormatSpread(s.mib, "%.0f") << " | " << ratio << " | "
        << FormatSpread(s.appendMib, "%.0f") << " | " << FormatSpread(s.flushSeconds, "%.2f")
        << " | " << FormatNumber("%.2f", s.cpu.median) << " | "
        << FormatNumber("%.0f", s.p50.median) << " | " << FormatNumber("%.0f", s.p99.median)
        << " | " << (s.wa.empty ? std::string("n/a") : FormatNumber("%.4f", s.wa.median)) << " |\n";
  }
  return out.str();
}

std::string GoalsText(const std::vector<CaseResult> &results) {
  std::ostringstream out;
  for (const char *target : {"image", "loop"}) {
    for (const CaseResult &r : results) {
      if (r.target != target || r.mode != Mode::kLibrary || r.c.channels != 16) continue;
      const CaseResult *raw = RawOf(results, r);
      if (raw == nullptr) continue;
      Spread ratio = RatioByRepetition(r, *raw, &RunResult::mibPerSecond);
      if (ratio.empty) continue;
      out << "- Throughput, 16 channels, " << SizeText(r.c.writeSize) << " writes, " << target
          << ": " << FormatSpread(ratio, "%.2f") << " of raw: "
          << (ratio.median >= 0.95 ? "met"
                                   : "missed by " + FormatNumber("%.2f", 0.95 - ratio.median))
          << " (goal 0.95).\n";
    }
  }
  for (const CaseResult &r : results) {
    if (r.mode != Mode::kLibrary || r.c.writeSize != 64 * 1024 || Summarize(r).wa.empty) continue;
    double wa = Summarize(r).wa.median;
    out << "- Write amplification, " << r.c.channels
        << " channels, 64 KiB writes: " << FormatNumber("%.4f", wa) << ": "
        << (wa <= 1.02 ? "met" : "missed by " + FormatNumber("%.4f", wa - 1.02))
        << " (goal 1.02).\n";
  }
  int cpuWins = 0, p99Wins = 0, compared = 0;
  std::ostringstream misses;
  for (const CaseResult &r : results) {
    if (r.mode != Mode::kLibrary || r.target != "loop") continue;
    const CaseResult *e = Find(results, "loop", Mode::kExt4, r.c);
    if (e == nullptr || !Summarize(*e).ok || !Summarize(r).ok) continue;
    Summary l = Summarize(r), x = Summarize(*e);
    ++compared;
    cpuWins += l.cpu.median < x.cpu.median ? 1 : 0;
    p99Wins += l.p99.median < x.p99.median ? 1 : 0;
    if (l.cpu.median >= x.cpu.median || l.p99.median >= x.p99.median)
      misses << "  - " << r.c.channels << " channels, " << SizeText(r.c.writeSize) << ": CPU "
             << FormatNumber("%.2f", l.cpu.median) << " vs " << FormatNumber("%.2f", x.cpu.median)
             << " s/GiB, p99 " << FormatNumber("%.0f", l.p99.median) << " vs "
             << FormatNumber("%.0f", x.p99.median) << " µs\n";
  }
  if (compared > 0) {
    out << "- Lower CPU per GiB than ext4: " << cpuWins << " of " << compared
        << " cases; lower p99 append latency: " << p99Wins << " of " << compared << " cases"
        << (cpuWins == compared && p99Wins == compared ? ": met.\n" : ".\n");
    out << misses.str();
  }
  return out.str();
}

bool UpdateDocument(const std::string &path, const std::string &results) {
  std::string text;
  {
    std::ifstream in(path);
    std::stringstream buffer;
    buffer << in.rdbuf();
    text = buffer.str();
  }
  size_t begin = text.find(kBegin), end = text.find(kEnd);
  std::string block = std::string(kBegin) + "\n" + results + kEnd;
  if (begin != std::string::npos && end != std::string::npos && end > begin)
    text.replace(begin, end + sizeof kEnd - 1 - begin, block);
  else
    text += (text.empty() ? "" : "\n") + block + "\n";
  std::ofstream out(path);
  out << text;
  return bool(out);
}

}  // namespace bench
