// Forked test processes with a deadline, so a deadlock fails a test instead
// of hanging it, and no child outlives its test.
#pragma once

#include <sys/shm.h>
#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace zrfs::test {

// Runs body in a forked child, which exits 0 when body finished without a
// test failure, 1 otherwise.  The child dies with the test process.
pid_t Spawn(const std::function<void()> &body);

// Waits for every child until the deadline; kills and reaps the rest on
// timeout.  Succeeds when all exited with status 0.
::testing::AssertionResult WaitAll(const std::vector<pid_t> &children,
                                   std::chrono::milliseconds timeout);

// Waits for one child until the deadline (then kills and reaps it).
// Succeeds when SIGKILL ended it, from the test or from a fault rule.
::testing::AssertionResult WaitKilled(pid_t child, std::chrono::milliseconds timeout);

// Runs n copies of body (body(i) in child i) and waits for them.
::testing::AssertionResult RunInChildren(int n, const std::function<void(int)> &body,
                                         std::chrono::milliseconds timeout);

// Words of shared memory for the processes of one test, gone once the last
// of them detached.
class SharedWords {
 public:
  SharedWords() : id_(shmget(IPC_PRIVATE, 4096, IPC_CREAT | 0600)) {
    words_ = static_cast<std::atomic<int> *>(shmat(id_, nullptr, 0));
    shmctl(id_, IPC_RMID, nullptr);
  }
  ~SharedWords() { shmdt(words_); }
  std::atomic<int> &operator[](int i) { return words_[i]; }
  bool Await(int i, int value, std::chrono::seconds timeout = std::chrono::seconds(20)) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (words_[i] < value)
      if (std::chrono::steady_clock::now() > deadline)
        return false;
      else
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return true;
  }

 private:
  int id_;
  std::atomic<int> *words_;
};

}  // namespace zrfs::test
