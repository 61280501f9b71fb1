#include "workload.h"

#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <dirent.h>
#include <cstring>
#include <vector>

#include "clock.h"
#include "environment.h"
#include "histogram.h"
#include "worker.h"
#include "zrfs.h"

namespace bench {
namespace {

// Beyond the run's own length (paced cases), for set-up and the final flush.
constexpr uint64_t kRunTimeoutSeconds = 300;

// Waits until every worker has set the flag, or the deadline passes.
bool WaitAll(RunShared *shared, int processes, std::atomic<int> WorkerReport::*flag,
             uint64_t deadline) {
  for (;;) {
    int set = 0;
    for (int i = 0; i < processes; ++i) set += (shared->workers[i].*flag).load();
    if (set == processes) return true;
    if (Now() > deadline) return false;
    usleep(200);
  }
}

void RemoveFiles(const std::string &dir) {
  DIR *d = opendir(dir.c_str());
  if (d == nullptr) return;
  while (dirent *e = readdir(d))
    if (strncmp(e->d_name, "rec", 3) == 0) unlink((dir + "/" + e->d_name).c_str());
  closedir(d);
}

bool Flush(const RunTarget &target) {
  return target.mode == Mode::kExt4 ? FlushFileSystem(target.ext4Dir) : FlushDevice(target.device);
}

}  // namespace

const char *ModeName(Mode mode) {
  switch (mode) {
    case Mode::kLibrary:
      return "zrfs";
    case Mode::kRaw:
      return "raw";
    case Mode::kExt4:
      return "ext4";
  }
  return "?";
}

bool FormatDisk(const std::string &root, const std::string &disk) {
  pid_t pid = fork();
  if (pid == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    bool ok = zrfs_SetRootDir(root.c_str()) == 0 && zrfs_Init() == 0 && zrfs_SetOpt(1) == 0 &&
              zrfs_Format(disk.c_str()) == 0;
    _exit(ok ? 0 : 1);
  }
  int status = 0;
  return pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) &&
         WEXITSTATUS(status) == 0;
}

RunResult RunCase(const RunTarget &target, const Case &c, bool countRequests) {
  RunResult result;
  if (target.mode == Mode::kLibrary && !FormatDisk(target.root, target.libDisk)) {
    result.error = "format failed";
    return result;
  }
  if (target.mode == Mode::kExt4) {
    RemoveFiles(target.ext4Dir);
    FlushFileSystem(target.ext4Dir);
  }
  auto *shared = static_cast<RunShared *>(
      mmap(nullptr, sizeof(RunShared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
  if (shared == MAP_FAILED) {
    result.error = "mmap failed";
    return result;
  }
  memset(static_cast<void *>(shared), 0, sizeof(RunShared));  // its pages exist before the clock
  std::vector<pid_t> pids;
  for (int i = 0; i < c.processes; ++i) {
    pid_t pid = fork();
    if (pid == 0) {
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      _exit(WorkerMain(target, c, i, shared));
    }
    pids.push_back(pid);
  }
  double pacedSeconds = c.bitsPerSecond > 0 ? double(c.bytesPerChannel) * 8 / c.bitsPerSecond : 0;
  uint64_t deadline = Now() + (kRunTimeoutSeconds + uint64_t(pacedSeconds)) * 1'000'000'000;
  bool ok = WaitAll(shared, c.processes, &WorkerReport::ready, deadline);
  // What the set-up and the warm-up wrote (new blocks, file headers, inodes,
  // the first piece of every channel) is flushed before the clock, the
  // sector counter and the trace start.
  Flush(target);
  RequestTrace trace;
  if (countRequests && ok) {
    if (target.loopName.empty())
      result.traceProblem = "not a block device";
    else
      trace.Start(target.loopName, &result.traceProblem);
  }
  uint64_t sectorsBefore = target.loopName.empty() ? 0 : SectorsWritten(target.loopName);
  uint64_t start = Now();
  shared->startNanos = start;
  shared->go.store(ok ? 1 : 2);
  ok = ok && WaitAll(shared, c.processes, &WorkerReport::done, deadline);
  uint64_t flushStart = Now();
  bool flushed = Flush(target);
  uint64_t end = Now();
  result.requests = trace.Stop();
  uint64_t sectorsAfter = target.loopName.empty() ? 0 : SectorsWritten(target.loopName);
  for (pid_t pid : pids) {
    if (!ok) kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) ok = false;
  }
  LatencyHistogram appends{};
  double cpu = 0;
  uint64_t appendsEnd = start, maxLag = 0;
  for (int i = 0; i < c.processes; ++i) {
    const WorkerReport &w = shared->workers[i];
    appends.Merge(w.appends);
    cpu += w.cpuSeconds;
    if (w.appendsEnd > appendsEnd) appendsEnd = w.appendsEnd;
    if (w.maxLagNanos > maxLag) maxLag = w.maxLagNanos;
    if (result.error.empty() && w.error[0] != '\0') result.error = w.error;
  }
  munmap(shared, sizeof(RunShared));
  if (!ok || !flushed) {
    if (result.error.empty())
      result.error = flushed ? "a worker failed or timed out" : "flush failed";
    return result;
  }
  double bytes = double(c.bytesPerChannel) * c.channels;
  result.ok = true;
  result.seconds = double(end - start) / 1e9;
  result.mibPerSecond = bytes / (1 << 20) / result.seconds;
  result.appendSeconds = double(appendsEnd - start) / 1e9;
  result.appendMibPerSecond = bytes / (1 << 20) / result.appendSeconds;
  result.flushSeconds = double(end - flushStart) / 1e9;
  result.cpuSecondsPerGiB = cpu / (bytes / double(1 << 30));
  result.p50Micros = double(appends.Percentile(0.50)) / 1e3;
  result.p99Micros = double(appends.Percentile(0.99)) / 1e3;
  result.maxMicros = double(appends.max()) / 1e3;
  result.maxLagMillis = double(maxLag) / 1e6;
  if (!target.loopName.empty())
    result.writeAmplification = double(sectorsAfter - sectorsBefore) * 512 / bytes;
  return result;
}

}  // namespace bench
