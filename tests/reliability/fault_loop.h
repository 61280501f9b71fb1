// Fault loops: one public operation run again and again, each time with the
// Nth device call of one kind broken (N = 1, 2, ...), until the operation no
// longer reaches call N and succeeds.  Every run happens in a fresh child
// process on a fresh image and shared state, so one run cannot hide what
// another left behind.
#pragma once

#include <sys/mman.h>

#include <chrono>
#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "reliability/library_state.h"
#include "support/fault_os.h"
#include "support/processes.h"
#include "support/test_root.h"
#include "zrfs.h"

namespace zrfs::test {

// How one device call is broken.
struct DeviceFault {
  Call call;
  Fault fault;
  const char *label;
};

// What an operation's setup leaves for the operation and its checks.
struct Scene {
  std::string dev;   // logical device path of the disk
  std::string name;  // a record file made by the setup, when it makes one
  int fd = -1;       // a descriptor the setup opened, when it opens one
  int blk = -1;      // the block holding `name`
};

struct FaultedOperation {
  const char *name;
  // Brings the library to the operation's starting point (no faults yet).
  std::function<void(Scene &)> setup;
  // The operation itself; returns its result.
  std::function<int64_t(Scene &)> run;
  std::function<bool(int64_t)> succeeded;
  // After a failed run: the documented result (the result value is checked
  // by `succeeded`; this checks error numbers, tagging and the like).
  std::function<void(Scene &, const DeviceFault &)> checkFailure;
  // Gives back what a successful run holds (a descriptor, a mount), so the
  // library's state can be compared with the one before the run.
  std::function<void(Scene &, int64_t result)> release;
  // With every fault gone: the operation, or what it was for, now works.
  std::function<void(Scene &, bool ranOnce)> retry;
};

struct FaultLoopFigures {
  int sites = 0;  // device calls the operation makes, over the kinds broken
  int cases = 0;  // runs, the final successful one of each kind included
};

inline constexpr int kLoopDisk = 3;
inline constexpr uint64_t kLoopUnit = 0x40000000;
inline constexpr uint64_t kLoopDataStart = 0x41100000;
inline constexpr size_t kShortBytes = 100;  // what a short transfer moves

inline const DeviceFault kDeviceFaults[] = {
    {Call::kRead, Fault::kError, "read fails with EIO"},
    {Call::kRead, Fault::kShort, "short read"},
    {Call::kWrite, Fault::kError, "write fails with EIO"},
    {Call::kWrite, Fault::kShort, "short write"},
    {Call::kOpen, Fault::kError, "open fails with EIO"},
    {Call::kPresence, Fault::kAbsent, "disk absent"},
    {Call::kDeviceSize, Fault::kError, "size request fails with EIO"},
};

namespace fault_loop_detail {

// Written by the child, read by the parent after the child ended.
struct CaseOutcome {
  int fired;  // calls the fault broke; -1 when the child never got there
};

inline void RunCase(const FaultedOperation &op, const DeviceFault &fault, int nth,
                    const std::string &dev, CaseOutcome *outcome) {
  Scene scene;
  scene.dev = dev;
  ASSERT_EQ(zrfs_Init(), 0);
  op.setup(scene);
  if (::testing::Test::HasFatalFailure()) return;
  LibraryState before = CaptureLibraryState(kLoopDisk);

  int64_t result;
  int fired;
  {
    FaultOs faults;
    faults.Add({.call = fault.call,
                .pathContains = "host03",
                .nth = nth,
                .fault = fault.fault,
                .error = EIO,
                .shortBytes = kShortBytes});
    result = op.run(scene);
    fired = faults.Fired();
  }
  outcome->fired = fired;
  bool ok = op.succeeded(result);
  if (fired == 0) {
    EXPECT_TRUE(ok) << "no fault, result " << result;
  }
  if (!ok) {
    op.checkFailure(scene, fault);
  } else {
    op.release(scene, result);
  }
  EXPECT_EQ(CaptureLibraryState(kLoopDisk), before) << "result " << result;
  op.retry(scene, ok);
}

}  // namespace fault_loop_detail

// Runs the loop for every fault kind; test failures are reported through
// GoogleTest with the operation, the fault and N.
inline FaultLoopFigures RunFaultLoop(const FaultedOperation &op) {
  using namespace std::chrono_literals;
  using fault_loop_detail::CaseOutcome;
  FaultLoopFigures figures;
  void *mapping =
      mmap(nullptr, sizeof(CaseOutcome), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  auto *outcome = static_cast<CaseOutcome *>(mapping);
  TestRoot root;
  for (const DeviceFault &fault : kDeviceFaults) {
    for (int nth = 1;; ++nth) {
      root.RemoveIpcObjects();
      std::string dev =
          root.MakeImage(TestRoot::DevicePath(kLoopDisk), kLoopDataStart + 5 * kLoopUnit);
      outcome->fired = -1;
      pid_t child = Spawn([&] { fault_loop_detail::RunCase(op, fault, nth, dev, outcome); });
      ++figures.cases;
      bool passed = WaitAll({child}, 60s);
      EXPECT_TRUE(passed) << op.name << ": " << fault.label << " at call " << nth;
      // Children inherit this process's failures, so after the first one
      // the rest would only repeat it.
      if (!passed) return figures;
      if (outcome->fired <= 0) break;
      ++figures.sites;
    }
  }
  munmap(mapping, sizeof(CaseOutcome));
  printf("[ fault loop ] %s: %d device calls broken, %d cases\n", op.name, figures.sites,
         figures.cases);
  ::testing::Test::RecordProperty("sites", figures.sites);
  ::testing::Test::RecordProperty("cases", figures.cases);
  return figures;
}

}  // namespace zrfs::test
