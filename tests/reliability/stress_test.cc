// The long stress run behind `make stress`: processes of recording threads
// that record, read back, reopen, unlink and remount for ZRFS_STRESS_SECONDS
// seconds, then a fresh start on rebuilt shared state that checks every
// recording still listed.  Skipped when the variable is not set.
#include <sys/mman.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <deque>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "reliability/write_log.h"
#include "support/processes.h"
#include "support/test_root.h"
#include "zrfs.h"

#ifdef ZRFS_TOOL_PATH
#include "tools/tool_harness.h"
#endif

namespace {

using namespace std::chrono_literals;
using zrfs::test::PatternAt;
using zrfs::test::TestRoot;

constexpr int kProcesses = 3;
constexpr int kThreads = 3;
constexpr uint32_t kChunk = 32 * 1024;
constexpr int kChunksPerFile = 32;  // 1 MiB
constexpr size_t kKeptPerThread = 8;
constexpr int kMaxFiles = 1 << 16;
constexpr uint64_t kUnit = 0x40000000;
constexpr uint64_t kDataStart = 0x41100000;
// Every channel may hold its current block and the one its oldest kept
// recordings are in; two per channel plus spare, so a long run never finds
// the disk full.
constexpr uint64_t kBlocks = 2 * kProcesses * kThreads + 4;

struct Figures {
  std::atomic<uint64_t> operations, bytesWritten, bytesRead, unlinks, remounts, errors;
  std::atomic<int> files;
  struct File {
    char name[64];
    std::atomic<int> live;  // 1 once complete, 0 after its unlink
  } file[kMaxFiles];
};

bool Matches(const std::vector<char> &bytes, uint32_t seed, uint64_t from) {
  for (size_t i = 0; i < bytes.size(); ++i)
    if (bytes[i] != PatternAt(seed, from + i)) return false;
  return true;
}

// Reads a whole recording back by name; true when every byte is right.
bool ReadBack(Figures *f, int index) {
  int fd = zrfs_Open(nullptr, f->file[index].name, 0);
  if (fd < 0) return false;
  std::vector<char> back(kChunk);
  bool good = true;
  for (int c = 0; c < kChunksPerFile && good; ++c) {
    good = zrfs_Read(fd, back.data(), kChunk) == int(kChunk) &&
           Matches(back, uint32_t(index), uint64_t(c) * kChunk);
    f->bytesRead += kChunk;
  }
  zrfs_Close(fd);
  f->operations += 2;
  return good;
}

void Worker(Figures *f, const std::string &dev, uint32_t chan, std::deque<int> *kept,
            std::chrono::steady_clock::time_point until) {
  std::vector<char> chunk(kChunk);
  while (std::chrono::steady_clock::now() < until) {
    int index = f->files.fetch_add(1);
    if (index >= kMaxFiles) return;
    FileCreateParam p{};
    p.ichan = chan;
    p.createTime = 1700000000;
    p.recType = 1;
    snprintf(p.diskPath, sizeof p.diskPath, "%s", dev.c_str());
    snprintf(p.extName, sizeof p.extName, "%s", "h264");
    int fd = zrfs_Open(&p, f->file[index].name, 2);
    ++f->operations;
    if (fd < 0) {
      ++f->errors;
      return;
    }
    for (int c = 0; c < kChunksPerFile; ++c) {
      for (uint32_t i = 0; i < kChunk; ++i)
        chunk[i] = PatternAt(uint32_t(index), uint64_t(c) * kChunk + i);
      if (zrfs_Write(fd, chunk.data(), kChunk) != int(kChunk)) ++f->errors;
      f->bytesWritten += kChunk;
      ++f->operations;
      std::this_thread::sleep_for(10ms);  // about 3 MiB/s per thread
    }
    zrfs_Close(fd);
    f->file[index].live = 1;
    if (!ReadBack(f, index)) ++f->errors;
    kept->push_back(index);
    if (kept->size() > kKeptPerThread) {
      int old = kept->front();
      kept->pop_front();
      if (!ReadBack(f, old)) ++f->errors;
      if (zrfs_Unlink(f->file[old].name) != 0) ++f->errors;
      f->file[old].live = 0;
      ++f->unlinks;
      ++f->operations;
    }
  }
}

void Process(Figures *f, const std::string &dev, int process,
             std::chrono::steady_clock::time_point end) {
  ASSERT_EQ(zrfs_Init(), 0);
  ASSERT_EQ(zrfs_Mount(dev.c_str()), 0);
  std::deque<int> kept[kThreads];
  while (std::chrono::steady_clock::now() < end) {
    auto until = std::min(end, std::chrono::steady_clock::now() + 10s);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
      threads.emplace_back(Worker, f, dev, uint32_t(process * kThreads + t), &kept[t], until);
    for (std::thread &t : threads) t.join();
    // Between rounds the process lets go of the disk and mounts it again.
    EXPECT_EQ(zrfs_UnMount(dev.c_str()), 0);
    ASSERT_EQ(zrfs_Mount(dev.c_str()), 0);
    ++f->remounts;
    for (auto &k : kept)
      for (int index : k)
        if (!ReadBack(f, index)) ++f->errors;
  }
}

TEST(Stress, RecordReadUnlinkRemount) {
  const char *seconds = getenv("ZRFS_STRESS_SECONDS");
  if (seconds == nullptr) GTEST_SKIP() << "set ZRFS_STRESS_SECONDS (make stress)";
  TestRoot root;
  std::string dev = root.MakeImage(TestRoot::DevicePath(3), kDataStart + kBlocks * kUnit);
  auto *f = static_cast<Figures *>(
      mmap(nullptr, sizeof(Figures), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
  ASSERT_TRUE(zrfs::test::RunInChildren(
      1,
      [&](int) {
        ASSERT_EQ(zrfs_Init(), 0);
        ASSERT_EQ(zrfs_Format(dev.c_str()), 0);
      },
      30s));
  auto run = std::chrono::seconds(atoi(seconds));
  auto end = std::chrono::steady_clock::now() + run;
  ASSERT_TRUE(zrfs::test::RunInChildren(
      kProcesses, [&](int process) { Process(f, dev, process, end); }, run + 120s));

  // A fresh start on shared state rebuilt from the disk: the check.
  root.RemoveIpcObjects();
  ASSERT_TRUE(zrfs::test::RunInChildren(
      1,
      [&](int) {
        ASSERT_EQ(zrfs_Init(), 0);
        ASSERT_EQ(zrfs_Mount(dev.c_str()), 0);
        int files = std::min(f->files.load(), kMaxFiles);
        for (int index = 0; index < files; ++index) {
          if (f->file[index].live != 1) continue;
          if (!ReadBack(f, index)) ++f->errors;
        }
      },
      600s));
#ifdef ZRFS_TOOL_PATH
  // The disk checker reads the image raw: after all that, nothing on it may
  // contradict itself.
  std::string check = zrfs::test::ToolCommand() + " check " + root.Real(dev);
  EXPECT_EQ(system(check.c_str()), 0) << check;
#endif
  printf(
      "[ stress ] %s s, %d processes x %d threads: %llu operations, %llu bytes written, "
      "%llu bytes read, %llu unlinks, %llu remounts, errors: %llu\n",
      seconds, kProcesses, kThreads, (unsigned long long)f->operations.load(),
      (unsigned long long)f->bytesWritten.load(), (unsigned long long)f->bytesRead.load(),
      (unsigned long long)f->unlinks.load(), (unsigned long long)f->remounts.load(),
      (unsigned long long)f->errors.load());
  EXPECT_EQ(f->errors.load(), 0u);
  EXPECT_GT(f->operations.load(), 0u);
  munmap(f, sizeof(Figures));
}

}  // namespace
