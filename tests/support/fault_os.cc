#include "support/fault_os.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

namespace zrfs::test {
namespace {

bool Kills(const FaultRule *r) {
  return r != nullptr && (r->fault == Fault::kKill || r->fault == Fault::kKillAfter);
}

[[noreturn]] void DieNow() {
  kill(getpid(), SIGKILL);
  for (;;) pause();
}

// What a rule that fired does to a transfer: fail it, shorten it, or (for
// a kill after the call) nothing yet.
bool Fails(const FaultRule *r) {
  return r != nullptr && (r->fault == Fault::kError || r->fault == Fault::kAbsent);
}
size_t Part(const FaultRule *r, size_t len) {
  return r != nullptr && r->fault == Fault::kShort ? std::min(len, r->shortBytes) : len;
}

}  // namespace

FaultOs::FaultOs() : OsWrapper(PosixOs()) {
  InstallOs(this);
}

FaultOs::~FaultOs() {
  InstallOs(nullptr);
  // The library's flush thread may have picked this wrapper up just before
  // it was removed; let such a call finish before the object goes away.
  usleep(100 * 1000);
}

void FaultOs::Add(const FaultRule &rule) {
  std::lock_guard lock(mu_);
  rules_.push_back({rule, 0});
}

void FaultOs::Clear() {
  std::lock_guard lock(mu_);
  rules_.clear();
}

int FaultOs::Count(Call call) const {
  std::lock_guard lock(mu_);
  return counts_[static_cast<int>(call)];
}

int FaultOs::CountOnOwnThread(Call call) const {
  std::lock_guard lock(mu_);
  return ownThreadCounts_[static_cast<int>(call)];
}

int FaultOs::Fired() const {
  std::lock_guard lock(mu_);
  return fired_;
}

std::string FaultOs::PathOf(int fd) const {
  auto it = paths_.find(fd);
  if (it != paths_.end()) return it->second;
  // Opened before this wrapper was installed: ask the system.
  char link[64], real[4096];
  snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  ssize_t len = readlink(link, real, sizeof real - 1);
  return len > 0 ? std::string(real, size_t(len)) : std::string();
}

const FaultRule *FaultOs::Match(Call call, const std::string &path, uint64_t offset, uint64_t len) {
  ++counts_[static_cast<int>(call)];
  if (std::this_thread::get_id() == ownThread_) ++ownThreadCounts_[static_cast<int>(call)];
  // Every matching rule counts the call, so "the Nth call" means the same
  // whatever other rules exist; the first rule that fires wins.
  const FaultRule *fired = nullptr;
  for (Rule &rule : rules_) {
    const FaultRule &r = rule.when;
    if (r.call != call) continue;
    if (!r.pathContains.empty() && path.find(r.pathContains) == std::string::npos) continue;
    uint64_t end = len == 0 ? offset + 1 : offset + len;
    if (end <= r.fromOffset || offset >= r.toOffset) continue;
    ++rule.seen;
    if (fired == nullptr && (r.nth == 0 || r.nth == rule.seen)) fired = &r;
  }
  if (fired != nullptr) ++fired_;
  return fired;
}

std::optional<Fault> FaultOs::Broken(Call call, int fd, const char *path) {
  std::lock_guard lock(mu_);
  const FaultRule *r = Match(call, path != nullptr ? path : fd >= 0 ? PathOf(fd) : "", 0, 0);
  if (r == nullptr) return std::nullopt;
  if (Kills(r)) DieNow();
  errno = r->error;
  return r->fault;
}

int FaultOs::Open(const char *path, int flags, int mode) {
  if (Broken(Call::kOpen, -1, path)) return -1;
  int fd = target().Open(path, flags, mode);
  std::lock_guard lock(mu_);
  if (fd >= 0) paths_[fd] = path;
  return fd;
}

int FaultOs::Close(int fd) {
  {
    std::lock_guard lock(mu_);
    paths_.erase(fd);
  }
  return target().Close(fd);
}

ssize_t FaultOs::PRead(int fd, void *buf, size_t len, uint64_t offset) {
  std::unique_lock lock(mu_);
  const FaultRule *r = Match(Call::kRead, PathOf(fd), offset, len);
  if (r != nullptr && r->fault == Fault::kKill) DieNow();
  if (Fails(r)) {
    errno = r->error;
    return -1;
  }
  size_t part = Part(r, len);
  bool dieAfter = Kills(r);
  lock.unlock();
  ssize_t done = target().PRead(fd, buf, part, offset);
  if (dieAfter) DieNow();
  return done;
}

ssize_t FaultOs::PWrite(int fd, const void *buf, size_t len, uint64_t offset) {
  std::unique_lock lock(mu_);
  std::string path = PathOf(fd);
  const FaultRule *r = Match(Call::kWrite, path, offset, len);
  if (r != nullptr && r->fault == Fault::kKill) DieNow();
  if (Fails(r)) {
    errno = r->error;
    return -1;
  }
  size_t part = Part(r, len);
  bool dieAfter = Kills(r);
  UnsyncedWrite entry{path, offset, std::string(part, '\0'),
                      std::string(static_cast<const char *>(buf), part)};
  ssize_t got = pread(fd, entry.before.data(), part, static_cast<off_t>(offset));
  entry.before.resize(got > 0 ? static_cast<size_t>(got) : 0);  // bytes past the end read as none
  lock.unlock();
  ssize_t done = target().PWrite(fd, buf, part, offset);
  if (dieAfter) DieNow();
  if (done > 0) {
    entry.after.resize(static_cast<size_t>(done));
    std::lock_guard relock(mu_);
    journal_.push_back(std::move(entry));
  }
  return done;
}

int FaultOs::DataSync(int fd) {
  bool dieAfter = false;
  {
    std::lock_guard lock(mu_);
    std::string path = PathOf(fd);
    const FaultRule *r = Match(Call::kDataSync, path, 0, 0);
    if (r != nullptr && r->fault == Fault::kKill) DieNow();
    if (r != nullptr && !Kills(r)) {
      errno = r->error;
      return -1;
    }
    dieAfter = Kills(r);
    // Everything written to this file so far is durable now.
    std::erase_if(journal_, [&](const UnsyncedWrite &w) { return w.path == path; });
  }
  int synced = target().DataSync(fd);
  if (dieAfter) DieNow();
  return synced;
}

int FaultOs::Presence(int fd, int *present) {
  std::optional<Fault> fault = Broken(Call::kPresence, fd);
  if (!fault) return target().Presence(fd, present);
  if (*fault != Fault::kAbsent) return -1;
  *present = 0;
  return 0;
}

int FaultOs::DeviceBytes(int fd, uint64_t *bytes) {
  return Broken(Call::kDeviceSize, fd) ? -1 : target().DeviceBytes(fd, bytes);
}

int FaultOs::DeviceSectors(int fd, uint32_t *sectors) {
  return Broken(Call::kDeviceSize, fd) ? -1 : target().DeviceSectors(fd, sectors);
}

int FaultOs::SemOp(int semId, struct sembuf *ops, size_t nops) {
  return Broken(Call::kSemOp, -1) ? -1 : target().SemOp(semId, ops, nops);
}

int FaultOs::ShmGet(int key, size_t size, int flags) {
  return Broken(Call::kShmGet, -1) ? -1 : target().ShmGet(key, size, flags);
}

size_t FaultOs::UnsyncedWrites() const {
  std::lock_guard lock(mu_);
  return journal_.size();
}

void FaultOs::PowerCut(Cut cut, uint64_t keepMask, size_t tearBytes) {
  std::lock_guard lock(mu_);
  auto patch = [this](const std::string &path, uint64_t offset, const std::string &bytes) {
    int fd = target().Open(path.c_str(), O_RDWR, 0);
    if (fd < 0) return;
    (void)!pwrite(fd, bytes.data(), bytes.size(), static_cast<off_t>(offset));
    target().Close(fd);
  };
  // Roll every unsynced write back, newest first, then replay the ones that
  // reached the disk in their original order.
  for (auto it = journal_.rbegin(); it != journal_.rend(); ++it)
    patch(it->path, it->offset, it->before);
  for (size_t i = 0; i < journal_.size(); ++i) {
    const UnsyncedWrite &w = journal_[i];
    bool kept = cut == Cut::kKeepAll || cut == Cut::kTearLast ||
                (cut == Cut::kKeepSome && (keepMask >> (i % 64) & 1));
    bool torn = cut == Cut::kTearLast && i + 1 == journal_.size();
    if (kept) patch(w.path, w.offset, torn ? w.after.substr(0, tearBytes) : w.after);
  }
  journal_.clear();
}

}  // namespace zrfs::test
