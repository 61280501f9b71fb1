// What killed processes held comes back while others run: their open
// files no longer count as open elsewhere, their shared slots are taken
// back when the pool is full, and neither their attachments of blocks nor
// their mounts are counted any more, with no reset of the shared state.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "block/block_file.h"
#include "block/mounted_image.h"
#include "support/processes.h"
#include "support/recording_io.h"
#include "tools/tool_harness.h"

namespace {

using namespace std::chrono_literals;
using namespace zrfs::test;

constexpr int kKilled = 30;
constexpr int kFilesEach = 30;  // 900 held files: most of the pool's 1024 slots
constexpr int kNewFiles = 200;

// A recorder that makes files of its channel and keeps them open for
// reading (each made, closed and opened again, so the channel's files share
// one block).  Returns the descriptors, or fewer on a failure.
std::vector<int> MakeAndHold(const std::string &dev, uint32_t chan, int files,
                             std::string *firstName = nullptr) {
  std::vector<int> held;
  for (int i = 0; i < files; ++i) {
    FileCreateParam p = Param(dev, chan);
    char name[ZRFS_NAME_MAX] = {};
    int fd = zrfs_Open(&p, name, 1);
    if (fd < 0 || zrfs_Write(fd, "x", 1) != 1) return held;
    zrfs_Close(fd);
    if (i == 0 && firstName != nullptr) *firstName = name;
    fd = zrfs_Open(nullptr, name, 0);
    if (fd < 0) return held;
    held.push_back(fd);
  }
  return held;
}

TEST(DeadHoldersTest, WhatKilledProcessesHeldComesBackWhileAnotherRuns) {
  TestRoot root;
  std::string dev = MakeDisk(root, kKilled + 4);
  StartAndMount(Layer::kApi, dev, true);  // the process that runs all along

  struct Board {
    std::atomic<int> ready;
    char firstName[kKilled][ZRFS_NAME_MAX];
  };
  SharedMapping<Board> board;
  std::vector<pid_t> recorders;
  for (int r = 0; r < kKilled; ++r) {
    recorders.push_back(Spawn([&, r] {
      StartAndMount(Layer::kApi, dev, false);
      std::string first;
      std::vector<int> held = MakeAndHold(dev, uint32_t(1 + r), kFilesEach, &first);
      ASSERT_EQ(held.size(), size_t(kFilesEach));
      strncpy(board->firstName[r], first.c_str(), ZRFS_NAME_MAX - 1);
      board->ready.fetch_add(1);
      for (;;) pause();  // holds everything until killed
    }));
  }
  bool ready = AwaitStep(board->ready, kKilled, 60s);
  for (pid_t pid : recorders) kill(pid, SIGKILL);
  for (pid_t pid : recorders) waitpid(pid, nullptr, 0);
  ASSERT_TRUE(ready) << board->ready.load() << " of " << kKilled << " recorders got ready";

  auto start = std::chrono::steady_clock::now();
  // A file a dead recorder held open is open nowhere now.
  EXPECT_EQ(zrfs_Unlink(board->firstName[0]), 0) << zrfs_StrError(zrfs_LastError());
  // The pool's slots of the dead recorders' files are taken back as needed.
  std::vector<int> mine = MakeAndHold(dev, 0, kNewFiles);
  EXPECT_EQ(mine.size(), size_t(kNewFiles)) << zrfs_StrError(zrfs_LastError());
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
  // Only this process has the disk mounted, and the tool sees nothing stale.
  EXPECT_EQ(zrfs_DiskUsers(root.path().c_str(), 3), 1);
#ifdef ZRFS_TOOL_PATH
  ToolResult status = RunTool({"--root", root.path(), "ipc", "status"});
  EXPECT_EQ(status.status, 0) << status.err;
  EXPECT_NE(status.out.find("disk 3: mounted 1"), std::string::npos) << status.out;
  EXPECT_EQ(status.out.find("STALE"), std::string::npos) << status.out;
#endif
  // A dead recorder's other files are still there and readable.
  TfFileStat st;
  EXPECT_EQ(zrfs_Stat(board->firstName[1], &st), 0);
  EXPECT_EQ(st.st_size, 1);
  // Its block counts live attachments only (each of its 30 held files had
  // one), so the block's shared entry goes with this process's last one.
  zrfs::TfFileHeader header;
  BfHandle *block = bf_OpenFile(board->firstName[1], &header);
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(block->share->ShrRef, 1);
  bf_CloseFile(block);
  for (int fd : mine) zrfs_Close(fd);
  zrfs_DeInit();
}

}  // namespace
