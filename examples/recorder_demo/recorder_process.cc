#include <unistd.h>

#include <thread>
#include <vector>

#include "channel_recorder.h"
#include "processes.h"
#include "space_reclaimer.h"

namespace demo {
namespace {

bool StartLibrary(const RunContext &run) {
  if (zrfs_SetRootDir(run.root.c_str()) != 0 || zrfs_Init() != 0 || zrfs_Mount(kDiskPath) != 0) {
    ReportError(run.state, "process %d: starting the library failed", int(getpid()));
    return false;
  }
  return true;
}

// Frees a block whenever the disk has none left, so that a channel rolling
// over to a new block rarely has to wait; and keeps a dump of this process's
// tables from the middle of the run for the report.
void Housekeeping(const RunContext &run) {
  while (run.state->phase.load() == kRecording) {
    DfStatfs st;
    if (zrfs_Statfs(kDiskPath, &st) == 0 && st.f_bfree == 0) ReclaimOldestBlock(run.state);
    if (Elapsed(run) >= run.options.durationSeconds / 2 && run.state->dumpTaken.exchange(1) == 0)
      zrfs_GetDebugInfo(run.state->debugDump, sizeof run.state->debugDump);
    usleep(100'000);
  }
}

}  // namespace

int RunRecorder(const RunContext &run, int index) {
  if (!StartLibrary(run)) return 1;
  std::vector<std::thread> threads;
  std::vector<int> results(size_t(run.options.channels), 0);
  for (int c = 0; c < run.options.channels; ++c) {
    threads.emplace_back([&run, &results, index, c] {
      ChannelRecorder channel(run, uint32_t(index * run.options.channels + c));
      results[size_t(c)] = channel.Run() ? 0 : 1;
    });
  }
  if (index == 0) Housekeeping(run);
  for (std::thread &t : threads) t.join();
  zrfs_UnMount(kDiskPath);
  zrfs_DeInit();
  for (int r : results)
    if (r != 0) return 1;
  return 0;
}

}  // namespace demo
