// Record files used by several processes and threads at once.
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "block/mounted_image.h"
#include "support/processes.h"

namespace {

using namespace std::chrono_literals;
using namespace zrfs::test;

constexpr int kProcesses = 4;
constexpr int kThreads = 4;
constexpr int kWriters = kProcesses * kThreads;
constexpr uint32_t kChunk = 16 * 1024;
constexpr int kRounds = 12;

struct Names {
  std::atomic<int> step;
  char shared[64];
  char own[kWriters][64];
};

void FillChunk(std::vector<char> &buf, int writer, uint64_t from) {
  for (uint32_t i = 0; i < buf.size(); ++i) buf[i] = PatternByte(writer, from + i);
}

bool ReadAndCheck(TfHandle *h, uint32_t pos, uint32_t len, int writer, uint64_t from) {
  std::vector<char> back(len);
  if (tf_Read(pos, back.data(), len, h) != int(len)) return false;
  for (uint32_t i = 0; i < len; ++i)
    if (back[i] != PatternByte(writer, from + i)) return false;
  return true;
}

TEST(RecordConcurrency, ProcessesAndThreadsWriteTheirOwnAndOneSharedFile) {
  TestRoot root;
  std::string dev = MakeDisk(root, 2 * kWriters + 2);
  SharedMapping<Names> names;
  ASSERT_TRUE(RunInChildren(
      1,
      [&](int) {
        StartAndMount(Layer::kRecord, dev, true);
        FileCreateParam p = Param(dev, 1000);
        TfHandle *h = tf_OpenFile(&p, names->shared);
        ASSERT_NE(h, nullptr);
        tf_CloseFile(h);
      },
      30s));

  ASSERT_TRUE(RunInChildren(
      kProcesses,
      [&](int process) {
        StartAndMount(Layer::kRecord, dev, false);
        TfHandle *shared = tf_OpenFile(nullptr, names->shared);
        ASSERT_NE(shared, nullptr);
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
          threads.emplace_back([&, t] {
            int writer = process * kThreads + t;
            FileCreateParam p = Param(dev, uint32_t(writer));
            TfHandle *own = tf_OpenFile(&p, names->own[writer]);
            ASSERT_NE(own, nullptr);
            std::vector<char> buf(kChunk);
            for (int round = 0; round < kRounds; ++round) {
              uint64_t at = uint64_t(round) * kChunk;
              FillChunk(buf, writer, at);
              ASSERT_EQ(tf_Write(uint32_t(at), buf.data(), kChunk, own), int(kChunk));
              uint32_t sharedAt = uint32_t((round * kWriters + writer) * kChunk);
              ASSERT_EQ(tf_Write(sharedAt, buf.data(), kChunk, shared), int(kChunk));
            }
            tf_CloseFile(own);
          });
        }
        for (auto &t : threads) t.join();
        tf_CloseFile(shared);
      },
      180s));

  ASSERT_TRUE(RunInChildren(
      1,
      [&](int) {
        StartAndMount(Layer::kRecord, dev, false);
        TfHandle *shared = tf_OpenFile(nullptr, names->shared);
        ASSERT_NE(shared, nullptr);
        TfFileStat st;
        ASSERT_EQ(tf_GetFileStat(&st, shared), 0);
        EXPECT_EQ(st.st_size, int64_t(kRounds) * kWriters * kChunk);
        for (int writer = 0; writer < kWriters; ++writer) {
          TfHandle *own = tf_OpenFile(nullptr, names->own[writer]);
          ASSERT_NE(own, nullptr) << names->own[writer];
          for (int round = 0; round < kRounds; ++round) {
            uint64_t at = uint64_t(round) * kChunk;
            EXPECT_TRUE(ReadAndCheck(own, uint32_t(at), kChunk, writer, at)) << writer;
            uint32_t sharedAt = uint32_t((round * kWriters + writer) * kChunk);
            EXPECT_TRUE(ReadAndCheck(shared, sharedAt, kChunk, writer, at)) << writer;
          }
          tf_CloseFile(own);
        }
        tf_CloseFile(shared);
      },
      60s));
}

TEST(RecordConcurrency, ReaderFollowsAGrowingRecording) {
  TestRoot root;
  std::string dev = MakeDisk(root, 2);
  SharedMapping<Names> names;
  constexpr int kAppends = 40;
  pid_t recorder = Spawn([&] {
    StartAndMount(Layer::kRecord, dev, true);
    FileCreateParam p = Param(dev, 3);
    TfHandle *h = tf_OpenFile(&p, names->shared);
    ASSERT_NE(h, nullptr);
    names->step = 1;
    std::vector<char> buf(kChunk);
    for (int i = 0; i < kAppends; ++i) {
      FillChunk(buf, 9, uint64_t(i) * kChunk);
      ASSERT_EQ(tf_Write(uint32_t(i * kChunk), buf.data(), kChunk, h), int(kChunk));
      usleep(2000);
    }
    tf_CloseFile(h);
  });
  pid_t reader = Spawn([&] {
    while (names->step < 1) usleep(1000);
    StartAndMount(Layer::kRecord, dev, false);
    TfHandle *h = tf_OpenFile(nullptr, names->shared);
    ASSERT_NE(h, nullptr);
    uint64_t seen = 0;
    int observedSizes = 0;
    while (seen < uint64_t(kAppends) * kChunk) {
      TfFileStat st;
      ASSERT_EQ(tf_GetFileStat(&st, h), 0);
      if (uint64_t(st.st_size) > seen) {
        uint32_t fresh = uint32_t(st.st_size - int64_t(seen));
        ASSERT_TRUE(ReadAndCheck(h, uint32_t(seen), fresh, 9, seen));
        seen = uint64_t(st.st_size);
        ++observedSizes;
      }
      usleep(500);
    }
    EXPECT_GT(observedSizes, 1);  // it saw the recording grow, not just its end
    tf_CloseFile(h);
  });
  EXPECT_TRUE(WaitAll({recorder, reader}, 60s));
}

TEST(RecordProcesses, UnlinkIsRefusedWhileAnotherProcessHasTheFileOpen) {
  TestRoot root;
  std::string dev = MakeDisk(root, 2);
  SharedMapping<Names> names;
  pid_t holder = Spawn([&] {
    StartAndMount(Layer::kRecord, dev, true);
    FileCreateParam p = Param(dev, 1);
    TfHandle *h = tf_OpenFile(&p, names->shared);
    ASSERT_NE(h, nullptr);
    names->step = 1;
    while (names->step < 2) usleep(1000);
    tf_CloseFile(h);
    names->step = 3;
  });
  pid_t remover = Spawn([&] {
    while (names->step < 1) usleep(1000);
    StartAndMount(Layer::kRecord, dev, false);
    EXPECT_EQ(tf_Unlink(names->shared), -1);
    names->step = 2;
    while (names->step < 3) usleep(1000);
    EXPECT_EQ(tf_Unlink(names->shared), 0);
  });
  EXPECT_TRUE(WaitAll({holder, remover}, 30s));
}

}  // namespace
