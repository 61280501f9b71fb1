// Recordings keep their bytes when several writers meet on one disk: files
// of one channel made at the same moment by two processes or two threads, a
// writer killed with its file open, and descriptors that outlive a format
// done by another process.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "block/mounted_image.h"
#include "support/processes.h"
#include "support/recording_io.h"
#ifdef ZRFS_TOOL_PATH
#include "tools/tool_harness.h"
#endif

namespace {

using namespace std::chrono_literals;
using namespace zrfs::test;
using zrfs::TfFileHeader;

// The on-disk header of the file a name stands for, read past the library.
TfFileHeader ImageFileHeader(const TestRoot &root, const std::string &dev,
                             const std::string &name) {
  TfFileHeader header{};
  int fd = open(root.Real(dev).c_str(), O_RDONLY);
  uint64_t at = BlockAddress(BlockOfName(name)) + FileNoOfName(name) * uint64_t{zrfs::kSectorSize};
  EXPECT_EQ(pread(fd, &header, sizeof header, off_t(at)), ssize_t(sizeof header));
  close(fd);
  return header;
}

void FormatInAChild(const std::string &dev) {
  ASSERT_TRUE(RunInChildren(
      1, [&](int) { StartAndMount(Layer::kApi, dev, true); }, 30s));
}

constexpr uint64_t kRecording = 3 * kMiB;

struct Creators {
  std::atomic<int> created;
  char name[2][ZRFS_NAME_MAX];
};

// Creates a file on chan, waits until the other creator's file exists too,
// then records kRecording bytes of writer's pattern in small chunks.
void CreateTogetherAndRecord(Creators &c, int slot, int writer, const std::string &dev,
                             uint32_t chan) {
  FileCreateParam p = Param(dev, chan);
  int fd = zrfs_Open(&p, c.name[slot], 2);
  ASSERT_GE(fd, 0);
  c.created.fetch_add(1);
  ASSERT_TRUE(AwaitStep(c.created, 2));
  EXPECT_TRUE(WritePattern(fd, writer, 0, kRecording, 64 * kKiB)) << c.name[slot];
  zrfs_Close(fd);
}

// Two processes on one channel, then two threads of one process on another.
TEST(ConcurrentCreators, FilesOfOneChannelMadeAtOnceKeepTheirOwnBytes) {
  TestRoot root;
  std::string dev = MakeDisk(root, 4);
  ASSERT_NO_FATAL_FAILURE(FormatInAChild(dev));
  SharedMapping<Creators> processes, threads;
  ASSERT_TRUE(RunInChildren(
      2,
      [&](int i) {
        StartAndMount(Layer::kApi, dev, false);
        CreateTogetherAndRecord(*processes, i, i, dev, 7);
      },
      120s));
  EXPECT_TRUE(RunInChildren(
      1,
      [&](int) {
        StartAndMount(Layer::kApi, dev, false);
        std::vector<std::thread> creators;
        for (int t = 0; t < 2; ++t)
          creators.emplace_back([&, t] { CreateTogetherAndRecord(*threads, t, 2 + t, dev, 8); });
        for (auto &t : creators) t.join();
        // Read back once all are done, so none could still overwrite
        // another's bytes afterwards.
        for (int slot = 0; slot < 2; ++slot) {
          EXPECT_TRUE(FileHoldsPattern(processes->name[slot], slot, kRecording));
          EXPECT_TRUE(FileHoldsPattern(threads->name[slot], 2 + slot, kRecording));
        }
      },
      120s));
}

struct KilledWriter {
  std::atomic<int> step;  // 1: survivor mounted, 2: writer recorded, 3: writer killed
  std::atomic<uint64_t> written;
  char name[ZRFS_NAME_MAX];
};

// A writer that died with its file open is no writer any more: its channel
// goes on filling the same block behind the dead file's data.
TEST(KilledWriter, LeavesItsChannelFillingTheSameBlock) {
  TestRoot root;
  std::string dev = MakeDisk(root, 4);
  ASSERT_NO_FATAL_FAILURE(FormatInAChild(dev));
  SharedMapping<KilledWriter> s;
  constexpr uint32_t kChunk = 256 * kKiB;
  pid_t survivor = Spawn([&] {
    StartAndMount(Layer::kApi, dev, false);
    s->step = 1;
    ASSERT_TRUE(AwaitStep(s->step, 3));
    FileCreateParam p = Param(dev, 6);
    char name[ZRFS_NAME_MAX] = {};
    int fd = zrfs_Open(&p, name, 2);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(BlockOfName(name), BlockOfName(s->name)) << name << " " << s->name;
    TfFileHeader dead = ImageFileHeader(root, dev, s->name);
    TfFileHeader fresh = ImageFileHeader(root, dev, name);
    EXPECT_GE(fresh.StartAddr, dead.EndAddr);
    EXPECT_TRUE(WritePattern(fd, 2, 0, 1 * kMiB));
    EXPECT_TRUE(HoldsPattern(fd, 2, 1 * kMiB)) << name;
    zrfs_Close(fd);

    int old = zrfs_Open(nullptr, s->name, 0);
    EXPECT_TRUE(old >= 0 && ReadsPattern(old, 1, 0, s->written.load())) << s->name;
    zrfs_Close(old);
  });
  pid_t writer = -1;
  if (AwaitStep(s->step, 1, 30s)) {
    writer = Spawn([&] {
      StartAndMount(Layer::kApi, dev, false);
      FileCreateParam p = Param(dev, 6);
      int fd = zrfs_Open(&p, s->name, 2);
      ASSERT_GE(fd, 0);
      for (uint64_t at = 0; at < kRecording; at += kChunk) {
        ASSERT_TRUE(WritePattern(fd, 1, at, kChunk));
        s->written = at + kChunk;
      }
      s->step = 2;
      for (;;) pause();  // killed here, the file still open
    });
  }
  bool recorded = writer > 0 && AwaitStep(s->step, 2, 60s);
  if (writer > 0) {
    kill(writer, SIGKILL);
    waitpid(writer, nullptr, 0);
  }
  EXPECT_TRUE(recorded) << "the writer did not record";
  s->step = 3;
  EXPECT_TRUE(WaitAll({survivor}, 60s));
}

struct FormatRun {
  std::atomic<int> step;  // 1: old recording made, 2: formatted and recorded anew, 3: old closed
  char name[ZRFS_NAME_MAX];
};

// Another process formats the disk under a recorder that still has a file
// open: the recorder's descriptors are dead from then on, and nothing it does
// through them reaches the new layout.
TEST(FormatUnderLiveHandles, OldDescriptorsFailAndTheNewRecordingStaysWhole) {
  TestRoot root;
  std::string dev = MakeDisk(root, 4);
  SharedMapping<FormatRun> s;
  constexpr uint64_t kNew = 2 * kMiB;
  pid_t old = Spawn([&] {
    StartAndMount(Layer::kApi, dev, true);
    FileCreateParam p = Param(dev, 1);
    char name[ZRFS_NAME_MAX] = {};
    int fd = zrfs_Open(&p, name, 2);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(WritePattern(fd, 1, 0, 1 * kMiB));
    int reader = zrfs_Open(nullptr, name, 0);  // at the file's start
    ASSERT_GE(reader, 0);
    s->step = 1;
    ASSERT_TRUE(AwaitStep(s->step, 2));
    std::vector<char> buf(64 * kKiB, 'w');
    EXPECT_EQ(zrfs_Write(fd, buf.data(), uint32_t(buf.size())), -1);
    EXPECT_EQ(zrfs_error(fd), 5);
    EXPECT_EQ(zrfs_Read(reader, buf.data(), 4096), -1);
    EXPECT_EQ(zrfs_error(reader), 5);
    EXPECT_EQ(zrfs_Close(reader), 0);
    EXPECT_EQ(zrfs_Close(fd), 0);  // syncs nothing into the new layout
    s->step = 3;
  });
  pid_t formatter = Spawn([&] {
    ASSERT_TRUE(AwaitStep(s->step, 1));
    ASSERT_EQ(zrfs_Init(), 0);
    ASSERT_EQ(zrfs_Format(dev.c_str()), 0);
    ASSERT_EQ(zrfs_Mount(dev.c_str()), 0);
    FileCreateParam p = Param(dev, 1);
    int fd = zrfs_Open(&p, s->name, 2);
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(WritePattern(fd, 2, 0, kNew));
    s->step = 2;
    ASSERT_TRUE(AwaitStep(s->step, 3));
    EXPECT_TRUE(HoldsPattern(fd, 2, kNew)) << s->name;
    zrfs_Close(fd);
  });
  EXPECT_TRUE(WaitAll({old, formatter}, 120s));
  EXPECT_TRUE(RunInChildren(
      1,
      [&](int) {  // a fresh start finds the new recording whole
        StartAndMount(Layer::kApi, dev, false);
        EXPECT_TRUE(FileHoldsPattern(s->name, 2, kNew));
      },
      60s));
#ifdef ZRFS_TOOL_PATH
  // The layout on the disk is consistent too: the checker finds nothing.
  ToolResult check = RunTool({"check", root.Real(dev)});
  EXPECT_EQ(check.status, 0) << check.out << check.err;
#endif
}

}  // namespace
