// An Os that breaks chosen calls, for fault-injection tests, and that keeps
// a journal of writes not yet made durable, so a test can cut the power.
//
//   FaultOs faults;                      // installs itself, uninstalls at scope end
//   faults.Add({.call = Call::kWrite, .pathContains = "host03", .nth = 2});
//
// A rule matches a call of its kind on a device whose logical path contains
// pathContains, whose transfer overlaps [fromOffset, toOffset).  nth = 0
// breaks every matching call; nth = N breaks only the Nth.  A kill stops a
// (forked) process exactly at a call, as a kill from outside could.
#pragma once

#include <errno.h>

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "os/os.h"

namespace zrfs::test {

enum class Call { kOpen, kRead, kWrite, kDataSync, kPresence, kDeviceSize, kSemOp, kShmGet };

enum class Fault {
  kError,      // fail with error
  kShort,      // transfer only shortBytes (reads and writes)
  kAbsent,     // the disk reports itself absent (presence)
  kKill,       // the calling process dies of SIGKILL instead of making the call
  kKillAfter,  // the same once the call is made (reads, writes and flushes;
               // other calls die before)
};

struct FaultRule {
  Call call;
  std::string pathContains;
  uint64_t fromOffset = 0;
  uint64_t toOffset = UINT64_MAX;
  int nth = 0;
  Fault fault = Fault::kError;
  int error = EIO;
  size_t shortBytes = 0;
};

// How the writes since the last flush fare at a power cut.
enum class Cut {
  kDropAll,   // none reached the disk
  kKeepAll,   // all did
  kKeepSome,  // those whose bit is set in keepMask (write i: bit i % 64)
  kTearLast,  // all but the last, which reached the disk up to tearBytes
};

class FaultOs final : public OsWrapper {
 public:
  FaultOs();
  ~FaultOs();

  void Add(const FaultRule &rule);
  void Clear();
  // Matching calls seen so far of a kind (broken or not), on any device.
  int Count(Call call) const;
  // Those made by the thread that installed this wrapper: the library's
  // flush thread keeps locking in the background and is left out.
  int CountOnOwnThread(Call call) const;
  // Calls broken so far by any rule.
  int Fired() const;

  // Journal of writes since the last DataSync of each file.
  size_t UnsyncedWrites() const;
  // Undoes the unsynced writes as the cut says, straight on the images.
  void PowerCut(Cut cut, uint64_t keepMask = 0, size_t tearBytes = 0);

  int Open(const char *path, int flags, int mode) override;
  int Close(int fd) override;
  ssize_t PRead(int fd, void *buf, size_t len, uint64_t offset) override;
  ssize_t PWrite(int fd, const void *buf, size_t len, uint64_t offset) override;
  int DataSync(int fd) override;
  int Presence(int fd, int *present) override;
  int DeviceBytes(int fd, uint64_t *bytes) override;
  int DeviceSectors(int fd, uint32_t *sectors) override;
  int SemOp(int semId, struct sembuf *ops, size_t nops) override;
  int ShmGet(int key, size_t size, int flags) override;

 private:
  struct Rule {
    FaultRule when;
    int seen = 0;
  };
  struct UnsyncedWrite {
    std::string path;
    uint64_t offset;
    std::string before;
    std::string after;
  };

  // The rule that breaks this call, or null.  Counts the call.
  const FaultRule *Match(Call call, const std::string &path, uint64_t offset, uint64_t len);
  // Match for a call without a transfer, on fd or path (neither: no device):
  // the fault when a rule breaks it, with errno set.
  std::optional<Fault> Broken(Call call, int fd, const char *path = nullptr);
  std::string PathOf(int fd) const;

  mutable std::mutex mu_;
  std::vector<Rule> rules_;
  std::map<int, std::string> paths_;  // open descriptors
  int counts_[16] = {};
  int ownThreadCounts_[16] = {};
  const std::thread::id ownThread_ = std::this_thread::get_id();
  int fired_ = 0;
  std::vector<UnsyncedWrite> journal_;
};

}  // namespace zrfs::test
