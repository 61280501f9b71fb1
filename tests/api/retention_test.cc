// Retention: a full disk that overwrites its oldest recordings, and channels
// held to a quota, give back exactly one block per create, always the one
// whose newest recording is the oldest, and never one that holds a locked
// recording, an open one or a ring not yet fixed.
#include <algorithm>
#include <atomic>
#include <string>

#include <gtest/gtest.h>
#ifdef ZRFS_TOOL_PATH
#include <nlohmann/json.hpp>
#endif

#include "block/mounted_image.h"
#include "support/fault_os.h"
#include "support/processes.h"
#include "support/recording_io.h"
#include "tools/tool_harness.h"

namespace {

using namespace std::chrono_literals;
using namespace zrfs::test;

// A recording this long leaves its block less room than a new file needs,
// so the channel's next recording takes another block.
constexpr int64_t kBlockFilling = int64_t(kUnit) - zrfs::kHeaderAreaSize - 0x200000;
constexpr uint32_t kRingKind = 1;

// Begins a block-filling recording of chan made and last changed at `when`,
// which also seeds its first 4 KiB; its descriptor (open for writing), or -1.
int BeginRecording(const std::string &dev, uint32_t chan, int32_t when, std::string *name,
                   uint32_t kind = 0) {
  FileCreateParam p = Param(dev, chan, kind, kind == kRingKind ? 0x10000 : 0);
  p.createTime = when;
  char buf[ZRFS_NAME_MAX] = {};
  int fd = zrfs_Open(&p, buf, 1);
  *name = buf;
  if (fd < 0) return -1;
  ZrfsTimeVal32 times[2] = {{when, 0}, {when, 0}};
  if (!WritePattern(fd, when, 0, 4096) || zrfs_ftruncate(fd, kBlockFilling) != 0 ||
      zrfs_ChangeTime(buf, times) != 0) {
    zrfs_Close(fd);
    return -1;
  }
  return fd;
}

// The same, closed again: its name, or "" when the create failed.
std::string Record(const std::string &dev, uint32_t chan, int32_t when, uint32_t kind = 0) {
  std::string name;
  int fd = BeginRecording(dev, chan, when, &name, kind);
  if (fd < 0) return "";
  zrfs_Close(fd);
  return name;
}

// Its first 4 KiB are those it was recorded with.
bool Intact(const std::string &name, int32_t when) {
  int fd = zrfs_Open(nullptr, const_cast<char *>(name.c_str()), 0);
  bool same = fd >= 0 && ReadsPattern(fd, when, 0, 4096);
  zrfs_Close(fd);
  return same;
}

int UsedBlocks(const std::string &dev) {
  DfBlockInfo info[16];
  return zrfs_GetBlockInfo(dev.c_str(), info, 16);
}

bool Exists(const std::string &name) {
  TfFileStat st;
  return zrfs_Stat(name.c_str(), &st) == 0;
}

class RetentionTest : public MountedImage<Layer::kApi> {
  void SetUp() override {
    dev_ = MakeDisk(root_, 5);
    StartAndMount(Layer::kApi, dev_, true);
  }
};

TEST_F(RetentionTest, AFullDiskOverwritesItsOldestUnprotectedBlockOnePerCreate) {
  // Five blocks, each one recording, oldest first: a plain one, a locked
  // one, a ring never fixed, one a reader has open, a plain one.
  std::string plainOld = Record(dev_, 0, 100);
  std::string locked = Record(dev_, 1, 200, /*kind: locked at creation*/ 2);
  std::string ring = Record(dev_, 2, 300, kRingKind);
  std::string read = Record(dev_, 3, 400);
  std::string plainNew = Record(dev_, 4, 500);
  for (const std::string &name : {plainOld, locked, ring, read, plainNew}) ASSERT_NE(name, "");
  int reader = zrfs_Open(nullptr, read.data(), 0);
  ASSERT_GE(reader, 0);

  // By default a full disk keeps everything.
  EXPECT_EQ(Record(dev_, 5, 600), "");
  EXPECT_EQ(zrfs_LastError(), ZRFS_ENOSPC);
  EXPECT_TRUE(Exists(plainOld));

  ASSERT_EQ(zrfs_SetRetention(dev_.c_str(), ZRFS_OVERWRITE_OLDEST), 0);
  std::string first = Record(dev_, 5, 600);
  EXPECT_FALSE(Exists(plainOld));  // the oldest goes...
  EXPECT_EQ(UsedBlocks(dev_), 5);
  for (const std::string &name : {locked, ring, read, plainNew})  // ...and only it
    EXPECT_TRUE(Exists(name)) << name;

  // The locked, the unfixed ring and the open one are passed over.
  std::string second = Record(dev_, 6, 700);
  EXPECT_FALSE(Exists(plainNew));
  EXPECT_TRUE(Exists(read) && Exists(locked) && Exists(ring));

  // Once closed, the read one is the oldest that may go.
  zrfs_Close(reader);
  std::string third = Record(dev_, 7, 800);
  EXPECT_FALSE(Exists(read));

  // Neither a block being written nor one being read is taken: with every
  // block protected a create fails, and nothing goes.
  std::string open;
  int writer = BeginRecording(dev_, 8, 900, &open);
  ASSERT_GE(writer, 0);
  EXPECT_FALSE(Exists(first));
  int readers[2] = {zrfs_Open(nullptr, second.data(), 0), zrfs_Open(nullptr, third.data(), 0)};
  EXPECT_EQ(Record(dev_, 9, 1000), "");
  EXPECT_EQ(zrfs_LastError(), ZRFS_ELOCKED);  // unlocking would give room
  for (int fd : readers) zrfs_Close(fd);
  zrfs_Close(writer);
  EXPECT_TRUE(Intact(second, 700) && Intact(third, 800) && Intact(open, 900));
  EXPECT_TRUE(Exists(locked) && Exists(ring));
}

TEST_F(RetentionTest, AChannelAtItsQuotaGivesBackItsOwnOldestWhileTheDiskHasRoom) {
  ASSERT_NE(Record(dev_, 0, 50), "");  // older than all of channel 1's, on another channel
  ASSERT_EQ(zrfs_SetChannelQuota(dev_.c_str(), 1, 2), 0);
  std::string a = Record(dev_, 1, 100);
  std::string b = Record(dev_, 1, 200);
  std::string c = Record(dev_, 1, 300);
  ASSERT_NE(c, "");
  EXPECT_FALSE(Exists(a));
  EXPECT_TRUE(Intact(b, 200) && Intact(c, 300));
  EXPECT_EQ(UsedBlocks(dev_), 3);  // two of five blocks are still free

  // Every process that has the disk mounted shares the settings.
  ZrfsRetention shared;
  ASSERT_EQ(zrfs_DiskRetention(root_.path().c_str(), 3, &shared), 0);
  EXPECT_TRUE(shared.mode == ZRFS_RETAIN_ALL && shared.quota[1] == 2u && shared.quota[0] == 0u);

  // Wrong settings and disks are refused with their reason.
  EXPECT_TRUE(zrfs_SetChannelQuota(dev_.c_str(), ZRFS_CHANNELS, 1) == -1 &&
              zrfs_LastError() == ZRFS_EBADARG);
  EXPECT_TRUE(zrfs_SetRetention(dev_.c_str(), 2) == -1 && zrfs_LastError() == ZRFS_EBADARG);
  EXPECT_TRUE(zrfs_SetRetention(TestRoot::DevicePath(4).c_str(), 1) == -1 &&
              zrfs_LastError() == ZRFS_ENOTMOUNTED);

  // A new format starts from the defaults.
  ASSERT_EQ(zrfs_Format(dev_.c_str()), 0);
  ASSERT_EQ(zrfs_Mount(dev_.c_str()), 0);
  ASSERT_EQ(zrfs_DiskRetention(root_.path().c_str(), 3, &shared), 0);
  EXPECT_EQ(shared.quota[1], 0u);
}

// Two recorder processes, two channels each, record ten times what the
// disk's four unprotected blocks hold while the disk overwrites its oldest:
// no create fails (a channel's previous recording is closed, so one block
// always qualifies), what this process protects stays, each block ends
// with one whole recording, and the checker finds the disk clean.
TEST(RetentionProcessesTest, TwoRecordersRecordManyTimesTheDiskAndLoseNothingProtected) {
  constexpr int kRecorders = 2, kChannelsEach = 2, kEach = 10;
  constexpr int kRecordings = kRecorders * kChannelsEach * kEach;
  TestRoot root;
  std::string dev = MakeDisk(root, 6);
  StartAndMount(Layer::kApi, dev, true);
  ASSERT_EQ(zrfs_SetRetention(dev.c_str(), ZRFS_OVERWRITE_OLDEST), 0);
  std::string locked = Record(dev, 20, 1, 2);
  std::string read = Record(dev, 21, 2);
  int reader = zrfs_Open(nullptr, read.data(), 0);
  ASSERT_GE(reader, 0);

  struct Board {
    std::atomic<int32_t> clock{100};
    char names[kRecordings][ZRFS_NAME_MAX];
    int32_t times[kRecordings];
  };
  SharedMapping<Board> board;
  EXPECT_TRUE(RunInChildren(
      kRecorders,
      [&](int r) {
        StartAndMount(Layer::kApi, dev, false);
        for (int i = 0; i < kEach; ++i)
          for (int c = 0; c < kChannelsEach; ++c) {
            int slot = (r * kEach + i) * kChannelsEach + c;
            int32_t when = board->clock.fetch_add(1);
            std::string name = Record(dev, uint32_t(r * kChannelsEach + c), when);
            ASSERT_NE(name, "") << "recording " << i << " of channel " << c << ": "
                                << zrfs_StrError(zrfs_LastError());
            snprintf(board->names[slot], ZRFS_NAME_MAX, "%s", name.c_str());
            board->times[slot] = when;
          }
        zrfs_DeInit();
      },
      120s));

  int kept = 0;
  for (int i = 0; i < kRecordings; ++i) {
    if (!Exists(board->names[i])) continue;
    ++kept;
    EXPECT_TRUE(Intact(board->names[i], board->times[i])) << board->names[i];
  }
  EXPECT_EQ(kept, 4);
  EXPECT_TRUE(Exists(locked));
  EXPECT_TRUE(Intact(read, 2));
  zrfs_Close(reader);
  zrfs_DeInit();
#ifdef ZRFS_TOOL_PATH
  ToolResult check = RunTool({"check", root.Real(dev)});
  EXPECT_EQ(check.status, 0) << check.out << check.err;
#endif
}

// A recorder killed at each device write of a create that overwrites the
// oldest block in turn: after a fresh start only that block may have
// changed (its recording whole or gone), every other recording reads back,
// each block holds one channel's files, and the checker finds nothing but
// what the cut-short give-back may leave on that block.
TEST(RetentionProcessesTest, SlowAKillInsideAGiveBackChangesNothingButItsBlock) {
  constexpr int kBlocks = 4;
  constexpr uint32_t kNewChan = 5;
  struct Board {
    char names[kBlocks][ZRFS_NAME_MAX];
    int writes = 0;
  };
  auto run = [&](int killAt) -> int {
    TestRoot root;
    std::string dev = MakeDisk(root, kBlocks);
    SharedMapping<Board> board;
    EXPECT_TRUE(RunInChildren(
        1,
        [&](int) {
          StartAndMount(Layer::kApi, dev, true);
          for (int b = 0; b < kBlocks; ++b) {
            std::string name = Record(dev, uint32_t(b), 100 * (b + 1));
            ASSERT_NE(name, "");
            snprintf(board->names[b], ZRFS_NAME_MAX, "%s", name.c_str());
          }
          zrfs_DeInit();
        },
        60s));
    pid_t recorder = Spawn([&] {
      StartAndMount(Layer::kApi, dev, false);
      ASSERT_EQ(zrfs_SetRetention(dev.c_str(), ZRFS_OVERWRITE_OLDEST), 0);
      FaultOs faults;
      if (killAt > 0)
        faults.Add(
            {.call = Call::kWrite, .pathContains = "host03", .nth = killAt, .fault = Fault::kKill});
      EXPECT_NE(Record(dev, kNewChan, 1000), "");
      board->writes = faults.Count(Call::kWrite);
      zrfs_DeInit();
    });
    EXPECT_TRUE(killAt > 0 ? WaitKilled(recorder, 60s) : WaitAll({recorder}, 60s))
        << "kill at write " << killAt;
    int victim = BlockOfName(board->names[0]);
    EXPECT_TRUE(RunInChildren(
        1,
        [&](int) {
          StartAndMount(Layer::kApi, dev, false);
          for (int b = 1; b < kBlocks; ++b)
            EXPECT_TRUE(Intact(board->names[b], 100 * (b + 1))) << "kill at write " << killAt;
          if (Exists(board->names[0])) EXPECT_TRUE(Intact(board->names[0], 100));
          // The victim's channel and the new one (whose current block it
          // may be), then others, take blocks until none is left: none is lost,
          // and none holds files of two channels.
          for (uint32_t chan : {0u, kNewChan, 10u, 11u, 12u, 13u})
            if (Record(dev, chan, 2000 + int32_t(chan)) == "")
              EXPECT_EQ(zrfs_LastError(), ZRFS_ENOSPC) << "channel " << chan;
          for (int blk = 0; blk < kBlocks; ++blk) {
            TfFileStat st[8];
            int n = zrfs_BlockStat(dev.c_str(), blk, st, 8);
            EXPECT_GE(n, 1) << "block " << blk << " lost, kill at write " << killAt;
            for (int i = 1; i < n; ++i) EXPECT_EQ(st[i].ichan, st[0].ichan) << "block " << blk;
          }
          zrfs_DeInit();
        },
        60s));
#ifdef ZRFS_TOOL_PATH
    ToolResult check = RunTool({"check", "--json", root.Real(dev)});
    auto doc = nlohmann::json::parse(check.out, nullptr, false);
    EXPECT_FALSE(doc.is_discarded()) << check.out << check.err;
    std::string victimBlock = "block " + std::to_string(victim);
    for (const auto &f : doc.is_discarded() ? nlohmann::json::array() : doc["check"]["findings"]) {
      std::string where = f.value("location", "");
      EXPECT_TRUE(f.value("severity", "") == "note" || where.find(victimBlock) == 0 ||
                  where.find("channel 0") != std::string::npos ||
                  where.find("channel 5") != std::string::npos)
          << "kill at write " << killAt << ": [" << f.value("code", "") << "] " << where << ": "
          << f.value("message", "");
    }
#else
    (void)victim;
#endif
    return board->writes;
  };
  int writes = run(0);
  ASSERT_GT(writes, 4);
  for (int k = 1; k <= writes && !HasFailure(); ++k) run(k);
}

}  // namespace
