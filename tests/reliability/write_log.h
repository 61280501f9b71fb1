// The order of every device write and flush of a workload, kept in shared
// memory so that the workload's processes (forked from the test) all add to
// one log, plus the workload's own milestones ("this recording is complete")
// in the same order.  A power-cut test replays the log up to any point.
#pragma once

#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "os/os.h"

namespace zrfs::test {

enum class LogKind : uint8_t { kWrite, kFlush, kComplete, kChange };

// One part of a recording's logical bytes: byte i of it is
// PatternAt(seed, from + i).
struct Segment {
  uint64_t pos;
  uint32_t len;
  uint32_t seed;
  uint64_t from;
};

inline char PatternAt(uint32_t seed, uint64_t i) {
  return char((i * 131 + uint64_t(seed) * 7 + i / 977) & 0xFF);
}

struct LogEvent {
  LogKind kind;
  bool zeros;         // a write of zero bytes only: no data kept
  uint32_t len;       // write: bytes
  uint64_t offset;    // write: device offset
  uint64_t dataAt;    // write: where its bytes are in the log's data area
  int32_t recording;  // milestone: index into the recordings
};

inline constexpr int kMaxSegments = 4;
// A recording as its workload left it: its name, size and bytes.
struct Recording {
  char name[64];
  int64_t size;
  int segments;
  Segment segment[kMaxSegments];
};

class WriteLog {
 public:
  static constexpr size_t kMaxEvents = 1 << 16;
  static constexpr size_t kMaxRecordings = 256;
  static constexpr size_t kDataBytes = size_t(256) << 20;

  // In memory shared with every process forked afterwards.
  static WriteLog *Make() {
    void *p = mmap(nullptr, sizeof(WriteLog) + kDataBytes, PROT_READ | PROT_WRITE,
                   MAP_SHARED | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    auto *log = new (p) WriteLog();
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
    pthread_mutex_init(&log->mu_, &attr);
    return log;
  }
  static void Free(WriteLog *log) { munmap(log, sizeof(WriteLog) + kDataBytes); }

  void AddWrite(uint64_t offset, const void *bytes, size_t len) {
    bool zeros = true;
    for (size_t i = 0; i < len && zeros; ++i) zeros = static_cast<const char *>(bytes)[i] == 0;
    Lock lock(this);
    LogEvent &e = Next(LogKind::kWrite);
    e.zeros = zeros;
    e.len = uint32_t(len);
    e.offset = offset;
    e.dataAt = dataUsed_;
    if (!zeros && dataUsed_ + len <= kDataBytes) {
      memcpy(Data() + dataUsed_, bytes, len);
      dataUsed_ += len;
    } else if (!zeros) {
      overflow_ = true;
    }
  }
  void AddFlush() {
    Lock lock(this);
    Next(LogKind::kFlush);
    ++flushes_;
  }
  // The recording is complete (kComplete) or about to change (kChange).
  void AddMilestone(LogKind kind, const Recording &r) {
    Lock lock(this);
    if (recordings_ >= kMaxRecordings) {
      overflow_ = true;
      return;
    }
    recording_[recordings_] = r;
    Next(kind).recording = int32_t(recordings_++);
  }

  size_t events() const { return events_; }
  const LogEvent &event(size_t i) const { return event_[i]; }
  const Recording &recording(int i) const { return recording_[i]; }
  const char *data(const LogEvent &e) const { return Data() + e.dataAt; }
  uint32_t flushes() const { return __atomic_load_n(&flushes_, __ATOMIC_ACQUIRE); }
  // Crash points start here: what came before is the workload's starting
  // image (a formatted disk, say), made durable by a flush.
  void MarkStart() {
    Lock lock(this);
    start_ = events_;
  }
  size_t start() const { return start_; }
  bool overflow() const { return overflow_; }

 private:
  struct Lock {
    explicit Lock(WriteLog *log) : log(log) { pthread_mutex_lock(&log->mu_); }
    ~Lock() { pthread_mutex_unlock(&log->mu_); }
    WriteLog *log;
  };
  LogEvent &Next(LogKind kind) {
    if (events_ >= kMaxEvents) {
      overflow_ = true;
      events_ = kMaxEvents - 1;
    }
    LogEvent &e = event_[events_++];
    e = LogEvent{kind, false, 0, 0, 0, -1};
    return e;
  }
  char *Data() { return reinterpret_cast<char *>(this + 1); }
  const char *Data() const { return reinterpret_cast<const char *>(this + 1); }

  pthread_mutex_t mu_;
  size_t events_ = 0;
  size_t recordings_ = 0;
  size_t start_ = 0;
  uint64_t dataUsed_ = 0;
  uint32_t flushes_ = 0;
  bool overflow_ = false;
  LogEvent event_[kMaxEvents];
  Recording recording_[kMaxRecordings];
};

// Adds every device write and flush of this process to a log.
class LoggingOs final : public OsWrapper {
 public:
  // The flush thread runs ten times faster, so a requested flush comes
  // within a tenth of a second and a workload still spans periodic ones.
  explicit LoggingOs(WriteLog *log) : OsWrapper(PosixOs()), log_(log) {
    RunClockFaster(10);
    InstallOs(this);
  }
  ~LoggingOs() { InstallOs(nullptr); }

  ssize_t PWrite(int fd, const void *buf, size_t len, uint64_t offset) override {
    ssize_t done = target().PWrite(fd, buf, len, offset);
    if (done > 0) log_->AddWrite(offset, buf, size_t(done));
    return done;
  }
  // Logged before the flush starts: every write logged earlier returned
  // before it, so the flush makes it durable.
  int DataSync(int fd) override {
    log_->AddFlush();
    return target().DataSync(fd);
  }

 private:
  WriteLog *log_;
};

// Remembers what every write of this process overwrote, so a check that
// has to write (a new recording on a cut image) can be taken back.
class UndoOs final : public OsWrapper {
 public:
  UndoOs() : OsWrapper(PosixOs()) { InstallOs(this); }
  ~UndoOs() { InstallOs(nullptr); }

  ssize_t PWrite(int fd, const void *buf, size_t len, uint64_t offset) override {
    std::string before(len, '\0');
    ssize_t got = pread(fd, before.data(), len, off_t(offset));
    before.resize(got > 0 ? size_t(got) : 0);
    {
      std::lock_guard lock(mu_);
      undo_.push_back({offset, std::move(before)});
    }
    return target().PWrite(fd, buf, len, offset);
  }
  int DataSync(int) override { return 0; }  // nothing of a check needs to last

  // Puts back what the writes overwrote, newest first, on the image file.
  void Rollback(const std::string &image) {
    std::lock_guard lock(mu_);
    int fd = open(image.c_str(), O_RDWR);
    for (auto it = undo_.rbegin(); it != undo_.rend(); ++it)
      (void)!pwrite(fd, it->second.data(), it->second.size(), off_t(it->first));
    close(fd);
    undo_.clear();
  }

 private:
  std::mutex mu_;
  std::vector<std::pair<uint64_t, std::string>> undo_;
};

}  // namespace zrfs::test
