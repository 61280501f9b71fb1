#include "report.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "channel_recorder.h"
#include "disk_listing.h"
#include "disk_setup.h"
#include "zrfs.h"

namespace demo {
namespace {

constexpr double kMiB = 1024.0 * 1024.0;
constexpr uint64_t kSectorsPerBlock = (1ull << 30) / 512;
constexpr int kDumpLines = 12;

void PrintDump(const char *dump) {
  printf("Diagnostic dump of recorder 0, halfway through (first %d lines):\n", kDumpLines);
  const char *line = dump;
  for (int i = 0; i < kDumpLines && *line != '\0'; ++i) {
    const char *end = strchr(line, '\n');
    int length = end == nullptr ? int(strlen(line)) : int(end - line);
    printf("  %.*s\n", length, line);
    if (end == nullptr) break;
    line = end + 1;
  }
}

void PrintChannels(const RunContext &run, const Verification &v) {
  printf("Channel  ring  recorded MiB  recordings  left  checked MiB\n");
  for (int s = 0; s < run.liveStreams; ++s) {
    const StreamCounters &c = run.state->streams[s];
    const StreamResult &r = v.streams[size_t(s)];
    printf("%7d  %-4s  %12.1f  %10u  %4u  %11.1f\n", s,
           ChannelRecorder::HasRing(uint32_t(s)) ? "yes" : "", double(c.bytes.load()) / kMiB,
           c.filesCreated.load(), r.files, double(r.bytes) / kMiB);
  }
}

void PrintOlder(const RunContext &run, const RunSummary &summary, const Verification &v) {
  int keptBlocks = 0, lockedBlocks = 0;
  uint32_t made = 0, left = 0;
  for (int b = 0; b < summary.olderStreams; ++b) {
    const StreamResult &r = v.streams[size_t(run.liveStreams + b)];
    made += run.state->streams[run.liveStreams + b].filesCreated.load();
    left += r.files;
    keptBlocks += r.files > 0 ? 1 : 0;
    lockedBlocks += r.files > 0 && r.locked ? 1 : 0;
  }
  printf("Older recordings: %u in %d blocks at the start; %u left in %d blocks (%d locked)\n", made,
         summary.olderStreams, left, keptBlocks, lockedBlocks);
}

void PrintDisk(const Verification &v) {
  DfStatfs st;
  if (zrfs_Statfs(kDiskPath, &st) == 0)
    printf("Statfs: type 0x%08x, %" PRIu64 " sectors of %u bytes, %" PRIu64 " free: %" PRIu64
           " blocks, %" PRIu64 " free\n",
           st.f_type, st.f_blocks, st.f_bsize, st.f_bfree, st.f_blocks / kSectorsPerBlock,
           st.f_bfree / kSectorsPerBlock);
  std::vector<std::pair<uint32_t, uint32_t>> blocks = v.blocks;
  std::sort(blocks.begin(), blocks.end());
  printf("Used blocks (block:recordings):");
  for (size_t i = 0; i < blocks.size(); ++i)
    printf("%s %u:%u", i % 12 == 0 && i > 0 ? "\n                              " : "",
           blocks[i].first, blocks[i].second);
  printf("\n");
}

}  // namespace

uint64_t LiveBytes(const RunContext &run) {
  uint64_t total = 0;
  for (int s = 0; s < run.liveStreams; ++s) total += run.state->streams[s].bytes.load();
  return total;
}

void StatusLine::Update(const RunContext &run) {
  double now = Elapsed(run);
  uint64_t bytes = LiveBytes(run);
  double rate = now > lastSeconds_ ? double(bytes - lastBytes_) / (now - lastSeconds_) / 1e6 : 0;
  lastSeconds_ = now;
  lastBytes_ = bytes;
  if (!terminal_ && now - lastPrinted_ < 5) return;
  lastPrinted_ = now;
  DfStatfs st;
  uint64_t blocks = 0, freeBlocks = 0;
  if (zrfs_Statfs(kDiskPath, &st) == 0) {
    blocks = st.f_blocks / kSectorsPerBlock;
    freeBlocks = st.f_bfree / kSectorsPerBlock;
  }
  uint64_t recordings = 0;
  for (const DfBlockInfo &b : ListBlocks(kDiskPath)) recordings += b.fileNum;
  printf("%s%6.1f s  %7.1f MB/s  %6.0f MiB recorded  %5" PRIu64 " recordings  blocks %" PRIu64
         " used / %" PRIu64 " free  %5" PRIu64 " deleted%s",
         terminal_ ? "\r\033[K" : "", now, rate, double(bytes) / kMiB, recordings,
         blocks - freeBlocks, freeBlocks, run.state->filesDeleted.load(), terminal_ ? "" : "\n");
  fflush(stdout);
  shown_ = true;
}

void StatusLine::Finish() {
  if (terminal_ && shown_) printf("\n");
}

bool PrintReport(const RunContext &run, const RunSummary &summary, const Verification &v) {
  const Options &o = run.options;
  SharedState &state = *run.state;
  printf("\n");
  PrintChannels(run, v);
  PrintOlder(run, summary, v);
  PrintDisk(v);
  printf("Space: the disk was full %" PRIu64 " times; %" PRIu64 " recordings deleted, %" PRIu64
         " blocks freed; %" PRIu64 " roll-overs to a new recording\n",
         state.diskFullEvents.load(), state.filesDeleted.load(), state.blocksFreed.load(),
         state.rollovers.load());
  printf("Live reader: followed %" PRIu64
         " recordings, checked %.1f MiB while they grew, at most %.0f KiB behind\n",
         state.readerFiles.load(), double(state.readerBytes.load()) / kMiB,
         double(state.readerMaxLag.load()) / 1024);
  if (state.debugDump[0] != '\0') PrintDump(state.debugDump);
  uint64_t bytes = LiveBytes(run);
  double expected = double(o.bitrate) / 8 * o.durationSeconds * run.liveStreams;
  printf("Throughput: %.1f MiB recorded in %.1f s: %.1f MB/s", double(bytes) / kMiB,
         summary.recordSeconds, double(bytes) / summary.recordSeconds / 1e6);
  if (!o.fast)
    printf(" (the channels' bitrate asks for %.1f MB/s)", expected / o.durationSeconds / 1e6);
  printf("\nChecked: %" PRIu64 " recordings, %.1f MiB, read back and compared byte by byte\n",
         v.files, double(v.bytes) / kMiB);
  bool pass = v.problems.empty() && state.errorCount.load() == 0 && summary.failedChildren == 0 &&
              state.readerBytes.load() > 0;
  if (state.errorCount.load() > 0)
    printf("Errors: %d, the first: %s\n", state.errorCount.load(), state.firstError);
  for (const std::string &p : v.problems) printf("Problem: %s\n", p.c_str());
  if (summary.failedChildren > 0) printf("Problem: %d processes failed\n", summary.failedChildren);
  if (state.readerBytes.load() == 0) printf("Problem: the live reader checked nothing\n");
  printf("%s\n", pass ? "PASS" : "FAIL");
  return pass;
}

}  // namespace demo
