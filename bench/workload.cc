#include "workload.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <dirent.h>
#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "environment.h"
#include "histogram.h"
#include "zrfs.h"

namespace bench {
namespace {

constexpr int kMaxProcesses = 4;
constexpr uint64_t kDataStart = 0x41100000;  // first block of a formatted disk
constexpr uint64_t kBlockBytes = 1ull << 30;
constexpr uint64_t kHeaderArea = 2ull << 20;  // data of a block's first file starts here
// The library's flushing thread sleeps 40 ms per sweep and per idle disk
// slot (24 slots, one busy) and flushes a written disk on every 21st visit.
constexpr double kLibraryFlushSeconds = 24 * 0.040 * 21;
constexpr int kRunTimeoutSeconds = 300;

struct WorkerReport {
  std::atomic<int> ready, done, failed;
  double cpuSeconds;
  LatencyHistogram appends;
  char error[160];
};

struct RunShared {
  std::atomic<int> go;
  WorkerReport workers[kMaxProcesses];
};

uint64_t Now() {
  return uint64_t(std::chrono::duration_cast<std::chrono::nanoseconds>(
                      std::chrono::steady_clock::now().time_since_epoch())
                      .count());
}

double CpuSeconds() {
  rusage usage;
  getrusage(RUSAGE_SELF, &usage);
  return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// One worker process: channels [first, first + count).
class Worker {
 public:
  Worker(const RunTarget &target, const Case &c, int first, int count, WorkerReport *report)
      : target_(target), case_(c), first_(first), count_(count), report_(report) {}

  bool Prepare() {
    if (target_.mode == Mode::kLibrary) {
      if (zrfs_SetRootDir(target_.root.c_str()) != 0 || zrfs_Init() != 0 || zrfs_SetOpt(1) != 0 ||
          zrfs_Mount(target_.libDisk.c_str()) != 0)
        return Fail("starting the library");
      for (int i = 0; i < count_; ++i) {
        FileCreateParam param;
        memset(&param, 0, sizeof param);
        param.ichan = uint32_t(first_ + i);
        param.createTime = int32_t(time(nullptr));
        snprintf(param.diskPath, sizeof param.diskPath, "%s", target_.libDisk.c_str());
        snprintf(param.extName, sizeof param.extName, "%s", "rec");
        char name[ZRFS_NAME_MAX];
        int fd = zrfs_Open(&param, name, 1);
        if (fd < 0) return Fail("zrfs_Open");
        fds_.push_back(fd);
      }
    } else if (target_.mode == Mode::kRaw) {
      int fd = open(target_.device.c_str(), O_WRONLY);
      if (fd < 0) return Fail("opening the device");
      fds_.assign(size_t(count_), fd);
    } else {
      for (int i = 0; i < count_; ++i) {
        std::string path = target_.ext4Dir + "/rec" + std::to_string(first_ + i);
        int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND, 0644);
        if (fd < 0) return Fail("creating a file on ext4");
        fds_.push_back(fd);
      }
    }
    return true;
  }

  bool Record() {
    std::atomic<bool> stop{false};
    std::thread flusher;
    if (target_.mode != Mode::kLibrary) flusher = std::thread([&] { Flusher(stop); });
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (int i = 0; i < count_; ++i)
      threads.emplace_back([this, i, &failures] {
        if (!Channel(i)) failures.fetch_add(1);
      });
    for (std::thread &t : threads) t.join();
    if (target_.mode == Mode::kLibrary)
      for (int fd : fds_) zrfs_Close(fd);
    else if (target_.mode == Mode::kExt4)
      for (int fd : fds_) close(fd);
    stop.store(true);
    if (flusher.joinable()) flusher.join();
    return failures.load() == 0 || Fail("an append");
  }

 private:
  bool Channel(int i) {
    std::vector<uint8_t> buffer(case_.writeSize);
    std::mt19937_64 random(uint64_t(first_ + i) * 7919 + 1);
    for (size_t k = 0; k + 8 <= buffer.size(); k += 8) {
      uint64_t word = random();
      memcpy(&buffer[k], &word, 8);
    }
    LatencyHistogram local{};
    int fd = fds_[size_t(i)];
    uint64_t base = kDataStart + uint64_t(first_ + i) * kBlockBytes + kHeaderArea;
    for (uint64_t done = 0; done < case_.bytesPerChannel; done += case_.writeSize) {
      uint64_t start = Now();
      long n = target_.mode == Mode::kLibrary ? zrfs_Write(fd, buffer.data(), case_.writeSize)
               : target_.mode == Mode::kRaw
                   ? pwrite(fd, buffer.data(), case_.writeSize, off_t(base + done))
                   : write(fd, buffer.data(), case_.writeSize);
      local.Add(Now() - start);
      if (n != long(case_.writeSize)) return false;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    report_->appends.Merge(local);
    return true;
  }

  // The periodic flush that the library's own thread does for it.
  void Flusher(const std::atomic<bool> &stop) {
    uint64_t next = Now() + uint64_t(kLibraryFlushSeconds * 1e9);
    while (!stop.load()) {
      usleep(20'000);
      if (Now() < next) continue;
      if (target_.mode == Mode::kRaw)
        fdatasync(fds_[0]);
      else
        for (int fd : fds_) fdatasync(fd);
      next = Now() + uint64_t(kLibraryFlushSeconds * 1e9);
    }
  }

  bool Fail(const char *what) {
    snprintf(report_->error, sizeof report_->error, "%s failed: %s", what, strerror(errno));
    return false;
  }

  const RunTarget &target_;
  const Case &case_;
  int first_, count_;
  WorkerReport *report_;
  std::vector<int> fds_;
  std::mutex mutex_;
};

int WorkerMain(const RunTarget &target, const Case &c, int index, RunShared *shared) {
  WorkerReport *report = &shared->workers[index];
  int first = c.channels * index / c.processes;
  int count = c.channels * (index + 1) / c.processes - first;
  Worker worker(target, c, first, count, report);
  bool ok = worker.Prepare();
  report->ready.store(1);
  while (shared->go.load() == 0) usleep(200);
  double cpu = CpuSeconds();
  ok = ok && shared->go.load() == 1 && worker.Record();
  report->cpuSeconds = CpuSeconds() - cpu;
  report->failed.store(ok ? 0 : 1);
  report->done.store(1);
  return ok ? 0 : 1;
}

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

RunResult RunCase(const RunTarget &target, const Case &c) {
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
  std::vector<pid_t> pids;
  for (int i = 0; i < c.processes; ++i) {
    pid_t pid = fork();
    if (pid == 0) {
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      _exit(WorkerMain(target, c, i, shared));
    }
    pids.push_back(pid);
  }
  uint64_t deadline = Now() + uint64_t(kRunTimeoutSeconds) * 1'000'000'000;
  bool ok = WaitAll(shared, c.processes, &WorkerReport::ready, deadline);
  // What the set-up wrote (new blocks, file headers, inodes) is flushed
  // before the clock and the sector counter start.
  if (target.mode == Mode::kExt4)
    FlushFileSystem(target.ext4Dir);
  else
    FlushDevice(target.device);
  uint64_t sectorsBefore = target.loopName.empty() ? 0 : SectorsWritten(target.loopName);
  uint64_t start = Now();
  shared->go.store(ok ? 1 : 2);
  ok = ok && WaitAll(shared, c.processes, &WorkerReport::done, deadline);
  bool flushed =
      target.mode == Mode::kExt4 ? FlushFileSystem(target.ext4Dir) : FlushDevice(target.device);
  uint64_t end = Now();
  uint64_t sectorsAfter = target.loopName.empty() ? 0 : SectorsWritten(target.loopName);
  for (pid_t pid : pids) {
    if (!ok) kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) ok = false;
  }
  LatencyHistogram appends{};
  double cpu = 0;
  for (int i = 0; i < c.processes; ++i) {
    appends.Merge(shared->workers[i].appends);
    cpu += shared->workers[i].cpuSeconds;
    if (result.error.empty() && shared->workers[i].error[0] != '\0')
      result.error = shared->workers[i].error;
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
  result.cpuSecondsPerGiB = cpu / (bytes / double(1 << 30));
  result.p50Micros = double(appends.Percentile(0.50)) / 1e3;
  result.p99Micros = double(appends.Percentile(0.99)) / 1e3;
  if (!target.loopName.empty())
    result.writeAmplification = double(sectorsAfter - sectorsBefore) * 512 / bytes;
  return result;
}

}  // namespace bench
