// The public calls: descriptors and their generations, access modes, seeks,
// the calls on names and disks, the dump and the allocator.
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "block/mounted_image.h"
#include "support/fault_os.h"
#include "support/processes.h"

namespace {

using namespace std::chrono_literals;
using namespace zrfs::test;

using ApiTest = MountedImage<Layer::kApi>;

using DescriptorTest = ApiTest;

// A value is the slot and a generation counted per claim: a reused slot's
// old value is stale, the generation comes round after 4096 claims, and a
// full table refuses until a slot is free.
TEST_F(DescriptorTest, ValuesCarryTheSlotAndAGeneration) {
  std::string name;
  int first = CreateRecording(1, &name);
  EXPECT_EQ(first, 0);
  int second = zrfs_Open(nullptr, name.data(), 0);
  EXPECT_EQ(second, 65537);  // slot 1, generation 1
  EXPECT_EQ(zrfs_Close(first), 0);
  int third = zrfs_Open(nullptr, name.data(), 0);
  EXPECT_EQ(third, 131072);  // slot 0 again, generation 2
  char c;
  EXPECT_EQ(zrfs_Read(first, &c, 1), -1);
  zrfs_Close(second);
  zrfs_Close(third);
  for (int claim = 4; claim <= 4096; ++claim) zrfs_Close(zrfs_Open(nullptr, name.data(), 0));
  int wrapped = zrfs_Open(nullptr, name.data(), 0);  // the 4097th claim
  EXPECT_EQ(wrapped, 0);
  zrfs_Close(wrapped);
  std::vector<int> fds;
  for (int i = 0; i < 1024; ++i) fds.push_back(zrfs_Open(nullptr, name.data(), 0));
  EXPECT_EQ(fds[0], 65536);  // the 4098th: generation 1
  for (int fd : fds) ASSERT_GE(fd, 0);
  EXPECT_EQ(zrfs_Open(nullptr, name.data(), 0), -1);
  zrfs_Close(fds[500]);
  EXPECT_EQ(zrfs_Open(nullptr, name.data(), 0) & 0xFFFF, 500);
}

// Every call given a value that is no open descriptor, a null pointer or
// another bad argument refuses before anything is opened or changed.
TEST_F(DescriptorTest, CallsRefuseBadDescriptorsArgumentsAndNullPointers) {
  std::string name;
  int fd = CreateRecording(3, &name);
  ASSERT_GE(fd, 0);
  const char *n = name.c_str(), *dev = dev_.c_str();
  char buf[8];
  TfFileStat st, sts[4];
  DfStatfs fs;
  DfBlockInfo info[4];
  struct {
    const char *call;
    int64_t result, expected;
  } rows[] = {
      {"tell -1", zrfs_Tell(-1), -1},
      {"tell of slot 1024", zrfs_Tell(1024), -1},
      {"tell of a free slot", zrfs_Tell(65537 + 1023), -1},
      {"seek", zrfs_Seek(-1, 0, 0), -1},
      {"eof", zrfs_Eof(-1), -1},
      {"fstat", zrfs_fstat(-1, &st), -1},
      {"fstat into null", zrfs_fstat(fd, nullptr), 0},  // asks only whether fd is open
      {"fstat of a free slot into null", zrfs_fstat(fd + 1, nullptr), -1},
      {"fstat of -1 into null", zrfs_fstat(-1, nullptr), -1},
      {"ftruncate", zrfs_ftruncate(-1, 0), -1},
      {"ring pointers", zrfs_UpdataePreRecPtr(-1, 0, 0), -1},
      {"fsync", zrfs_fsync(-1), -1},
      {"read into null", zrfs_Read(fd, nullptr, 1), -1},
      {"read of nothing, done before the look-up", zrfs_Read(999999, buf, 0), 0},
      {"error number of -1", zrfs_error(-1), 0},
      {"error number of a free slot", zrfs_error(777), 0},
      {"open without a name", zrfs_Open(nullptr, nullptr, 0), -1},
      {"open of no record name", zrfs_Open(nullptr, const_cast<char *>("nonsense"), 0), -1},
      {"close -5", zrfs_Close(-5), 0},
      {"close of a free slot", zrfs_Close(12345), 0},
      {"stat of null", zrfs_Stat(nullptr, sts), -1},
      {"stat into null", zrfs_Stat(n, nullptr), -1},
      {"times from null", zrfs_ChangeTime(n, nullptr), -1},
      {"times of null", zrfs_ChangeTime(nullptr, nullptr), -1},
      {"lock of null", zrfs_Lock(nullptr, 1), -1},
      {"lock of no file", zrfs_Lock("H3000000000112340000C00.nope", 1), -1},
      {"record type of null", zrfs_ChangeRecType(nullptr, 1), -1},
      {"create time of null", zrfs_ChangeCreateTime(nullptr, ZrfsTimeVal32{1, 0}), -1},
      {"user bytes: none", zrfs_SetUsrParam(n, "x", 0), -1},
      {"user bytes: 33", zrfs_SetUsrParam(n, "x", 33), -1},
      {"user bytes: -1", zrfs_SetUsrParam(n, "x", -1), -1},
      {"user bytes from null", zrfs_SetUsrParam(n, nullptr, 1), -1},
      {"unlink of null", zrfs_Unlink(nullptr), -1},
      {"file count of null", zrfs_GetFileNum(nullptr, 0), -1},
      {"format of null", zrfs_Format(nullptr), -1},
      {"mount of null", zrfs_Mount(nullptr), -1},
      {"unmount of null", zrfs_UnMount(nullptr), -1},
      {"statfs of null", zrfs_Statfs(nullptr, &fs), -1},
      {"statfs into null", zrfs_Statfs(dev, nullptr), -1},
      {"used blocks of null", zrfs_GetUsedBlockNum(nullptr), -1},
      {"block info of null", zrfs_GetBlockInfo(nullptr, info, 4), -1},
      {"block info into null", zrfs_GetBlockInfo(dev, nullptr, 4), -1},
      {"used size of null", zrfs_GetUsedSizeOfDataType(nullptr, 0, 0), -1},
      {"used size, never attached", zrfs_GetUsedSizeOfDataType("/dev/scsi/host09/part1", 3, 0), -2},
      {"block stat of null", zrfs_BlockStat(nullptr, 0, sts, 4), -1},
      {"block stat into null", zrfs_BlockStat(dev, 0, nullptr, 4), -1},
      {"tag bad of null", zrfs_TagBadUnit(nullptr, 0, 1), -1},
      {"option bit 1", zrfs_SetOpt(2), -1},
      {"no option", zrfs_SetOpt(0), -1},
      {"option bit 63", zrfs_SetOpt(uint64_t{1} << 63), -1},
  };
  for (const auto &row : rows) EXPECT_EQ(row.result, row.expected) << row.call;
  EXPECT_EQ(zrfs_Tell(fd), 0);  // the real descriptor is untouched
  zrfs_Close(fd);
  EXPECT_EQ(zrfs_fstat(fd, nullptr), -1);
  EXPECT_EQ(zrfs_GetFileNum(dev, 0), 1);
  EXPECT_EQ(zrfs_GetUsedSizeOfDataType(dev, 3, 0), 1024);
  EXPECT_EQ(zrfs_SetOpt(3), 0);
  EXPECT_EQ(zrfs_SetOpt(1), 0);
}

TEST_F(DescriptorTest, AccessModesDecideWhatADescriptorMayDo) {
  std::string name;
  int writer = CreateRecording(1, &name, 1);  // write only
  ASSERT_GE(writer, 0);
  char buf[8] = "abcdefg";
  EXPECT_EQ(zrfs_Write(writer, buf, 7), 7);
  EXPECT_EQ(zrfs_Read(writer, buf, 7), -1);
  EXPECT_EQ(zrfs_Tell(writer), 7);
  int reader = zrfs_Open(nullptr, name.data(), 0);  // read only
  EXPECT_EQ(zrfs_Write(reader, buf, 7), -1);
  EXPECT_EQ(zrfs_Tell(reader), 0);
  EXPECT_EQ(zrfs_fsync(reader), -1);
  EXPECT_EQ(zrfs_fsync(writer), 0);
  for (int flags : {2, 3}) {
    int both = zrfs_Open(nullptr, name.data(), flags);
    EXPECT_EQ(zrfs_Read(both, buf, 7), 7) << flags;
    EXPECT_EQ(zrfs_Write(both, buf, 1), 1) << flags;
    zrfs_Close(both);
  }
}

// Transfers move the position and failed ones keep it; then the seek rules.
TEST_F(DescriptorTest, TransfersAndSeeksMoveThePosition) {
  int fd = CreateRecording(2);
  std::vector<char> data(1000, 's');
  ASSERT_EQ(zrfs_Write(fd, data.data(), 1000), 1000);
  ASSERT_EQ(zrfs_Seek(fd, 0, 0), 0);
  char buf[100];
  ASSERT_EQ(zrfs_Read(fd, buf, 100), 100);
  ASSERT_EQ(zrfs_Read(fd, buf, 100), 100);
  EXPECT_EQ(zrfs_Tell(fd), 200);
  {
    FaultOs faults;
    faults.Add({.call = Call::kRead, .pathContains = "host03"});
    EXPECT_EQ(zrfs_Read(fd, buf, 100), -1);
    EXPECT_EQ(zrfs_Tell(fd), 200);
    EXPECT_EQ(zrfs_error(fd), 5);
  }
  struct {
    const char *what;
    int64_t offset;
    int whence;
    int64_t position;
    int eof;
  } rows[] = {
      {"to the end", 0, 2, 1000, 1},
      {"back from here", -10, 1, 990, 0},
      {"before the start: back to 0", -5000, 1, 0, 0},
      {"the unit size itself is out of reach", 0x40000000, 0, 0, 0},
      {"the last byte of the unit", 0x3FFFFFFF, 0, 0x3FFFFFFF, 1},
      {"an unknown whence counts from the start", 123, 7, 123, 0},
  };
  for (const auto &row : rows) {
    EXPECT_EQ(zrfs_Seek(fd, row.offset, row.whence), row.position) << row.what;
    EXPECT_EQ(zrfs_Tell(fd), row.position) << row.what;
    EXPECT_EQ(zrfs_Eof(fd), row.eof) << row.what;
  }
}

TEST_F(DescriptorTest, DeInitSyncsWritableDescriptorsAndClosesAll) {
  std::string name;
  int writer = CreateRecording(4, &name, 1);
  int reader = zrfs_Open(nullptr, name.data(), 0);
  ASSERT_GE(reader, 0);
  FaultOs faults;
  EXPECT_EQ(zrfs_DeInit(), 0);
  EXPECT_EQ(faults.Count(Call::kWrite), 1);  // the writer's header, not the reader's
  EXPECT_EQ(zrfs_Tell(writer), -1);
  EXPECT_EQ(zrfs_Tell(reader), -1);
}

TEST_F(DescriptorTest, ClosingWhileAnotherThreadIsInACallIsHarmless) {
  std::string name;
  int fd = CreateRecording(5, &name);
  std::vector<char> data(4096, 'c');
  ASSERT_EQ(zrfs_Write(fd, data.data(), 4096), 4096);
  for (int round = 0; round < 50; ++round) {
    int d = zrfs_Open(nullptr, name.data(), 2);
    ASSERT_GE(d, 0);
    std::atomic<bool> go{false};
    std::thread user([&] {
      char buf[512];
      while (!go) {
      }
      for (int i = 0; i < 200; ++i) {
        zrfs_Seek(d, 0, 0);
        if (zrfs_Read(d, buf, 512) < 0) break;  // closed under us: refused, not a crash
      }
    });
    go = true;
    zrfs_Close(d);
    user.join();
    EXPECT_EQ(zrfs_Tell(d), -1);
  }
  zrfs_Close(fd);
}

using PathCallTest = ApiTest;

TEST_F(PathCallTest, EachAttributeCallChangesItsFieldOnDisk) {
  std::string name;
  zrfs_Close(CreateRecording(1, &name));
  auto field = [&](size_t offset) { return ReadRecord<int64_t>(BlockAddress(0) + 512 + offset); };
  EXPECT_EQ(zrfs_Lock(name.c_str(), 1), 0);
  EXPECT_EQ(ReadRecord<uint32_t>(BlockAddress(0) + 512 + 28), 1u);
  EXPECT_EQ(zrfs_ChangeRecType(name.c_str(), -3), 0);
  EXPECT_EQ(field(48), -3);
  ZrfsTimeVal32 times[2] = {{111, 0}, {222, 5}};
  EXPECT_EQ(zrfs_ChangeTime(name.c_str(), times), 0);
  EXPECT_EQ(field(40), 222);
  EXPECT_EQ(zrfs_ChangeCreateTime(name.c_str(), ZrfsTimeVal32{-7, 99}), 0);
  EXPECT_EQ(field(32), -7);
  EXPECT_EQ(zrfs_SetUsrParam(name.c_str(), "ABCDEFGHIJ", 10), 0);
  EXPECT_EQ(zrfs_SetUsrParam(name.c_str(), "xyzzy", 5), 0);
  TfFileStat st{};
  ASSERT_EQ(zrfs_Stat(name.c_str(), &st), 0);
  EXPECT_EQ(std::string(reinterpret_cast<char *>(st.usrParam), 10), "xyzzyFGHIJ");
  EXPECT_EQ(st.lockFlag, 1u);
  EXPECT_EQ(st.recType, -3);
  EXPECT_EQ(st.st_mtim.tv_sec, 222);
  EXPECT_EQ(st.createTime, -7);
  EXPECT_EQ(st.filename, name);
  // The calls leave no descriptor behind: the next one takes slot 0.
  EXPECT_EQ(CreateRecording(2) & 0xFFFF, 0);
}

TEST_F(PathCallTest, DumpShowsDescriptorsThenTheLowerSections) {
  char buf[8192];
  EXPECT_EQ(zrfs_GetDebugInfo(buf, 1023), 0);
  EXPECT_EQ(zrfs_GetDebugInfo(nullptr, 8192), 0);
  memset(buf, 'x', sizeof buf);
  int n = zrfs_GetDebugInfo(buf, 1024);
  EXPECT_EQ(buf[1023], '\0');
  char lower[1024];
  EXPECT_EQ(n, 66 + tf_GetDebugInfo(lower, 957));

  std::string name;
  int first = CreateRecording(1, &name);
  int second = zrfs_Open(nullptr, name.data(), 2);
  ASSERT_EQ(second, 65537);
  std::vector<char> data(4096, 'q');
  ASSERT_EQ(zrfs_Write(second, data.data(), 4096), 4096);
  n = zrfs_GetDebugInfo(buf, sizeof buf);
  std::string text(buf, size_t(n));
  EXPECT_EQ(text.rfind("===============ZRFS==================="
                       "\nid\tfd\t\trwflag\terrno\toffset\n0\t0x00000000\t3\t0\t0\n1\t0x00010001\t3"
                       "\t0\t4096\n=================ZRFILE==============",
                       0),
            0u)
      << text;
  zrfs_Close(first);
  zrfs_Close(second);

  // A mounted disk's row is followed by its retention mode and quotas, the
  // first eight named: the buffer is bounded, a channel count is not.
  EXPECT_NE(text.find("\n  disk 3: retention keep all, quotas none\n"), std::string::npos) << text;
  ASSERT_EQ(zrfs_SetRetention(dev_.c_str(), ZRFS_OVERWRITE_OLDEST), 0);
  for (unsigned i = 1; i <= 10; ++i) ASSERT_EQ(zrfs_SetChannelQuota(dev_.c_str(), i * 100, i), 0);
  text.assign(buf, size_t(zrfs_GetDebugInfo(buf, sizeof buf)));
  EXPECT_NE(text.find("\n  disk 3: retention overwrite oldest, quotas chan 100: 1, chan 200: 2, "
                      "chan 300: 3, chan 400: 4, chan 500: 5, chan 600: 6, chan 700: 7, "
                      "chan 800: 8, +2 more\n"),
            std::string::npos)
      << text;
}

int g_allocs;
int g_frees;
void *g_descriptorBlock;
constexpr uint32_t kDescriptorBytes = sizeof(void *) == 4 ? 56 : 72;
void *CountAlloc(uint32_t size) {
  ++g_allocs;
  void *p = malloc(size);
  if (size == kDescriptorBytes) g_descriptorBlock = p;
  return p;
}
void CountFree(void *p) {
  g_frees += p != nullptr && p == g_descriptorBlock;
  free(p);
}

TEST_F(PathCallTest, DescriptorsComeFromTheRegisteredAllocatorUntilTheNextInit) {
  std::string name;
  zrfs_Close(CreateRecording(1, &name));
  zrfs_RegistAllocatorInterface(CountAlloc, CountFree);
  zrfs_Close(zrfs_Open(nullptr, name.data(), 0));
  EXPECT_NE(g_descriptorBlock, nullptr);  // the descriptor's handle came from the callback
  EXPECT_EQ(g_frees, 1);                  // and went back through it
  ASSERT_EQ(zrfs_Init(), 0);              // restores malloc/free
  g_allocs = 0;
  zrfs_Close(zrfs_Open(nullptr, name.data(), 0));
  EXPECT_EQ(g_allocs, 0);
}

// Two processes changing different fields of one file: neither undoes the
// other's change.
TEST(PathCallProcesses, AttributeChangesOfTwoProcessesDoNotUndoEachOther) {
  TestRoot root;
  std::string dev = MakeDisk(root, 2);
  SharedMapping<char[64]> name;
  constexpr int kRounds = 150;
  ASSERT_TRUE(RunInChildren(
      1,
      [&](int) {
        StartAndMount(Layer::kApi, dev, true);
        FileCreateParam p = Param(dev, 0);
        int fd = zrfs_Open(&p, *name, 2);
        ASSERT_GE(fd, 0);
        zrfs_Close(fd);
      },
      30s));
  ASSERT_TRUE(RunInChildren(
      2,
      [&](int who) {
        StartAndMount(Layer::kApi, dev, false);
        for (int i = 1; i <= kRounds; ++i)
          ASSERT_EQ(who == 0 ? zrfs_Lock(*name, i) : zrfs_ChangeRecType(*name, i), 0);
      },
      120s));
  ASSERT_TRUE(RunInChildren(
      1,
      [&](int) {
        StartAndMount(Layer::kApi, dev, false);
        TfFileStat st;
        ASSERT_EQ(zrfs_Stat(*name, &st), 0);
        EXPECT_EQ(st.lockFlag, uint64_t(kRounds));
        EXPECT_EQ(st.recType, kRounds);
      },
      30s));
}

}  // namespace
