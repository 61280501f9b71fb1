// Fault loops: each operation of the table runs with its Nth device call of
// one kind broken (N = 1, 2, ... until it no longer reaches call N), each run
// in a fresh child on a fresh image.  After each: the documented result, the
// library's holdings as before, the block tagged bad where a transfer failed
// on it, and the operation working once the fault is gone.
#include <ostream>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "block/mounted_image.h"
#include "reliability/library_state.h"
#include "support/fault_os.h"
#include "support/processes.h"
#include "support/recording_io.h"

namespace zrfs::test {
namespace {

using namespace std::chrono_literals;

constexpr int kDisk = 3;
constexpr uint32_t kChunk = 64 * 1024;
constexpr int32_t kRingBytes = 1024 * 1024;

struct DeviceFault {
  Call call;
  Fault fault;
  const char *label;
};
constexpr DeviceFault kDeviceFaults[] = {
    {Call::kRead, Fault::kError, "read fails with EIO"},
    {Call::kRead, Fault::kShort, "short read"},
    {Call::kWrite, Fault::kError, "write fails with EIO"},
    {Call::kWrite, Fault::kShort, "short write"},
    {Call::kOpen, Fault::kError, "open fails with EIO"},
    {Call::kPresence, Fault::kAbsent, "disk absent"},
    {Call::kDeviceSize, Fault::kError, "size request fails with EIO"},
};

// What the starting point leaves for the operation and its checks.
struct Scene {
  std::string dev;
  std::string name;   // a record file holding one chunk (seed 1), when made
  int fd = -1;        // its descriptor, when left open
  int blk = -1;       // the block holding it
  std::string other;  // the file behind it in its block, or one the operation made
};

// Formatted; mounted; with a closed record file; with the file open (at its
// end, at its start, or as a pre-record ring); with the file closed, followed
// in its block by the channel's next file (one chunk, seed 4), and reopened
// for writing at its end; with the file open while the disk was unmounted,
// formatted and mounted again.
enum class Start {
  kFormatted,
  kMounted,
  kClosedFile,
  kOpenFile,
  kOpenAtStart,
  kOpenRing,
  kReopenedBeforeNext,
  kOpenAcrossFormat,
};

constexpr int64_t kDescriptor = -100;  // success is any descriptor

struct Operation {
  const char *name;  // names the row in the test name and in failures
  Start start;
  int64_t (*run)(Scene &);
  int64_t success = 0;    // the result of a successful run, or kDescriptor
  bool transfer = false;  // a failure must tell a transfer error and tag the block
  bool again = false;     // with every fault gone, it runs again and succeeds
  // After a successful run: checks and gives back what it holds (a
  // descriptor, a mount), so the state compares equal with the one before.
  void (*release)(Scene &, int64_t) = nullptr;
  // With every fault gone: the operation, or what it was for, works.
  void (*retry)(Scene &) = nullptr;
  bool deviceFree = false;  // it must not reach the device at all
};

void PrintTo(const Operation &op, std::ostream *out) {
  *out << op.name;
}

std::vector<char> Pattern(int seed) {
  std::vector<char> bytes(kChunk);
  for (uint32_t i = 0; i < kChunk; ++i) bytes[i] = PatternByte(seed, i);
  return bytes;
}

uint8_t MapByte(int blk) {
  return g_dfDiskTable[kDisk].entry->blkMap[blk];
}

// The block the channel's next plain file goes to when nothing keeps it out.
int CurrentBlock(uint32_t chan) {
  return g_dfDiskTable[kDisk].entry->curBlk[fsc_GetBlkType(0)][chan];
}

// A chunk of seed's pattern written at the descriptor's position: the
// write's result, or minus its error number when it fails.
int64_t WriteOrError(int fd, int seed) {
  int n = zrfs_Write(fd, Pattern(seed).data(), kChunk);
  return n < 0 ? -zrfs_error(fd) : n;
}

// Creates a file of chan for writing; its descriptor, its name in *name.
int Create(const std::string &dev, uint32_t chan, std::string *name, uint32_t kind = 0,
           int32_t preRecSize = 0) {
  FileCreateParam p = RecordingParam(dev, chan, kind, preRecSize);
  char buf[ZRFS_NAME_MAX] = {};
  int fd = zrfs_Open(&p, buf, 2);
  *name = buf;
  return fd;
}

void SetUpScene(Start start, Scene &s) {
  ASSERT_EQ(zrfs_Format(s.dev.c_str()), 0);
  if (start == Start::kFormatted) return;
  ASSERT_EQ(zrfs_Mount(s.dev.c_str()), 0);
  if (start == Start::kMounted) return;
  bool ring = start == Start::kOpenRing;
  s.fd = Create(s.dev, 5, &s.name, ring ? 1 : 0, ring ? kRingBytes : 0);
  ASSERT_GE(s.fd, 0);
  s.blk = BlockOfName(s.name);
  ASSERT_EQ(zrfs_Write(s.fd, Pattern(1).data(), kChunk), int(kChunk));
  if (start == Start::kOpenAtStart) zrfs_Seek(s.fd, 0, 0);
  if (start == Start::kClosedFile) zrfs_Close(std::exchange(s.fd, -1));
  if (start == Start::kReopenedBeforeNext) {
    zrfs_Close(s.fd);
    int next = Create(s.dev, 5, &s.other);
    ASSERT_GE(next, 0);
    ASSERT_EQ(zrfs_Write(next, Pattern(4).data(), kChunk), int(kChunk));
    zrfs_Close(next);
    ASSERT_EQ(BlockOfName(s.other), s.blk);
    s.fd = zrfs_Open(nullptr, s.name.data(), 2);
    ASSERT_GE(s.fd, 0);
    ASSERT_EQ(zrfs_Seek(s.fd, 0, 2), int64_t(kChunk));
  }
  if (start == Start::kOpenAcrossFormat) {
    ASSERT_EQ(zrfs_UnMount(s.dev.c_str()), 0);
    ASSERT_EQ(zrfs_Format(s.dev.c_str()), 0);
    ASSERT_EQ(zrfs_Mount(s.dev.c_str()), 0);
  }
}

void ExpectReadsBack(int fd, int seed) {
  zrfs_Seek(fd, 0, 0);
  EXPECT_TRUE(ReadsPattern(fd, seed, 0, kChunk));
}

// A new recording can be made and read back on the disk.
void ExpectDiskRecords(Scene &s) {
  std::string name;
  int fd = Create(s.dev, 9, &name);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(zrfs_Write(fd, Pattern(2).data(), kChunk), int(kChunk));
  ExpectReadsBack(fd, 2);
  zrfs_Close(fd);
}

// A failed read or write tells 5 or 28; a 5 with the disk present comes from
// a failed transfer, which tags the block bad; an absent disk tags nothing.
void ExpectTransferError(Scene &s, const DeviceFault &fault) {
  int error = zrfs_error(s.fd);
  EXPECT_TRUE(error == 5 || error == 28) << "error number " << error;
  if (fault.fault == Fault::kAbsent)
    EXPECT_EQ(MapByte(s.blk), kBlkUsed);
  else if (error == 5)
    EXPECT_TRUE(IsBadState(MapByte(s.blk))) << "map byte " << int(MapByte(s.blk));
}

const Operation kOperations[] = {
    {.name = "format",
     .start = Start::kFormatted,
     .run = [](Scene &s) -> int64_t { return zrfs_Format(s.dev.c_str()); },
     .again = true,
     .retry =
         [](Scene &s) {
           ASSERT_EQ(zrfs_Mount(s.dev.c_str()), 0);
           ExpectDiskRecords(s);
         }},
    {.name = "mount",
     .start = Start::kFormatted,
     .run = [](Scene &s) -> int64_t { return zrfs_Mount(s.dev.c_str()); },
     .again = true,
     .release = [](Scene &s, int64_t) { zrfs_UnMount(s.dev.c_str()); },
     .retry = ExpectDiskRecords},
    {.name = "unmount",
     .start = Start::kMounted,
     .run = [](Scene &s) -> int64_t { return zrfs_UnMount(s.dev.c_str()); },
     .again = true,
     .release = [](Scene &s, int64_t) { zrfs_Mount(s.dev.c_str()); },
     .retry =
         [](Scene &s) {
           ASSERT_EQ(zrfs_Mount(s.dev.c_str()), 0);
           ExpectDiskRecords(s);
         }},
    {.name = "create",
     .start = Start::kMounted,
     .run = [](Scene &s) -> int64_t { return Create(s.dev, 5, &s.other); },
     .success = kDescriptor,
     .release = [](Scene &, int64_t fd) { zrfs_Close(int(fd)); },
     .retry = ExpectDiskRecords},
    {.name = "open_by_name",
     .start = Start::kClosedFile,
     .run = [](Scene &s) -> int64_t { return zrfs_Open(nullptr, s.name.data(), 0); },
     .success = kDescriptor,
     .release =  // what a successful open shows is the file as written
     [](Scene &, int64_t fd) {
       ExpectReadsBack(int(fd), 1);
       zrfs_Close(int(fd));
     },
     .retry = [](Scene &s) { EXPECT_TRUE(FileHoldsPattern(s.name, 1, kChunk)); }},
    {.name = "write",
     .start = Start::kOpenAtStart,
     .run = [](Scene &s) -> int64_t { return zrfs_Write(s.fd, Pattern(3).data(), kChunk); },
     .success = kChunk,
     .transfer = true,
     .retry =
         [](Scene &s) {
           zrfs_Seek(s.fd, 0, 0);
           ASSERT_EQ(zrfs_Write(s.fd, Pattern(3).data(), kChunk), int(kChunk));
           ExpectReadsBack(s.fd, 3);
           zrfs_Close(s.fd);
           EXPECT_TRUE(FileHoldsPattern(s.name, 3, kChunk));
         }},
    // The file's one chunk is whole 4 KiB steps, so the next file starts
    // right at its end: the append is refused as a full block, writing
    // nothing.
    {.name = "append_into_next_file",
     .start = Start::kReopenedBeforeNext,
     .run = [](Scene &s) -> int64_t { return WriteOrError(s.fd, 3); },
     .success = -28,
     .transfer = true,
     .retry =
         [](Scene &s) {
           EXPECT_EQ(WriteOrError(s.fd, 3), -28);
           EXPECT_EQ(zrfs_Tell(s.fd), int(kChunk));
           ExpectReadsBack(s.fd, 1);
           zrfs_Close(s.fd);
           EXPECT_TRUE(FileHoldsPattern(s.other, 4, kChunk));
         }},
    // The channel's open file may still grow, so its block takes no new file.
    {.name = "create_beside_live_writer",
     .start = Start::kOpenFile,
     .run = [](Scene &s) -> int64_t { return Create(s.dev, 5, &s.other); },
     .success = kDescriptor,
     .release =
         [](Scene &s, int64_t fd) {
           EXPECT_NE(BlockOfName(s.other), s.blk) << s.other;
           zrfs_Close(int(fd));
         },
     .retry =
         [](Scene &s) {
           std::string made;
           int fd = Create(s.dev, 5, &made);
           ASSERT_GE(fd, 0);
           EXPECT_NE(BlockOfName(made), s.blk) << made;
           EXPECT_EQ(MapByte(BlockOfName(made)), kBlkUsed);
           // Both grow on, each in its own block.
           EXPECT_EQ(zrfs_Write(fd, Pattern(2).data(), kChunk), int(kChunk));
           EXPECT_EQ(zrfs_Write(s.fd, Pattern(3).data(), kChunk), int(kChunk));
           ExpectReadsBack(fd, 2);
           ExpectReadsBack(s.fd, 1);
           zrfs_Close(fd);
           zrfs_Close(s.fd);
           // No writer is left counted, by a failed create either: with every
           // file closed, the channel's current block takes the next file.
           int current = CurrentBlock(5);
           fd = Create(s.dev, 5, &made);
           ASSERT_GE(fd, 0);
           EXPECT_EQ(BlockOfName(made), current) << made;
           zrfs_Close(fd);
         }},
    // A format gave the disk a new layout: the old descriptor is dead, and
    // its writes fail before they reach the device.
    {.name = "write_after_format",
     .start = Start::kOpenAcrossFormat,
     .run = [](Scene &s) -> int64_t { return WriteOrError(s.fd, 3); },
     .success = -5,
     .retry =
         [](Scene &s) {
           // A recording of the new layout in the old file's place stays whole.
           std::string made;
           int fd = Create(s.dev, 5, &made);
           ASSERT_GE(fd, 0);
           EXPECT_EQ(BlockOfName(made), s.blk) << made;
           EXPECT_EQ(zrfs_Write(fd, Pattern(2).data(), kChunk), int(kChunk));
           EXPECT_EQ(WriteOrError(s.fd, 3), -5);
           EXPECT_EQ(zrfs_Close(s.fd), 0);
           zrfs_Close(fd);
           EXPECT_TRUE(FileHoldsPattern(made, 2, kChunk));
         },
     .deviceFree = true},
    {.name = "read",
     .start = Start::kOpenAtStart,
     .run = [](Scene &s) -> int64_t {
       std::vector<char> back(kChunk);
       int n = zrfs_Read(s.fd, back.data(), kChunk);
       return n == int(kChunk) && back != Pattern(1) ? -2 : n;
     },
     .success = kChunk,
     .transfer = true,
     .retry = [](Scene &s) { ExpectReadsBack(s.fd, 1); }},
    {.name = "fsync",
     .start = Start::kOpenFile,
     .run = [](Scene &s) -> int64_t { return zrfs_fsync(s.fd); },
     .again = true,
     .retry =
         [](Scene &s) {
           zrfs_Close(s.fd);
           EXPECT_TRUE(FileHoldsPattern(s.name, 1, kChunk));
         }},
    {.name = "truncate",
     .start = Start::kOpenFile,
     .run = [](Scene &s) -> int64_t { return zrfs_ftruncate(s.fd, 4096); },
     .again = true,
     .retry =
         [](Scene &s) {
           zrfs_Close(s.fd);
           TfFileStat st{};
           ASSERT_EQ(zrfs_Stat(s.name.c_str(), &st), 0);
           EXPECT_EQ(st.st_size, 4096);
         }},
    {.name = "ring_pointers",
     .start = Start::kOpenRing,
     .run = [](Scene &s) -> int64_t { return zrfs_UpdataePreRecPtr(s.fd, 0, kChunk); },
     .again = true,
     .retry =
         [](Scene &s) {
           zrfs_Close(s.fd);
           EXPECT_TRUE(FileHoldsPattern(s.name, 1, kChunk));  // the ring's valid bytes come first
         }},
    {.name = "stat",
     .start = Start::kClosedFile,
     .run = [](Scene &s) -> int64_t {
       TfFileStat st{};
       int r = zrfs_Stat(s.name.c_str(), &st);
       return r == 0 && st.st_size != kChunk ? -2 : r;
     },
     .retry = [](Scene &s) { EXPECT_TRUE(FileHoldsPattern(s.name, 1, kChunk)); }},
    {.name = "lock",
     .start = Start::kClosedFile,
     .run = [](Scene &s) -> int64_t { return zrfs_Lock(s.name.c_str(), 1); },
     .again = true,
     .retry =
         [](Scene &s) {
           TfFileStat st{};
           ASSERT_EQ(zrfs_Stat(s.name.c_str(), &st), 0);
           EXPECT_EQ(st.lockFlag, 1u);
           EXPECT_TRUE(FileHoldsPattern(s.name, 1, kChunk));
         }},
    {.name = "unlink",
     .start = Start::kClosedFile,
     .run = [](Scene &s) -> int64_t { return zrfs_Unlink(s.name.c_str()); },
     .retry =
         [](Scene &s) {
           TfFileStat st{};  // a failed unlink left the file whole or removed it
           if (zrfs_Stat(s.name.c_str(), &st) == 0) {
             EXPECT_TRUE(FileHoldsPattern(s.name, 1, kChunk));
             EXPECT_EQ(zrfs_Unlink(s.name.c_str()), 0);
           }
           EXPECT_EQ(zrfs_Stat(s.name.c_str(), &st), -1);
           ExpectDiskRecords(s);
         }},
    {.name = "block_stat",
     .start = Start::kClosedFile,
     .run = [](Scene &s) -> int64_t {
       TfFileStat st[8] = {};
       return zrfs_BlockStat(s.dev.c_str(), s.blk, st, 8);
     },
     .success = 1,
     .retry =
         [](Scene &s) {
           TfFileStat st[8] = {};
           EXPECT_EQ(zrfs_BlockStat(s.dev.c_str(), s.blk, st, 8), 1);
           EXPECT_STREQ(st[0].filename, s.name.c_str());
           EXPECT_TRUE(MapByte(s.blk) == kBlkUsed || IsBadState(MapByte(s.blk)));
           EXPECT_TRUE(FileHoldsPattern(s.name, 1, kChunk));
         }},
    {.name = "block_info",
     .start = Start::kClosedFile,
     .run = [](Scene &s) -> int64_t {
       DfBlockInfo info[4] = {};
       int r = zrfs_GetBlockInfo(s.dev.c_str(), info, 4);
       return r == 1 && info[0].fileNum != 1 ? -2 : r;
     },
     .success = 1,
     .again = true},
    {.name = "statfs",
     .start = Start::kMounted,
     .run = [](Scene &s) -> int64_t {
       DfStatfs st{};
       return zrfs_Statfs(s.dev.c_str(), &st);
     },
     .again = true},
    {.name = "tag_bad_unit",
     .start = Start::kMounted,
     .run = [](Scene &s) -> int64_t {
       return zrfs_TagBadUnit(s.dev.c_str(), BlockAddress(2), 512);
     },
     .again = true,
     .retry =
         [](Scene &s) {
           EXPECT_TRUE(IsBadState(MapByte(2)));
           ExpectDiskRecords(s);
         }},
};

// One case, in the child: the starting point, the operation with the Nth
// call of one kind broken, then the checks.  Stores how many calls broke.
void RunCase(const Operation &op, const DeviceFault &fault, int nth, const std::string &dev,
             int *fired) {
  Scene s{.dev = dev};
  ASSERT_EQ(zrfs_Init(), 0);
  SetUpScene(op.start, s);
  if (::testing::Test::HasFatalFailure()) return;
  LibraryState before = CaptureLibraryState(kDisk);
  int64_t result;
  {
    FaultOs faults;
    faults.Add({.call = fault.call,
                .pathContains = "host03",
                .nth = nth,
                .fault = fault.fault,
                .shortBytes = 100});
    result = op.run(s);
    *fired = faults.Fired();
  }
  bool ok = op.success == kDescriptor ? result >= 0 : result == op.success;
  if (*fired == 0) EXPECT_TRUE(ok) << "no fault, result " << result;
  if (!ok && op.transfer) ExpectTransferError(s, fault);
  if (ok && op.release != nullptr) op.release(s, result);
  EXPECT_EQ(CaptureLibraryState(kDisk), before) << "result " << result;
  if (op.again) EXPECT_EQ(op.run(s), op.success) << "run again with every fault gone";
  if (op.retry != nullptr) op.retry(s);
}

class FaultLoop : public ::testing::TestWithParam<Operation> {};

TEST_P(FaultLoop, SlowBreakEachDeviceCallInTurn) {
  const Operation &op = GetParam();
  SharedMapping<int> fired;
  TestRoot root;
  int sites = 0;
  bool passed = true;
  for (const DeviceFault &fault : kDeviceFaults) {
    for (int nth = 1; passed; ++nth) {
      root.RemoveIpcObjects();
      std::string dev = MakeDisk(root, 4);
      *fired = -1;
      pid_t child = Spawn([&] { RunCase(op, fault, nth, dev, &*fired); });
      // Children inherit this process's failures, so after the first one
      // the rest would only repeat it.
      passed = WaitAll({child}, 60s);
      EXPECT_TRUE(passed) << op.name << ": " << fault.label << " at call " << nth;
      if (*fired <= 0) break;
      ++sites;
    }
  }
  if (op.deviceFree) EXPECT_EQ(sites, 0) << op.name << " reached the device";
}

INSTANTIATE_TEST_SUITE_P(, FaultLoop, ::testing::ValuesIn(kOperations),
                         [](const auto &row) { return std::string(row.param.name); });

}  // namespace
}  // namespace zrfs::test
