// zrfs_bench: recording throughput, CPU, append latency and write
// amplification of the library, side by side with raw writes to the same
// device and with the same recordings as files on ext4; channels recording
// at a fixed bit rate, with the requests each path sends the device; and the
// latency of the calls around recordings.  Prints Markdown; with --doc also
// writes the results into a document, with --chart draws a PNG.
#include <limits.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <sstream>
#include <string>
#include <vector>

#include "environment.h"
#include "options.h"
#include "report.h"
#include "request_trace.h"
#include "workload.h"

using namespace bench;

namespace {

constexpr uint64_t kDataStart = 0x41100000;
constexpr uint64_t kGiB = 1ull << 30;
// A channel's room in its block, behind the block's header area: raw
// writes must stay inside it.
constexpr uint64_t kChannelRoom = kGiB - (2ull << 20);

Environment *g_env = nullptr;
pid_t g_owner = 0;  // forked workers inherit the handlers but must not clean up

void CleanupAtExit() {
  if (getpid() != g_owner) return;
  ReleaseRequestTracing();
  if (g_env != nullptr) g_env->Cleanup();
}

void OnSignal(int sig) {
  CleanupAtExit();
  signal(sig, SIG_DFL);
  raise(sig);
}

std::string ProgramDirectory() {
  char path[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return ".";
  path[n] = '\0';
  char *slash = strrchr(path, '/');
  if (slash != nullptr) *slash = '\0';
  return path;
}

std::string LoadAverage() {
  double load[3] = {};
  if (getloadavg(load, 3) != 3) return "?";
  char text[64];
  snprintf(text, sizeof text, "%.2f %.2f %.2f", load[0], load[1], load[2]);
  return text;
}

struct Path {
  std::string target;
  Mode mode;
};

RunTarget TargetOf(const Environment &env, const Path &p) {
  if (p.mode == Mode::kExt4)
    return {p.mode, env.root(), "", env.ext4()->device, env.ext4()->mountDir, env.ext4()->loopName};
  for (const Target &t : env.targets())
    if (t.label == p.target) return {p.mode, env.root(), t.libDisk, t.device, "", t.loopName};
  return {p.mode, env.root(), "", "", "", ""};
}

template <typename T>
bool Kept(const std::vector<T> &filter, T value) {
  return filter.empty() || std::find(filter.begin(), filter.end(), value) != filter.end();
}

std::vector<Case> RecordingCases(const Options &o) {
  std::vector<Case> cases;
  auto add = [&](int channels, uint32_t size) {
    if (!Kept(o.channels, channels) || !Kept(o.sizes, size)) return;
    uint64_t perChannel = (o.mibPerCase << 20) / uint64_t(channels) / size * size;
    cases.push_back(
        {channels, ProcessesFor(channels), size, perChannel < size ? size : perChannel});
  };
  if (o.quick) {
    for (int channels : {1, 16})
      for (uint32_t size : {64u << 10, 1u << 20}) add(channels, size);
    add(64, 256 << 10);
  } else {
    for (int channels : {1, 4, 16, 64})
      for (uint32_t size : {64u << 10, 256u << 10, 1u << 20}) add(channels, size);
  }
  return cases;
}

Case PacedCase(const PacedOptions &p) {
  double bytesPerSecond = p.mbitPerSecond * 1e6 / 8;
  uint64_t writes = uint64_t(p.seconds * bytesPerSecond / p.writeSize);
  return {p.channels,
          p.processes > 0 ? p.processes : ProcessesFor(p.channels),
          p.writeSize,
          (writes < 1 ? 1 : writes) * p.writeSize,
          p.mbitPerSecond * 1e6,
          p.flushIntervalMs};
}

void PrintPacedRun(const CaseResult &r, int rep) {
  const RunResult &run = r.runs.back();
  const DeviceRequests &q = run.requests;
  if (!run.ok) {
    fprintf(stderr, "zrfs_bench: paced %s run %d failed: %s\n", ModeName(r.mode), rep + 1,
            run.error.c_str());
    return;
  }
  fprintf(stderr,
          "zrfs_bench: paced %-4s run %d: %llu reads (%.1f MiB), %llu writes (%.1f MiB), %llu "
          "flushes, %llu seeks%s; append p99 %.0f µs, max %.0f µs; final flush %.2f s\n",
          ModeName(r.mode), rep + 1, (unsigned long long)q.reads, double(q.readBytes) / (1 << 20),
          (unsigned long long)q.writes, double(q.writeBytes) / (1 << 20),
          (unsigned long long)q.flushes, (unsigned long long)q.seeks,
          !q.counted   ? " (not counted)"
          : q.lost > 0 ? " (events lost)"
                       : "",
          run.p99Micros, run.maxMicros, run.flushSeconds);
}

// Every case on every path; each repetition takes the paths in another
// order.  Paced cases count the device requests.
std::vector<CaseResult> RunCases(const Environment &env, const std::vector<Path> &paths,
                                 const std::vector<Case> &cases, const Options &o, bool paced) {
  std::vector<CaseResult> results;
  for (const Case &c : cases) {
    size_t first = results.size();
    for (const Path &p : paths) results.push_back({p.target, p.mode, c, {}});
    // An untimed pass first, so that every path finds the blocks of the
    // backing files already allocated.
    if (!o.quick && !paced)
      for (const Path &p : paths)
        if (p.mode != Mode::kLibrary) RunCase(TargetOf(env, p), c, false);
    for (int rep = 0; rep < o.repeat; ++rep) {
      for (size_t k = 0; k < paths.size(); ++k) {
        size_t i = (k + size_t(rep)) % paths.size();
        results[first + i].runs.push_back(RunCase(TargetOf(env, paths[i]), c, paced));
        if (paced) PrintPacedRun(results[first + i], rep);
      }
    }
    if (paced) continue;
    fprintf(stderr, "zrfs_bench: %2d channels, %4u KiB writes:", c.channels, c.writeSize >> 10);
    for (size_t i = first; i < results.size(); ++i)
      fprintf(stderr, "  %s/%s %.0f MiB/s", results[i].target.c_str(), ModeName(results[i].mode),
              Summarize(results[i]).mib.median);
    fprintf(stderr, "\n");
  }
  return results;
}

}  // namespace

int main(int argc, char **argv) {
  Options o;
  if (!ParseOptions(argc, argv, &o)) return 2;
  Case paced = PacedCase(o.pace);
  bool runPaced = o.paced && o.pace.seconds > 0;
  if (runPaced && paced.bytesPerChannel + paced.writeSize > kChannelRoom) {
    fprintf(stderr, "zrfs_bench: a paced channel would outgrow its 1 GiB block\n");
    return 2;
  }
  std::string base = (o.dir.empty() ? ProgramDirectory() : o.dir) + "/bench-run-XXXXXX";
  std::vector<char> templ(base.begin(), base.end());
  templ.push_back('\0');
  if (mkdtemp(templ.data()) == nullptr) {
    perror("zrfs_bench: mkdtemp");
    return 1;
  }
  static Environment env;  // outlives main for the exit handler
  g_env = &env;
  g_owner = getpid();
  atexit(CleanupAtExit);
  for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGABRT, SIGSEGV, SIGBUS}) signal(sig, OnSignal);
  std::string error;
  if (!env.Setup(templ.data(), kDataStart + uint64_t(64 + 2) * kGiB, o.loops, &error)) {
    fprintf(stderr, "zrfs_bench: %s\n", error.c_str());
    return 1;
  }
  if (!env.loopProblem().empty())
    fprintf(stderr, "zrfs_bench: loop-device, ext4 and paced cases skipped: %s\n",
            env.loopProblem().c_str());
  std::string loadBefore = LoadAverage();
  time_t began = time(nullptr);

  std::vector<Path> paths, pacedPaths;
  for (const Target &t : env.targets()) {
    paths.push_back({t.label, Mode::kLibrary});
    paths.push_back({t.label, Mode::kRaw});
    if (!t.loopName.empty()) {
      pacedPaths.push_back({t.label, Mode::kLibrary});
      pacedPaths.push_back({t.label, Mode::kRaw});
    }
  }
  if (env.ext4() != nullptr) {
    paths.push_back({"loop", Mode::kExt4});
    pacedPaths.push_back({"loop", Mode::kExt4});
  }

  std::vector<CaseResult> results, pacedResults;
  if (o.recording) results = RunCases(env, paths, RecordingCases(o), o, false);
  if (runPaced && !pacedPaths.empty()) pacedResults = RunCases(env, pacedPaths, {paced}, o, true);
  const Target &opsTarget = env.targets().back();
  std::vector<OperationLatency> ops;
  if (o.calls) ops = MeasureOperations(&env, opsTarget, o.repeat);

  utsname u{};
  uname(&u);
  char when[64];
  strftime(when, sizeof when, "%Y-%m-%d %H:%M UTC", gmtime(&began));
  std::ostringstream md;
  md << "Command: `" << o.command << "`\n\n"
     << "Run " << when << " on " << sysconf(_SC_NPROCESSORS_ONLN) << " cores, Linux " << u.release
     << "; load average " << loadBefore << " before, " << LoadAverage() << " after; "
     << (time(nullptr) - began) << " s. ";
  if (o.recording) md << o.mibPerCase << " MiB recorded per recording case over all channels; ";
  md << o.repeat << (o.repeat == 1 ? " run" : " runs") << " per case (median, range min-max).\n\n";
  if (!env.loopProblem().empty())
    md << "Loop-device, ext4 and paced cases skipped: " << env.loopProblem() << ".\n\n";
  if (!results.empty())
    md << "### Recording\n\n" << RecordingTable(results) << "\n### Goals\n\n" << GoalsText(results);
  if (!pacedResults.empty())
    md << (results.empty() ? "" : "\n") << "### Recording at a fixed bit rate\n\n"
       << PacedTable(pacedResults);
  if (!ops.empty())
    md << (results.empty() && pacedResults.empty() ? "" : "\n") << "### Calls around recordings ("
       << opsTarget.label << " target)\n\n"
       << OperationsTable(ops);
  if (!o.chart.empty() && !results.empty()) {
    if (DrawChart(results, o.chart)) {
      std::string name = o.chart.substr(o.chart.rfind('/') + 1);
      md << "\n![throughput and CPU per GiB by channel count](" << name << ")\n";
    } else {
      fprintf(stderr, "zrfs_bench: no chart (is gnuplot installed?)\n");
    }
  }
  printf("%s", md.str().c_str());
  if (!o.doc.empty() && !UpdateDocument(o.doc, md.str())) {
    fprintf(stderr, "zrfs_bench: cannot write %s\n", o.doc.c_str());
    return 1;
  }
  bool allOk = true;
  for (const std::vector<CaseResult> *part : {&results, &pacedResults})
    for (const CaseResult &r : *part) allOk = allOk && Summarize(r).ok;
  env.Cleanup();
  return allOk ? 0 : 1;
}
