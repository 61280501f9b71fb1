// Power cuts replayed from a write log.  The starting image is rebuilt from
// the log; then, at every write after the log's start, the writes since the
// last flush are kept or lost in several ways (all lost, all kept, random
// subsets, the last one torn at a sector boundary) and each resulting image
// is handed to a check.  The writes of a cut are taken back after its check,
// so one image file serves every crash point.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <functional>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "reliability/write_log.h"

namespace zrfs::test {

// What a check may rely on at one crash point.
struct CrashPoint {
  size_t event;       // the last write that happened
  const char *cut;    // how the unsynced writes fared
  bool mayFailMount;  // the cut came before the format was flushed
  // Recordings complete before the last flush and not changed since.
  std::vector<Recording> durable;
};

struct MatrixFigures {
  int crashPoints = 0;
  int images = 0;
};

class PowerCutReplay {
 public:
  PowerCutReplay(const WriteLog &log, std::string image) : log_(log), image_(std::move(image)) {}

  MatrixFigures Run(const std::function<void(const CrashPoint &)> &check) {
    MatrixFigures figures;
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
          if (e.kind == LogKind::kComplete) {
            current[r.name] = r;
          } else {
            current[r.name] = std::nullopt;
            changedSinceFlush.insert(r.name);
          }
          break;
        }
        case LogKind::kWrite:
          pending.push_back(i);
          if (i < log_.start()) break;
          ++figures.crashPoints;
          CrashPoint point{i, "", log_.start() == 0 && flushes == 0, {}};
          for (auto &[name, rec] : durable)
            if (!changedSinceFlush.count(name)) point.durable.push_back(rec);
          figures.images += CutEveryWay(pending, point, check);
          break;
      }
    }
    close(fd_);
    return figures;
  }

 private:
  struct Undo {
    uint64_t offset;
    std::string before;
  };

  // Writes event w (its first `limit` bytes) to the image; remembers what
  // it overwrote when undo is given.
  void Apply(size_t w, size_t limit, std::vector<Undo> *undo = nullptr) {
    const LogEvent &e = log_.event(w);
    size_t len = std::min<size_t>(e.len, limit);
    if (len == 0) return;
    if (undo != nullptr) {
      std::string before(len, '\0');
      ssize_t got = pread(fd_, before.data(), len, off_t(e.offset));
      before.resize(got > 0 ? size_t(got) : 0);
      undo->push_back({e.offset, std::move(before)});
    }
    if (e.zeros) {
      std::string zeros(len, '\0');
      (void)!pwrite(fd_, zeros.data(), len, off_t(e.offset));
    } else {
      (void)!pwrite(fd_, log_.data(e), len, off_t(e.offset));
    }
  }

  void TakeBack(std::vector<Undo> &undo) {
    for (auto it = undo.rbegin(); it != undo.rend(); ++it)
      (void)!pwrite(fd_, it->before.data(), it->before.size(), off_t(it->offset));
    undo.clear();
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
      std::vector<Undo> undo;
      for (size_t i = 0; i < n; ++i) Apply(pending[i], way.keep(i), &undo);
      point.cut = way.name;
      // Closed while checked: the zrfs tool takes a process that has the
      // image open for writing for one that has it mounted.
      close(fd_);
      check(point);
      fd_ = open(image_.c_str(), O_RDWR);
      TakeBack(undo);
    }
    return int(ways.size());
  }

  static constexpr size_t kSector = 512;
  const WriteLog &log_;
  std::string image_;
  int fd_ = -1;
};

}  // namespace zrfs::test
