// Recorder processes killed with SIGKILL at random while they record: the
// others go on recording (the kernel gives back the dead one's locks), a
// restarted one records again, and at the end every write that returned
// reads back, both on the shared state the dead processes left behind and
// after that state has been removed and rebuilt from the disk.
//
// The run lasts ZRFS_KILL_SECONDS seconds (default 60, 20 under sanitizers).
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <random>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "reliability/write_log.h"
#include "support/processes.h"
#include "support/test_root.h"
#include "zrfs.h"

namespace {

using namespace std::chrono_literals;
using zrfs::test::PatternAt;
using zrfs::test::TestRoot;

constexpr int kProcesses = 4;
constexpr int kChannels = 4;  // per process, one thread each
constexpr uint32_t kChunk = 8 * 1024;
constexpr int kChunksPerFile = 256;  // 2 MiB, then the next file
constexpr int kMaxFiles = 8192;
constexpr uint64_t kUnit = 0x40000000;
constexpr uint64_t kDataStart = 0x41100000;

struct FileRecord {
  char name[64];
  std::atomic<uint64_t> written;  // bytes whose write returned
};

struct Board {
  std::atomic<uint64_t> heartbeat[kProcesses];  // chunks written by each process slot
  std::atomic<int> files;
  std::atomic<uint64_t> failedWrites;
  FileRecord file[kMaxFiles];
};

int RunSeconds() {
  if (const char *s = getenv("ZRFS_KILL_SECONDS")) return atoi(s);
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  return 20;
#else
  return 60;
#endif
}

// One recording thread: file after file on its channel, forever.
void RecordChannel(Board *board, const std::string &dev, int process, uint32_t chan) {
  std::vector<char> chunk(kChunk);
  for (;;) {
    int index = board->files.fetch_add(1);
    if (index >= kMaxFiles) return;
    FileRecord &rec = board->file[index];
    FileCreateParam p{};
    p.ichan = chan;
    p.createTime = 1700000000;
    p.recType = 1;
    snprintf(p.diskPath, sizeof p.diskPath, "%s", dev.c_str());
    snprintf(p.extName, sizeof p.extName, "%s", "h264");
    char name[ZRFS_NAME_MAX] = {};
    int fd = zrfs_Open(&p, name, 2);
    if (fd < 0) {
      board->failedWrites.fetch_add(1);
      std::this_thread::sleep_for(50ms);
      continue;
    }
    memcpy(rec.name, name, sizeof rec.name);
    for (int c = 0; c < kChunksPerFile; ++c) {
      uint64_t at = uint64_t(c) * kChunk;
      for (uint32_t i = 0; i < kChunk; ++i) chunk[i] = PatternAt(uint32_t(index), at + i);
      if (zrfs_Write(fd, chunk.data(), kChunk) != int(kChunk)) {
        board->failedWrites.fetch_add(1);
        break;
      }
      rec.written.store(at + kChunk, std::memory_order_release);
      board->heartbeat[process].fetch_add(1);
      std::this_thread::sleep_for(20ms);  // about 400 KiB/s per channel
    }
    zrfs_Close(fd);
  }
}

pid_t StartRecorder(Board *board, const std::string &dev, int process) {
  return zrfs::test::Spawn([=] {
    if (zrfs_Init() != 0 || zrfs_Mount(dev.c_str()) != 0) _exit(3);
    std::vector<std::thread> threads;
    for (int t = 0; t < kChannels; ++t)
      threads.emplace_back(RecordChannel, board, dev, process, uint32_t(process * kChannels + t));
    for (std::thread &t : threads) t.join();
    _exit(0);
  });
}

// Every file's returned writes, read back by a fresh process.
void VerifyAll(Board *board, const std::string &dev, const char *when) {
  ASSERT_TRUE(zrfs::test::RunInChildren(
      1,
      [&](int) {
        ASSERT_EQ(zrfs_Init(), 0);
        ASSERT_EQ(zrfs_Mount(dev.c_str()), 0) << when;
        std::vector<char> back(kChunk);
        int files = std::min(board->files.load(), kMaxFiles);
        for (int index = 0; index < files; ++index) {
          FileRecord &rec = board->file[index];
          uint64_t written = rec.written.load(std::memory_order_acquire);
          if (written == 0) continue;
          int fd = zrfs_Open(nullptr, rec.name, 0);
          ASSERT_GE(fd, 0) << rec.name << " " << when;
          TfFileStat st{};
          zrfs_fstat(fd, &st);
          EXPECT_GE(uint64_t(st.st_size), written) << rec.name << " " << when;
          for (uint64_t at = 0; at < written; at += kChunk) {
            ASSERT_EQ(zrfs_Read(fd, back.data(), kChunk), int(kChunk)) << rec.name << " " << when;
            for (uint32_t i = 0; i < kChunk; ++i)
              if (back[i] != PatternAt(uint32_t(index), at + i)) {
                ADD_FAILURE() << rec.name << " differs at " << at + i << " " << when;
                break;
              }
          }
          zrfs_Close(fd);
        }
      },
      240s));
}

TEST(KilledRecorders, SlowRandomKillsLeaveOthersRecordingAndLoseNoReturnedWrite) {
  TestRoot root;
  std::string dev = root.MakeImage(TestRoot::DevicePath(3), kDataStart + 21 * kUnit);
  auto *board = static_cast<Board *>(
      mmap(nullptr, sizeof(Board), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
  ASSERT_TRUE(zrfs::test::RunInChildren(
      1,
      [&](int) {
        ASSERT_EQ(zrfs_Init(), 0);
        ASSERT_EQ(zrfs_Format(dev.c_str()), 0);
      },
      30s));

  pid_t recorder[kProcesses];
  for (int p = 0; p < kProcesses; ++p) recorder[p] = StartRecorder(board, dev, p);
  std::mt19937 random(12345);
  auto now = std::chrono::steady_clock::now();
  auto end = now + std::chrono::seconds(RunSeconds());
  // A recorder that writes nothing for this long is stuck.
  constexpr auto kStuck = 15s;
  uint64_t seen[kProcesses] = {};
  std::chrono::steady_clock::time_point progressed[kProcesses];
  for (auto &t : progressed) t = now;
  int kills = 0;
  while (std::chrono::steady_clock::now() < end && !::testing::Test::HasFailure()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1000 + random() % 2000));
    now = std::chrono::steady_clock::now();
    for (int p = 0; p < kProcesses; ++p) {
      uint64_t beat = board->heartbeat[p].load();
      if (beat != seen[p]) {
        seen[p] = beat;
        progressed[p] = now;
      }
      EXPECT_LT(now - progressed[p], kStuck) << "recorder " << p << " stopped recording";
    }
    int victim = int(random() % kProcesses);
    kill(recorder[victim], SIGKILL);
    waitpid(recorder[victim], nullptr, 0);
    ++kills;
    recorder[victim] = StartRecorder(board, dev, victim);
  }
  for (pid_t pid : recorder) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }
  printf("[ killed recorders ] %d s, %d kills, %d files, %llu failed opens or writes\n",
         RunSeconds(), kills, board->files.load(),
         static_cast<unsigned long long>(board->failedWrites.load()));
  RecordProperty("kills", kills);
  EXPECT_EQ(board->failedWrites.load(), 0u);

  // On the shared state the killed processes left, then rebuilt from disk.
  VerifyAll(board, dev, "on the state the killed processes left");
  root.RemoveIpcObjects();
  VerifyAll(board, dev, "after the shared state was removed");
  munmap(board, sizeof(Board));
}

}  // namespace
