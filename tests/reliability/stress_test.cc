// The long stress run behind `make stress`: processes of recording threads
// that record, read back, reopen, unlink and remount for ZRFS_STRESS_SECONDS
// seconds, then a fresh start on rebuilt shared state that checks every
// recording still listed.  Skipped when the variable is not set.
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <deque>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "block/mounted_image.h"
#include "support/processes.h"
#include "support/recording_io.h"
#ifdef ZRFS_TOOL_PATH
#include "tools/tool_harness.h"
#endif

namespace zrfs::test {
namespace {

using namespace std::chrono_literals;

constexpr int kProcesses = 3;
constexpr int kThreads = 3;
constexpr uint32_t kChunk = 32 * 1024;
constexpr uint32_t kFileBytes = 32 * kChunk;
constexpr size_t kKeptPerThread = 8;
constexpr int kMaxFiles = 1 << 16;
// Every channel may hold its current block and the one its oldest kept
// recordings are in; two per channel plus spare, so a long run never finds
// the disk full.
constexpr int kBlocks = 2 * kProcesses * kThreads + 3;

struct Board {
  std::atomic<uint64_t> operations, errors;
  std::atomic<int> files;
  struct File {
    char name[64];
    std::atomic<int> live;  // 1 once complete, 0 after its unlink
  } file[kMaxFiles];
};

// Reads a whole recording back by name; counts an error unless every byte
// is right.
void ReadBack(Board *b, int index) {
  int fd = zrfs_Open(nullptr, b->file[index].name, 0);
  if (fd < 0 || !HoldsPattern(fd, index, kFileBytes)) ++b->errors;
  zrfs_Close(fd);
  ++b->operations;
}

void Worker(Board *b, const std::string &dev, uint32_t chan, std::deque<int> *kept,
            std::chrono::steady_clock::time_point until) {
  while (std::chrono::steady_clock::now() < until) {
    int index = b->files.fetch_add(1);
    if (index >= kMaxFiles) return;
    FileCreateParam p = RecordingParam(dev, chan);
    int fd = zrfs_Open(&p, b->file[index].name, 2);
    ++b->operations;
    if (fd < 0) {
      ++b->errors;
      return;
    }
    for (uint32_t at = 0; at < kFileBytes; at += kChunk) {
      if (!WritePattern(fd, index, at, kChunk)) ++b->errors;
      ++b->operations;
      std::this_thread::sleep_for(10ms);  // about 3 MiB/s per thread
    }
    zrfs_Close(fd);
    b->file[index].live = 1;
    ReadBack(b, index);
    kept->push_back(index);
    if (kept->size() > kKeptPerThread) {
      int old = kept->front();
      kept->pop_front();
      ReadBack(b, old);
      if (zrfs_Unlink(b->file[old].name) != 0) ++b->errors;
      b->file[old].live = 0;
    }
  }
}

void Process(Board *b, const std::string &dev, int process,
             std::chrono::steady_clock::time_point end) {
  StartAndMount(Layer::kApi, dev, false);
  std::deque<int> kept[kThreads];
  while (std::chrono::steady_clock::now() < end) {
    auto until = std::min(end, std::chrono::steady_clock::now() + 10s);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
      threads.emplace_back(Worker, b, dev, uint32_t(process * kThreads + t), &kept[t], until);
    for (std::thread &t : threads) t.join();
    // Between rounds the process lets go of the disk and mounts it again.
    EXPECT_EQ(zrfs_UnMount(dev.c_str()), 0);
    ASSERT_EQ(zrfs_Mount(dev.c_str()), 0);
    for (auto &k : kept)
      for (int index : k) ReadBack(b, index);
  }
}

TEST(Stress, RecordReadUnlinkRemount) {
  const char *seconds = getenv("ZRFS_STRESS_SECONDS");
  if (seconds == nullptr) GTEST_SKIP() << "set ZRFS_STRESS_SECONDS (make stress)";
  TestRoot root;
  std::string dev = MakeDisk(root, kBlocks);
  SharedMapping<Board> b;
  ASSERT_TRUE(RunInChildren(
      1, [&](int) { StartAndMount(Layer::kApi, dev, true); }, 30s));
  auto run = std::chrono::seconds(atoi(seconds));
  auto end = std::chrono::steady_clock::now() + run;
  ASSERT_TRUE(RunInChildren(
      kProcesses, [&](int process) { Process(&*b, dev, process, end); }, run + 120s));

  // A fresh start on shared state rebuilt from the disk: the check.
  root.RemoveIpcObjects();
  ASSERT_TRUE(RunInChildren(
      1,
      [&](int) {
        StartAndMount(Layer::kApi, dev, false);
        for (int index = 0; index < std::min(b->files.load(), kMaxFiles); ++index)
          if (b->file[index].live == 1) ReadBack(&*b, index);
      },
      600s));
#ifdef ZRFS_TOOL_PATH
  // The disk checker reads the image raw: nothing on it may contradict itself.
  std::string check = ToolCommand() + " check " + root.Real(dev);
  EXPECT_EQ(system(check.c_str()), 0) << check;
#endif
  EXPECT_EQ(b->errors.load(), 0u);
  EXPECT_GT(b->operations.load(), 0u);
}

}  // namespace
}  // namespace zrfs::test
