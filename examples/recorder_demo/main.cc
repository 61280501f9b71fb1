// recorder_demo: several recorder processes record video-like streams onto
// one disk through zrfs, making room by deleting the oldest recordings when
// the disk is full, while a player follows one recording as it grows; at the
// end every recorded byte is checked.  Written against zrfs.h alone.
//
// The parent makes a sparse disk image in a private root directory and forks
// its children before it touches the library; each child then starts the
// library for itself, as separate recorder programs would.  The parent
// formats the disk, puts older recordings on it, lets the children record,
// shows a status line, and checks and reports at the end.
#include <ftw.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <vector>

#include "disk_setup.h"
#include "processes.h"
#include "report.h"
#include "verification.h"
#include "zrfs.h"

using namespace demo;

namespace {

constexpr int64_t kSecond = 1'000'000'000;
constexpr int64_t kStopGrace = 30 * kSecond;  // children must be gone by then

volatile sig_atomic_t g_interrupted = 0;

void OnSignal(int) {
  g_interrupted = 1;
}

// Forks a child that waits for the disk to be ready and then runs body.
template <typename Body>
pid_t ForkChild(const RunContext &run, Body body) {
  pid_t pid = fork();
  if (pid != 0) return pid;
  prctl(PR_SET_PDEATHSIG, SIGKILL);  // never outlive the parent
  signal(SIGINT, SIG_IGN);           // the parent tells the children when to stop
  signal(SIGTERM, SIG_IGN);
  while (run.state->phase.load() == kSetup) usleep(10'000);
  _exit(run.state->phase.load() == kAbort ? 0 : body());
}

// Reaps the children, killing those still there at the deadline.  Returns
// how many failed or had to be killed.
int Reap(std::vector<pid_t> *children, int64_t deadline) {
  int failed = 0;
  while (!children->empty()) {
    bool overdue = NowNanos() > deadline;
    for (size_t i = 0; i < children->size();) {
      int status = 0;
      pid_t pid = (*children)[i];
      if (overdue) kill(pid, SIGKILL);
      if (waitpid(pid, &status, overdue ? 0 : WNOHANG) == pid) {
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) ++failed;
        children->erase(children->begin() + long(i));
      } else {
        ++i;
      }
    }
    if (!children->empty()) usleep(20'000);
  }
  return failed;
}

bool AnyExited(const std::vector<pid_t> &children) {
  for (pid_t pid : children)
    if (waitpid(pid, nullptr, WNOHANG | WNOWAIT) == pid) return true;
  return false;
}

void RemoveTree(const std::string &path) {
  nftw(
      path.c_str(), [](const char *p, const struct stat *, int, struct FTW *) { return remove(p); },
      16, FTW_DEPTH | FTW_PHYS);
}

}  // namespace

int main(int argc, char **argv) {
  RunContext run;
  if (int rc = ParseOptions(argc, argv, &run.options); rc != 0) return rc == 1 ? 0 : 2;
  const Options &o = run.options;
  int64_t began = NowNanos();
  run.liveStreams = o.processes * o.channels;
  run.state = MapSharedState();
  std::string madeImage;
  if (run.state == nullptr || !MakeRoot(&run, &madeImage)) return 1;
  signal(SIGINT, OnSignal);
  signal(SIGTERM, OnSignal);
  printf("recorder_demo: %d recorder processes x %d channels at %.1f Mbit/s%s for %.0f s\n",
         o.processes, o.channels, double(o.bitrate) / 1e6, o.fast ? " (flat out)" : "",
         o.durationSeconds);
  printf("Root directory %s, disk image %s\n", run.root.c_str(),
         o.image.empty() ? (run.root + kDiskPath).c_str() : o.image.c_str());
  fflush(stdout);

  // Children first: none of them may inherit a started library.
  std::vector<pid_t> recorders, readers;
  for (int i = 0; i < o.processes; ++i)
    recorders.push_back(ForkChild(run, [&run, i] { return RunRecorder(run, i); }));
  readers.push_back(ForkChild(run, [&run] { return RunLiveReader(run); }));

  RunSummary summary;
  summary.blocks = PrepareDisk(run);
  bool pass = false;
  if (summary.blocks < 0) {
    run.state->phase.store(kAbort);
    Reap(&recorders, NowNanos() + kStopGrace);
    Reap(&readers, NowNanos() + kStopGrace);
  } else {
    summary.olderStreams = summary.blocks;
    printf(
        "Disk: %d blocks of 1 GiB, formatted, holding %d older recordings (every eighth block "
        "locked)\n",
        summary.blocks, summary.blocks * 2);
    int64_t start = NowNanos();
    run.state->startNanos.store(start);
    run.state->phase.store(kRecording);
    StatusLine status(isatty(STDOUT_FILENO) == 1);
    int64_t deadline = start + int64_t(o.durationSeconds * double(kSecond));
    while (NowNanos() < deadline && g_interrupted == 0 && !AnyExited(recorders)) {
      status.Update(run);
      usleep(250'000);
    }
    run.state->phase.store(kStopping);
    summary.failedChildren += Reap(&recorders, NowNanos() + kStopGrace);
    summary.recordSeconds = double(NowNanos() - start) / double(kSecond);
    run.state->phase.store(kRecordersDone);
    summary.failedChildren += Reap(&readers, NowNanos() + kStopGrace);
    status.Update(run);
    status.Finish();
    Verification v = VerifyDisk(run, run.liveStreams + summary.olderStreams);
    pass = PrintReport(run, summary, v);
  }

  zrfs_UnMount(kDiskPath);
  zrfs_DeInit();
  int removed = zrfs_RemoveIpcObjects(run.root.c_str());
  if (!o.keep) {
    RemoveTree(run.root);
    if (!madeImage.empty()) remove(madeImage.c_str());
  }
  printf("Run time %.1f s; %d IPC objects removed; %s\n",
         double(NowNanos() - began) / double(kSecond), removed,
         o.keep ? ("kept " + run.root).c_str() : "image removed");
  return pass ? 0 : 1;
}
