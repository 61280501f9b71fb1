// zrfs_bench: recording throughput, CPU, append latency and write
// amplification of the library, side by side with raw writes to the same
// device and with the same recordings as files on ext4; plus the latency of
// the calls around recordings.  Prints Markdown; with --doc also writes the
// results into a document, with --chart draws a PNG.
#include <limits.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <sstream>
#include <string>
#include <vector>

#include "environment.h"
#include "report.h"
#include "workload.h"

using namespace bench;

namespace {

constexpr uint64_t kDataStart = 0x41100000;
constexpr uint64_t kGiB = 1ull << 30;

struct Options {
  bool quick = false;
  int repeat = 3;
  uint64_t mibPerCase = 256;
  bool loops = true;
  std::string doc, chart, dir;
  std::string command;
};

Environment *g_env = nullptr;
pid_t g_owner = 0;  // forked workers inherit the handlers but must not clean up

void CleanupAtExit() {
  if (g_env != nullptr && getpid() == g_owner) g_env->Cleanup();
}

void OnSignal(int sig) {
  CleanupAtExit();
  signal(sig, SIG_DFL);
  raise(sig);
}

const char kUsage[] =
    "usage: zrfs_bench [--quick] [--repeat N] [--mib N] [--no-loop] [--doc FILE] [--chart PNG] "
    "[--dir DIR]\n"
    "  --quick      two channel counts, two write sizes, one run each, 128 MiB per case\n"
    "  --repeat N   runs of every case (default 3); the table shows the median and the spread\n"
    "  --mib N      MiB recorded per case over all channels (default 256)\n"
    "  --no-loop    only the image file (no loop devices, no ext4)\n"
    "  --doc FILE   write the results into FILE between its results markers\n"
    "  --chart PNG  draw throughput and CPU per GiB by channel count\n"
    "  --dir DIR    where to put the images (default: beside this program)\n";

bool Parse(int argc, char **argv, Options *o) {
  for (int i = 0; i < argc; ++i) {
    if (i > 0) o->command.push_back(' ');
    o->command.append(argv[i]);
  }
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    bool hasValue = i + 1 < argc;
    if (a == "--quick") {
      o->quick = true;
      o->repeat = 1;
      o->mibPerCase = 128;
    } else if (a == "--repeat" && hasValue) {
      o->repeat = atoi(argv[++i]);
    } else if (a == "--mib" && hasValue) {
      o->mibPerCase = uint64_t(atoll(argv[++i]));
    } else if (a == "--no-loop") {
      o->loops = false;
    } else if (a == "--doc" && hasValue) {
      o->doc = argv[++i];
    } else if (a == "--chart" && hasValue) {
      o->chart = argv[++i];
    } else if (a == "--dir" && hasValue) {
      o->dir = argv[++i];
    } else {
      fputs(kUsage, stderr);
      return false;
    }
  }
  return o->repeat >= 1 && o->mibPerCase >= 1;
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

}  // namespace

int main(int argc, char **argv) {
  Options o;
  if (!Parse(argc, argv, &o)) return 2;
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
  std::vector<int> channelCounts =
      o.quick ? std::vector<int>{1, 16} : std::vector<int>{1, 4, 16, 64};
  std::vector<uint32_t> sizes = o.quick ? std::vector<uint32_t>{64 << 10, 1 << 20}
                                        : std::vector<uint32_t>{64 << 10, 256 << 10, 1 << 20};
  std::string error;
  if (!env.Setup(templ.data(), kDataStart + uint64_t(64 + 2) * kGiB, o.loops, &error)) {
    fprintf(stderr, "zrfs_bench: %s\n", error.c_str());
    return 1;
  }
  if (!env.loopProblem().empty())
    fprintf(stderr, "zrfs_bench: loop-device and ext4 cases skipped: %s\n",
            env.loopProblem().c_str());
  std::string loadBefore = LoadAverage();
  time_t began = time(nullptr);

  std::vector<Path> paths;
  for (const Target &t : env.targets()) {
    paths.push_back({t.label, Mode::kLibrary});
    paths.push_back({t.label, Mode::kRaw});
  }
  if (env.ext4() != nullptr) paths.push_back({"loop", Mode::kExt4});
  auto runTarget = [&](const Path &p) {
    RunTarget rt{p.mode, env.root(), "", "", "", ""};
    for (const Target &t : env.targets())
      if (t.label == p.target) rt = {p.mode, env.root(), t.libDisk, t.device, "", t.loopName};
    if (p.mode == Mode::kExt4)
      rt = {p.mode, env.root(), "", env.ext4()->device, env.ext4()->mountDir, env.ext4()->loopName};
    return rt;
  };

  std::vector<CaseResult> results;
  for (int channels : channelCounts) {
    for (uint32_t size : sizes) {
      int processes = channels == 1 ? 1 : channels == 4 ? 2 : 4;
      uint64_t perChannel = (o.mibPerCase << 20) / uint64_t(channels) / size * size;
      Case c{channels, processes, size, perChannel < size ? size : perChannel};
      size_t first = results.size();
      for (const Path &p : paths) results.push_back({p.target, p.mode, c, {}});
      // An untimed pass first, so that every path finds the blocks of the
      // backing files already allocated.
      if (!o.quick)
        for (const Path &p : paths)
          if (p.mode != Mode::kLibrary) RunCase(runTarget(p), c);
      for (int rep = 0; rep < o.repeat; ++rep) {
        for (size_t k = 0; k < paths.size(); ++k) {  // a different order each time
          size_t i = (k + size_t(rep)) % paths.size();
          results[first + i].runs.push_back(RunCase(runTarget(paths[i]), c));
        }
      }
      fprintf(stderr, "zrfs_bench: %2d channels, %4u KiB writes:", channels, size >> 10);
      for (size_t i = first; i < results.size(); ++i) {
        Summary s = Summarize(results[i]);
        fprintf(stderr, "  %s/%s %.0f MiB/s", results[i].target.c_str(), ModeName(results[i].mode),
                s.mib);
      }
      fprintf(stderr, "\n");
    }
  }
  const Target &opsTarget = env.targets().back();
  std::vector<OperationLatency> ops = MeasureOperations(&env, opsTarget);

  utsname u{};
  uname(&u);
  char when[64];
  strftime(when, sizeof when, "%Y-%m-%d %H:%M UTC", gmtime(&began));
  std::ostringstream md;
  md << "Command: `" << o.command << "`\n\n"
     << "Run " << when << " on " << sysconf(_SC_NPROCESSORS_ONLN) << " cores, Linux " << u.release
     << "; load average " << loadBefore << " before, " << LoadAverage() << " after; "
     << (time(nullptr) - began) << " s. " << o.mibPerCase
     << " MiB recorded per case over all channels, " << o.repeat
     << " runs per case (median, spread min-max).\n\n";
  if (!env.loopProblem().empty())
    md << "Loop-device and ext4 cases skipped: " << env.loopProblem() << ".\n\n";
  md << "### Recording\n\n"
     << RecordingTable(results) << "\n### Goals\n\n"
     << GoalsText(results) << "\n### Calls around recordings (" << opsTarget.label << " target)\n\n"
     << OperationsTable(ops);
  if (!o.chart.empty()) {
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
  for (const CaseResult &r : results) allOk = allOk && Summarize(r).ok;
  env.Cleanup();
  return allOk ? 0 : 1;
}
