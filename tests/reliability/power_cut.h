// Power cuts replayed from a write log.  The log keeps the order of every
// device write and flush of a workload in shared memory, so that all the
// workload's processes (forked from the test) add to it, with the
// workload's milestones ("this recording is complete") in the same order.
// The replay rebuilds the starting image from the log; then, at every write
// after the log's start, the writes since the last flush are kept or lost in
// several ways (all lost, all kept, random subsets, the last one torn at a
// sector boundary) and each resulting image is handed to a check.  The
// writes of a cut are taken back after its check, so one image file serves
// every crash point.
#pragma once

#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "os/os.h"

namespace zrfs::test {

enum class LogKind : uint8_t { kWrite, kFlush, kComplete, kChange };

// One part of a recording's logical bytes: byte i of it is byte from + i of
// writer seed's pattern.
struct Segment {
  uint64_t pos;
  uint32_t len;
  uint32_t seed;
  uint64_t from;
};

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
    Next(LogKind::kWrite) = LogEvent{LogKind::kWrite, zeros, uint32_t(len), offset, dataUsed_, -1};
    if (zeros) return;
    overflow_ |= dataUsed_ + len > kDataBytes;
    if (overflow_) return;
    memcpy(Data() + dataUsed_, bytes, len);
    dataUsed_ += len;
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

// What writes to a file overwrote, to put back newest first.
class UndoLog {
 public:
  void Save(int fd, uint64_t offset, size_t len) {
    std::string before(len, '\0');
    ssize_t got = pread(fd, before.data(), len, off_t(offset));
    before.resize(got > 0 ? size_t(got) : 0);
    std::lock_guard lock(mu_);
    undo_.emplace_back(offset, std::move(before));
  }
  void Rollback(int fd) {
    std::lock_guard lock(mu_);
    for (auto it = undo_.rbegin(); it != undo_.rend(); ++it)
      (void)!pwrite(fd, it->second.data(), it->second.size(), off_t(it->first));
    undo_.clear();
  }

 private:
  std::mutex mu_;
  std::vector<std::pair<uint64_t, std::string>> undo_;
};

// Remembers what every write of this process overwrote, so a check that
// has to write (a new recording on a cut image) can be taken back.
class UndoOs final : public OsWrapper {
 public:
  UndoOs() : OsWrapper(PosixOs()) { InstallOs(this); }
  ~UndoOs() { InstallOs(nullptr); }

  ssize_t PWrite(int fd, const void *buf, size_t len, uint64_t offset) override {
    undo_.Save(fd, offset, len);
    return target().PWrite(fd, buf, len, offset);
  }
  int DataSync(int) override { return 0; }  // nothing of a check needs to last

  void Rollback(const std::string &image) {
    int fd = open(image.c_str(), O_RDWR);
    undo_.Rollback(fd);
    close(fd);
  }

 private:
  UndoLog undo_;
};

// What a check may rely on at one crash point.
struct CrashPoint {
  size_t event;       // the last write that happened
  const char *cut;    // how the unsynced writes fared
  bool mayFailMount;  // the cut came before the format was flushed
  // Recordings complete before the last flush and not changed since.
  std::vector<Recording> durable;
};

class PowerCutReplay {
 public:
  PowerCutReplay(const WriteLog &log, std::string image) : log_(log), image_(std::move(image)) {}

  // Returns how many images were checked.
  int Run(const std::function<void(const CrashPoint &)> &check) {
    int images = 0;
    fd_ = open(image_.c_str(), O_RDWR);
    std::vector<size_t> pending;  // writes since the last flush
    std::map<std::string, std::optional<Recording>> current;
    std::map<std::string, Recording> durable;
    std::set<std::string> changedSinceFlush;
    size_t flushes = 0;
    for (size_t i = 0; i < log_.events(); ++i) {
      const LogEvent &e = log_.event(i);
      switch (e.kind) {
        case LogKind::kFlush:
          for (size_t w : pending) Apply(w, SIZE_MAX);
          pending.clear();
          durable.clear();
          for (auto &[name, rec] : current)
            if (rec) durable[name] = *rec;
          changedSinceFlush.clear();
          if (i >= log_.start()) ++flushes;
          break;
        case LogKind::kComplete:
        case LogKind::kChange: {
          const Recording &r = log_.recording(e.recording);
          current[r.name] = e.kind == LogKind::kComplete ? std::optional(r) : std::nullopt;
          if (e.kind == LogKind::kChange) changedSinceFlush.insert(r.name);
          break;
        }
        case LogKind::kWrite:
          pending.push_back(i);
          if (i < log_.start()) break;
          CrashPoint point{i, "", log_.start() == 0 && flushes == 0, {}};
          for (auto &[name, rec] : durable)
            if (!changedSinceFlush.count(name)) point.durable.push_back(rec);
          images += CutEveryWay(pending, point, check);
          break;
      }
    }
    close(fd_);
    return images;
  }

 private:
  // Writes event w (its first `limit` bytes) to the image; remembers what
  // it overwrote when undo is given.
  void Apply(size_t w, size_t limit, UndoLog *undo = nullptr) {
    const LogEvent &e = log_.event(w);
    size_t len = std::min<size_t>(e.len, limit);
    if (len == 0) return;
    if (undo != nullptr) undo->Save(fd_, e.offset, len);
    std::string zeros(e.zeros ? len : 0, '\0');
    (void)!pwrite(fd_, e.zeros ? zeros.data() : log_.data(e), len, off_t(e.offset));
  }

  int CutEveryWay(const std::vector<size_t> &pending, CrashPoint point,
                  const std::function<void(const CrashPoint &)> &check) {
    std::mt19937_64 random(point.event);
    size_t n = pending.size();
    struct Way {
      const char *name;
      std::function<size_t(size_t index)> keep;  // bytes of pending[index] that reach the disk
    };
    size_t lastLen = log_.event(pending.back()).len;
    size_t tearAt = lastLen > kSector ? kSector * (1 + random() % (lastLen / kSector)) : 0;
    if (tearAt >= lastLen) tearAt = lastLen - std::min(lastLen, kSector);
    uint64_t maskA = random(), maskB = random();
    std::vector<Way> ways = {
        {"all writes since the flush lost", [](size_t) { return size_t{0}; }},
        {"all writes since the flush kept", [](size_t) { return SIZE_MAX; }},
    };
    if (n >= 2) {
      ways.push_back({"random writes kept (a)",
                      [=](size_t i) { return maskA >> (i % 64) & 1 ? SIZE_MAX : 0; }});
      ways.push_back({"random writes kept (b)",
                      [=](size_t i) { return maskB >> (i % 64) & 1 ? SIZE_MAX : 0; }});
    }
    ways.push_back({"last write torn", [=](size_t i) { return i + 1 == n ? tearAt : SIZE_MAX; }});
    for (const Way &way : ways) {
      UndoLog undo;
      for (size_t i = 0; i < n; ++i) Apply(pending[i], way.keep(i), &undo);
      point.cut = way.name;
      // Closed while checked: the zrfs tool takes a process that has the
      // image open for writing for one that has it mounted.
      close(fd_);
      check(point);
      fd_ = open(image_.c_str(), O_RDWR);
      undo.Rollback(fd_);
    }
    return int(ways.size());
  }

  static constexpr size_t kSector = 512;
  const WriteLog &log_;
  std::string image_;
  int fd_ = -1;
};

}  // namespace zrfs::test
