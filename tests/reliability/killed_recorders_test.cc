// Recorder processes killed with SIGKILL at random while they record: the
// others go on recording (the kernel gives back the dead one's locks), a
// restarted one records again, and at the end every write that returned
// reads back, both on the shared state the dead processes left behind and
// after that state has been removed and rebuilt from the disk.
//
// One channel records alarm files (with a pre-record ring) beside its
// continuous files, and its recorder is killed with both open.  A dead
// writer stops counting as a writer of its block, so a restarted channel
// goes on in the block it had: the disk has one block per channel and one
// more for the alarms, and runs out otherwise.
//
// The run lasts ZRFS_KILL_SECONDS seconds (default 60, 20 under sanitizers).
#include <signal.h>
#include <sys/wait.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <random>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "block/mounted_image.h"
#include "support/processes.h"
#include "support/recording_io.h"

namespace zrfs::test {
namespace {

using namespace std::chrono_literals;

constexpr int kProcesses = 4;
constexpr int kChannels = 4;  // per process, one thread each
constexpr uint32_t kChunk = 8 * 1024;
constexpr int kChunksPerFile = 256;  // 2 MiB, then the next file
constexpr int kMaxFiles = 8192;
// The first channel of process 0 records alarms beside its continuous files,
// for most of each file's time, so kills find both open.
constexpr int kAlarmFrom = 32;  // the continuous file's chunk an alarm starts after
constexpr uint32_t kAlarmRingBytes = 32 * kChunk;
constexpr int kAlarmRingChunks = 24;  // recorded into the ring before it is fixed
constexpr int kAlarmMainChunks = 160;
// An alarm ends before its continuous file, so the channel's next file finds
// the alarm's block idle: the channel's two blocks take turns, however often
// process 0 is killed.
static_assert(kAlarmFrom + kAlarmRingChunks + kAlarmMainChunks < kChunksPerFile);
constexpr int kBlocks = kProcesses * kChannels + 1;

struct FileRecord {
  char name[64];
  std::atomic<uint64_t> written;  // bytes whose write returned
};

struct Board {
  std::atomic<uint64_t> heartbeat[kProcesses];  // chunks written by each process slot
  std::atomic<int> files;
  std::atomic<uint64_t> failedWrites;
  std::atomic<bool> alarmOpen;  // process 0 has its two files of a channel open
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

// Opens a new file of the channel for writing and gives it a place on the
// board: its descriptor, or -1 (counted as a failure).  *index is -1 when
// the board is full.
int OpenNextFile(Board *board, const std::string &dev, uint32_t chan, uint32_t kind,
                 int32_t preRecSize, int *index) {
  *index = board->files.fetch_add(1);
  if (*index >= kMaxFiles) {
    *index = -1;
    return -1;
  }
  FileCreateParam p = RecordingParam(dev, chan, kind, preRecSize);
  char name[ZRFS_NAME_MAX] = {};
  int fd = zrfs_Open(&p, name, 2);
  if (fd < 0) {
    board->failedWrites.fetch_add(1);
    return -1;
  }
  memcpy(board->file[*index].name, name, sizeof board->file[*index].name);
  return fd;
}

// Writes the chunk at logical position `at` of file index; false (counted)
// when the write did not return its length.
bool WriteChunk(Board *board, int process, int index, int fd, uint64_t at) {
  std::vector<char> chunk(kChunk);
  for (uint32_t i = 0; i < kChunk; ++i) chunk[i] = PatternByte(index, at + i);
  if (zrfs_Write(fd, chunk.data(), kChunk) != int(kChunk)) {
    board->failedWrites.fetch_add(1);
    return false;
  }
  board->file[index].written.store(at + kChunk, std::memory_order_release);
  board->heartbeat[process].fetch_add(1);
  return true;
}

// An alarm recording, written one chunk after each chunk of the continuous
// file: ring chunks, the ring fixed with them as its valid bytes, main data.
struct Alarm {
  int index = -1;
  int fd = -1;
  int chunks = 0;  // written so far

