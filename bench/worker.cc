#include "worker.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "clock.h"
#include "zrfs.h"

namespace bench {
namespace {

constexpr uint64_t kDataStart = 0x41100000;  // first block of a formatted disk
constexpr uint64_t kBlockBytes = 1ull << 30;
constexpr uint64_t kHeaderArea = 2ull << 20;  // data of a block's first file starts here
// The library's flushing thread sleeps 40 ms per sweep and per idle disk
// slot (24 slots, one busy) and flushes a written disk on every 21st visit.
constexpr double kLibraryFlushSeconds = 24 * 0.040 * 21;

double CpuSeconds() {
  rusage usage;
  getrusage(RUSAGE_SELF, &usage);
  return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// One worker process: channels [first, first + count), a thread each.
class Worker {
 public:
  Worker(const RunTarget &target, const Case &c, int first, int count, RunShared *shared,
         WorkerReport *report)
      : target_(target), case_(c), first_(first), count_(count), shared_(shared), report_(report) {}

  // Opens the files and starts the channels, which warm up and wait.
  bool Prepare() {
    if (!OpenFiles()) return false;
    for (int i = 0; i < count_; ++i) threads_.emplace_back([this, i] { Channel(i); });
    for (int ready = ready_.load(); ready < count_; ready = ready_.load()) ready_.wait(ready);
    return failures_.load() == 0;
  }

  // Lets the channels record (or, when record is false, quit) and waits for
  // them; closes the files.
  bool Record(bool record) {
    abort_.store(!record);
    std::thread flusher;
    if (record && target_.mode != Mode::kLibrary) flusher = std::thread([this] { Flusher(); });
    start_.store(true);
    start_.notify_all();
    for (std::thread &t : threads_) t.join();
    if (target_.mode == Mode::kLibrary)
      for (int fd : fds_) zrfs_Close(fd);
    else if (target_.mode == Mode::kExt4)
      for (int fd : fds_) close(fd);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopFlusher_ = true;
    }
    flusherWake_.notify_all();
    if (flusher.joinable()) flusher.join();
    return record && failures_.load() == 0;
  }

 private:
  bool OpenFiles() {
    if (target_.mode == Mode::kLibrary) {
      if (zrfs_SetRootDir(target_.root.c_str()) != 0 || zrfs_Init() != 0 || zrfs_SetOpt(1) != 0 ||
          zrfs_SetFlushInterval(case_.flushIntervalMs) != 0 ||
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

  // One append of the channel's next piece; offset: within the channel's
  // data, for raw writes.
  bool Append(int i, const std::vector<uint8_t> &buffer, uint64_t offset) {
    int fd = fds_[size_t(i)];
    uint64_t base = kDataStart + uint64_t(first_ + i) * kBlockBytes + kHeaderArea;
    long n = target_.mode == Mode::kLibrary ? zrfs_Write(fd, buffer.data(), case_.writeSize)
             : target_.mode == Mode::kRaw
                 ? pwrite(fd, buffer.data(), case_.writeSize, off_t(base + offset))
                 : write(fd, buffer.data(), case_.writeSize);
    return n == long(case_.writeSize);
  }

  void Channel(int i) {
    std::vector<uint8_t> buffer(case_.writeSize);
    std::mt19937_64 random(uint64_t(first_ + i) * 7919 + 1);
    for (size_t k = 0; k + 8 <= buffer.size(); k += 8) {
      uint64_t word = random();
      memcpy(&buffer[k], &word, 8);
    }
    LatencyHistogram local{};
    bool ok = Append(i, buffer, 0);  // the warm-up append
    uint64_t offset = case_.writeSize;
    if (!ok) ChannelFailed("the warm-up append");
    ready_.fetch_add(1);
    ready_.notify_all();
    start_.wait(false);
    if (!ok || abort_.load()) return;

    // Paced: write k is due at start + phase + k * interval, the channels'
    // phases spread over one interval.
    bool paced = case_.bitsPerSecond > 0;
    uint64_t interval = paced ? uint64_t(double(case_.writeSize) * 8e9 / case_.bitsPerSecond) : 0;
    uint64_t due = shared_->startNanos + interval * uint64_t(first_ + i) / uint64_t(case_.channels);
    uint64_t maxLag = 0, end = 0;
    for (uint64_t done = 0; done < case_.bytesPerChannel; done += case_.writeSize) {
      if (paced) SleepUntil(due);
      uint64_t begin = Now();
      if (paced && begin > due && begin - due > maxLag) maxLag = begin - due;
      ok = Append(i, buffer, offset + done);
      end = Now();
      local.Add(end - begin);
      due += interval;
      if (!ok) break;
    }
    if (!ok) ChannelFailed("an append");
    std::lock_guard<std::mutex> lock(mutex_);
    report_->appends.Merge(local);
    if (end > report_->appendsEnd) report_->appendsEnd = end;
    if (maxLag > report_->maxLagNanos) report_->maxLagNanos = maxLag;
  }

  // The periodic flush that the library's own thread does for it.  Woken
  // at once when the channels are done, so it never holds up the clock.
  void Flusher() {
    auto period = std::chrono::nanoseconds(uint64_t(kLibraryFlushSeconds * 1e9));
    std::unique_lock<std::mutex> lock(mutex_);
    while (!flusherWake_.wait_for(lock, period, [this] { return stopFlusher_; })) {
      lock.unlock();
      if (target_.mode == Mode::kRaw)
        fdatasync(fds_[0]);
      else
        for (int fd : fds_) fdatasync(fd);
      lock.lock();
    }
  }

  // From a channel's thread, whose errno tells why.
  void ChannelFailed(const char *what) {
    int error = errno;
    std::lock_guard<std::mutex> lock(mutex_);
    failures_.fetch_add(1);
    errno = error;
    Fail(what);
  }

  bool Fail(const char *what) {
    if (report_->error[0] == '\0')
      snprintf(report_->error, sizeof report_->error, "%s failed: %s", what, strerror(errno));
    return false;
  }

  const RunTarget &target_;
  const Case &case_;
  int first_, count_;
  RunShared *shared_;
  WorkerReport *report_;
  std::vector<int> fds_;
  std::vector<std::thread> threads_;
  std::atomic<int> ready_{0}, failures_{0};
  std::atomic<bool> start_{false}, abort_{false};
  std::mutex mutex_;  // the report, and the flusher's stop flag
  std::condition_variable flusherWake_;
  bool stopFlusher_ = false;
};

}  // namespace

int WorkerMain(const RunTarget &target, const Case &c, int index, RunShared *shared) {
  WorkerReport *report = &shared->workers[index];
  int first = c.channels * index / c.processes;
  int count = c.channels * (index + 1) / c.processes - first;
  Worker worker(target, c, first, count, shared, report);
  bool ok = worker.Prepare();
  report->ready.store(1);
  while (shared->go.load() == 0) usleep(200);
  double cpu = CpuSeconds();
  ok = worker.Record(ok && shared->go.load() == 1) && ok;
  report->cpuSeconds = CpuSeconds() - cpu;
  report->failed.store(ok ? 0 : 1);
  report->done.store(1);
  return ok ? 0 : 1;
}

}  // namespace bench
