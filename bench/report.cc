#include "report.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>

namespace bench {
namespace {

constexpr char kBegin[] = "<!-- results: written by zrfs_bench -->";
constexpr char kEnd[] = "<!-- end of results -->";

double Median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  size_t n = v.size();
  return n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

std::string Format(const char *format, double value) {
  char text[64];
  snprintf(text, sizeof text, format, value);
  return text;
}

std::string Size(uint32_t bytes) {
  return bytes >= (1u << 20) ? std::to_string(bytes >> 20) + " MiB"
                             : std::to_string(bytes >> 10) + " KiB";
}

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

Summary Summarize(const CaseResult &r) {
  Summary s;
  std::vector<double> mib, cpu, p50, p99, wa;
  for (const RunResult &run : r.runs) {
    if (!run.ok) continue;
    mib.push_back(run.mibPerSecond);
    cpu.push_back(run.cpuSecondsPerGiB);
    p50.push_back(run.p50Micros);
    p99.push_back(run.p99Micros);
    if (run.writeAmplification >= 0) wa.push_back(run.writeAmplification);
  }
  s.runs = int(mib.size());
  s.ok = !mib.empty() && mib.size() == r.runs.size();
  if (mib.empty()) return s;
  s.mib = Median(mib);
  s.mibMin = *std::min_element(mib.begin(), mib.end());
  s.mibMax = *std::max_element(mib.begin(), mib.end());
  s.cpu = Median(cpu);
  s.p50 = Median(p50);
  s.p99 = Median(p99);
  s.wa = wa.empty() ? -1 : Median(wa);
  return s;
}

std::string RecordingTable(const std::vector<CaseResult> &results) {
  std::ostringstream out;
  out << "| target | path | channels | processes | write | MiB/s (median, min-max) | vs raw | CPU "
         "s/GiB | "
         "append p50 µs | append p99 µs | write ampl. |\n"
         "|---|---|---:|---:|---:|---|---:|---:|---:|---:|---:|\n";
  for (const CaseResult &r : results) {
    Summary s = Summarize(r);
    const CaseResult *raw = RawOf(results, r);
    std::string ratio = "";
    if (raw != nullptr && Summarize(*raw).mib > 0 && s.mib > 0)
      ratio = Format("%.2f", s.mib / Summarize(*raw).mib);
    out << "| " << r.target << " | " << ModeName(r.mode) << " | " << r.c.channels << " | "
        << r.c.processes << " | " << Size(r.c.writeSize) << " | ";
    if (!s.ok) {
      out << "failed: " << (r.runs.empty() ? "" : r.runs.back().error) << " | | | | | |\n";
      continue;
    }
    out << Format("%.0f", s.mib) << " (" << Format("%.0f", s.mibMin) << "-"
        << Format("%.0f", s.mibMax) << ") | " << ratio << " | " << Format("%.2f", s.cpu) << " | "
        << Format("%.0f", s.p50) << " | " << Format("%.0f", s.p99) << " | "
        << (s.wa < 0 ? std::string("n/a") : Format("%.4f", s.wa)) << " |\n";
  }
  return out.str();
}

std::string OperationsTable(const std::vector<OperationLatency> &ops) {
  std::ostringstream out;
  out << "| operation | zrfs call | p50 µs | p99 µs | ext4 equivalent | p50 µs | p99 µs |\n"
         "|---|---|---:|---:|---|---:|---:|\n";
  auto cell = [](double v) { return v < 0 ? std::string("n/a") : Format("%.1f", v); };
  for (const OperationLatency &o : ops)
    out << "| " << o.operation << " | `" << o.libraryCall << "` | " << cell(o.libraryP50) << " | "
        << cell(o.libraryP99) << " | `" << o.ext4Call << "` | " << cell(o.ext4P50) << " | "
        << cell(o.ext4P99) << " |\n";
  return out.str();
}

std::string GoalsText(const std::vector<CaseResult> &results) {
  std::ostringstream out;
  for (const char *target : {"image", "loop"}) {
    for (const CaseResult &r : results) {
      if (r.target != target || r.mode != Mode::kLibrary || r.c.channels != 16) continue;
      const CaseResult *raw = RawOf(results, r);
      if (raw == nullptr) continue;
      double ratio = Summarize(r).mib / Summarize(*raw).mib;
      out << "- Throughput, 16 channels, " << Size(r.c.writeSize) << " writes, " << target << ": "
          << Format("%.2f", ratio)
          << " of raw: " << (ratio >= 0.95 ? "met" : "missed by " + Format("%.2f", 0.95 - ratio))
          << " (goal 0.95).\n";
    }
  }
  for (const CaseResult &r : results) {
    if (r.mode != Mode::kLibrary || r.c.writeSize != 64 * 1024 || Summarize(r).wa < 0) continue;
    double wa = Summarize(r).wa;
    out << "- Write amplification, " << r.c.channels
        << " channels, 64 KiB writes: " << Format("%.4f", wa) << ": "
        << (wa <= 1.02 ? "met" : "missed by " + Format("%.4f", wa - 1.02)) << " (goal 1.02).\n";
  }
  int cpuWins = 0, p99Wins = 0, compared = 0;
  std::ostringstream misses;
  for (const CaseResult &r : results) {
    if (r.mode != Mode::kLibrary || r.target != "loop") continue;
    const CaseResult *e = Find(results, "loop", Mode::kExt4, r.c);
    if (e == nullptr || !Summarize(*e).ok || !Summarize(r).ok) continue;
    Summary l = Summarize(r), x = Summarize(*e);
    ++compared;
    cpuWins += l.cpu < x.cpu ? 1 : 0;
    p99Wins += l.p99 < x.p99 ? 1 : 0;
    if (l.cpu >= x.cpu || l.p99 >= x.p99)
      misses << "  - " << r.c.channels << " channels, " << Size(r.c.writeSize) << ": CPU "
             << Format("%.2f", l.cpu) << " vs " << Format("%.2f", x.cpu) << " s/GiB, p99 "
             << Format("%.0f", l.p99) << " vs " << Format("%.0f", x.p99) << " µs\n";
  }
  if (compared > 0) {
    out << "- Lower CPU per GiB than ext4: " << cpuWins << " of " << compared
        << " cases; lower p99 append latency: " << p99Wins << " of " << compared << " cases"
        << (cpuWins == compared && p99Wins == compared ? ": met.\n" : ".\n");
    out << misses.str();
  }
  return out.str();
}

bool DrawChart(const std::vector<CaseResult> &results, const std::string &png) {
  std::string data = png + ".dat", script = png + ".gp";
  std::ofstream d(data);
  // One block per (path, write size) on the loop target (the image where
  // there is no loop device): channels, MiB/s, CPU s/GiB.
  bool loop = std::any_of(results.begin(), results.end(),
                          [](const CaseResult &r) { return r.target == "loop"; });
  std::string target = loop ? "loop" : "image";
  std::vector<std::string> titles;
  for (Mode mode : {Mode::kLibrary, Mode::kRaw, Mode::kExt4}) {
    for (uint32_t size : {64u << 10, 256u << 10, 1u << 20}) {
      std::ostringstream block;
      int rows = 0;
      for (const CaseResult &r : results) {
        if (r.target != target || r.mode != mode || r.c.writeSize != size) continue;
        Summary s = Summarize(r);
        if (!s.ok) continue;
        block << r.c.channels << " " << s.mib << " " << s.cpu << "\n";
        ++rows;
      }
      if (rows == 0) continue;
      d << block.str() << "\n\n";
      titles.push_back(std::string(ModeName(mode)) + " " + Size(size));
    }
  }
  d.close();
  if (titles.empty()) return false;
  std::ofstream g(script);
  g << "set terminal pngcairo size 1100,480 font ',10'\nset output '" << png << "'\n"
    << "set multiplot layout 1,2 title 'Recording on a " << target
    << " device: zrfs vs raw pwrite vs ext4'\n"
    << "set logscale x 2\nset xtics (1,4,16,64)\nset xlabel 'channels'\nset key bottom left font "
       "',8'\nset grid\n";
  for (int panel = 0; panel < 2; ++panel) {
    g << (panel == 0 ? "set ylabel 'MiB/s'\nset yrange [0:*]\n"
                     : "set ylabel 'CPU seconds per GiB'\nset yrange [0:*]\n");
    g << "plot ";
    for (size_t i = 0; i < titles.size(); ++i) {
      int color = titles[i].rfind("zrfs", 0) == 0 ? 1 : titles[i].rfind("raw", 0) == 0 ? 2 : 3;
      int dash = titles[i].find("64 KiB") != std::string::npos ? 1
                 : titles[i].find("256") != std::string::npos  ? 2
                                                               : 3;
      g << (i ? ", " : "") << "'" << data << "' index " << i << " using 1:" << (panel == 0 ? 2 : 3)
        << " with linespoints lc " << color << " dt " << dash << " pt " << (6 + dash) << " title '"
        << titles[i] << "'";
    }
    g << "\n";
  }
  g << "unset multiplot\n";
  g.close();
  bool ok = system(("gnuplot " + script + " 2>/dev/null").c_str()) == 0;
  remove(data.c_str());
  remove(script.c_str());
  return ok;
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
