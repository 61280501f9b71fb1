#include "support/processes.h"

#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <thread>

namespace zrfs::test {

pid_t Spawn(const std::function<void()> &body) {
  fflush(nullptr);  // the child must not flush the parent's buffered output again
  pid_t pid = fork();
  if (pid != 0) return pid;
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  body();
  _exit(::testing::Test::HasFailure() ? 1 : 0);
}

namespace {

// Reaps child by the deadline, or kills and reaps it then.  Its wait status,
// or -1 when it timed out.
int Reap(pid_t child, std::chrono::steady_clock::time_point deadline) {
  int status = 0;
  pid_t done = 0;
  while ((done = waitpid(child, &status, WNOHANG)) == 0 &&
         std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  if (done != 0) return done == child ? status : -2;
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
  return -1;
}

}  // namespace

::testing::AssertionResult WaitAll(const std::vector<pid_t> &children,
                                   std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  std::string failures;
  // One after another: each child has until the shared deadline.
  for (pid_t pid : children) {
    int status = Reap(pid, deadline);
    if (status == -1)
      failures += " child " + std::to_string(pid) + " timed out";
    else if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
      failures +=
          " child " + std::to_string(pid) + " failed (status " + std::to_string(status) + ")";
  }
  if (failures.empty()) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << failures;
}

::testing::AssertionResult WaitKilled(pid_t child, std::chrono::milliseconds timeout) {
  int status = Reap(child, std::chrono::steady_clock::now() + timeout);
  if (status == -1) return ::testing::AssertionFailure() << "child " << child << " timed out";
  if (WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure()
         << "child " << child << " was not killed (status " << status << ")";
}

::testing::AssertionResult RunInChildren(int n, const std::function<void(int)> &body,
                                         std::chrono::milliseconds timeout) {
  std::vector<pid_t> children;
  for (int i = 0; i < n; ++i) children.push_back(Spawn([&body, i] { body(i); }));
  return WaitAll(children, timeout);
}

}  // namespace zrfs::test