  // Writes the alarm's next chunk; closes it after its last.
  void Step(Board *board, int process) {
    bool fixed =
        chunks != kAlarmRingChunks || zrfs_UpdataePreRecPtr(fd, 0, kAlarmRingChunks * kChunk) == 0;
    if (!fixed) board->failedWrites.fetch_add(1);
    if (!fixed || !WriteChunk(board, process, index, fd, uint64_t(chunks) * kChunk) ||
        ++chunks == kAlarmRingChunks + kAlarmMainChunks)
      Close();
  }
  void Close() {
    if (fd >= 0) zrfs_Close(fd);
    fd = -1;
  }
};

// One recording thread: file after file on its channel, forever.  With
// alarms, an alarm recording runs beside each file from its chunk
// kAlarmFrom on.
void RecordChannel(Board *board, const std::string &dev, int process, uint32_t chan, bool alarms) {
  for (;;) {
    int index;
    int fd = OpenNextFile(board, dev, chan, 0, 0, &index);
    if (index < 0) return;
    if (fd < 0) {
      std::this_thread::sleep_for(50ms);
      continue;
    }
    Alarm alarm;
    for (int c = 0; c < kChunksPerFile; ++c) {
      if (!WriteChunk(board, process, index, fd, uint64_t(c) * kChunk)) break;
      if (alarms && c == kAlarmFrom) {
        alarm.fd = OpenNextFile(board, dev, chan, 1, int32_t(kAlarmRingBytes), &alarm.index);
        board->alarmOpen = alarm.fd >= 0;
      }
      if (alarm.fd >= 0) alarm.Step(board, process);
      if (alarms && alarm.fd < 0) board->alarmOpen = false;
      std::this_thread::sleep_for(20ms);  // about 400 KiB/s per channel
    }
    alarm.Close();
    zrfs_Close(fd);
  }
}

pid_t StartRecorder(Board *board, const std::string &dev, int process) {
  return Spawn([=] {
    if (zrfs_Init() != 0 || zrfs_Mount(dev.c_str()) != 0) _exit(3);
    std::vector<std::thread> threads;
    for (int t = 0; t < kChannels; ++t)
      threads.emplace_back(RecordChannel, board, dev, process, uint32_t(process * kChannels + t),
                           process == 0 && t == 0);
    for (std::thread &t : threads) t.join();
    _exit(0);
  });
}

// Every file's returned writes, read back by a fresh process.
void VerifyAll(Board *board, const std::string &dev, const char *when) {
  ASSERT_TRUE(RunInChildren(
      1,
      [&](int) {
        ASSERT_NO_FATAL_FAILURE(StartAndMount(Layer::kApi, dev, false)) << when;
        int files = std::min(board->files.load(), kMaxFiles);
        for (int index = 0; index < files; ++index) {
          FileRecord &rec = board->file[index];
          uint64_t written = rec.written.load(std::memory_order_acquire);
          if (written == 0) continue;
          int fd = zrfs_Open(nullptr, rec.name, 0);
          ASSERT_GE(fd, 0) << rec.name << " " << when;
          EXPECT_TRUE(ReadsPattern(fd, index, 0, written)) << rec.name << " " << when;
          zrfs_Close(fd);
        }
      },
      240s));
}

TEST(KilledRecorders, SlowRandomKillsLeaveOthersRecordingAndLoseNoReturnedWrite) {
  TestRoot root;
  std::string dev = MakeDisk(root, kBlocks);
  SharedMapping<Board> board;
  ASSERT_TRUE(RunInChildren(
      1, [&](int) { StartAndMount(Layer::kApi, dev, true); }, 30s));

  pid_t recorder[kProcesses];
  for (int p = 0; p < kProcesses; ++p) recorder[p] = StartRecorder(&*board, dev, p);
  std::mt19937 random(12345);
  auto now = std::chrono::steady_clock::now();
  auto end = now + std::chrono::seconds(RunSeconds());
  constexpr auto kStuck = 15s;  // a recorder that writes nothing for this long is stuck
  uint64_t seen[kProcesses] = {};
  std::chrono::steady_clock::time_point progressed[kProcesses];
  for (auto &t : progressed) t = now;
  while (std::chrono::steady_clock::now() < end && !::testing::Test::HasFailure()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1000 + random() % 2000));
    now = std::chrono::steady_clock::now();
    for (int p = 0; p < kProcesses; ++p) {
      if (uint64_t beat = board->heartbeat[p].load(); beat != seen[p]) {
        seen[p] = beat;
        progressed[p] = now;
      }
      EXPECT_LT(now - progressed[p], kStuck) << "recorder " << p << " stopped recording";
    }
    int victim = int(random() % kProcesses);
    if (victim == 0) {  // killed with both its files of the alarm channel open
      for (int i = 0; i < 500 && !board->alarmOpen; ++i) std::this_thread::sleep_for(10ms);
      EXPECT_TRUE(board->alarmOpen) << "recorder 0 opened no alarm";
    }
    kill(recorder[victim], SIGKILL);
    waitpid(recorder[victim], nullptr, 0);
    if (victim == 0) board->alarmOpen = false;
    recorder[victim] = StartRecorder(&*board, dev, victim);
  }
  for (pid_t pid : recorder) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }
  EXPECT_EQ(board->failedWrites.load(), 0u);

  // On the shared state the killed processes left, then rebuilt from disk.
  VerifyAll(&*board, dev, "on the state the killed processes left");
  root.RemoveIpcObjects();
  VerifyAll(&*board, dev, "after the shared state was removed");
}

}  // namespace
}  // namespace zrfs::test
