#include <sys/mman.h>

#include <chrono>
#include <cstdlib>
#include <vector>

#include <gtest/gtest.h>

#include "api_fixture.h"
#include "support/processes.h"
#include "zrfs/tf.h"

namespace {

using namespace std::chrono_literals;
using zrfs::test::ApiTest;
using zrfs::test::kApiDataStart;

class PathCallTest : public ApiTest {
 protected:
  TfFileStat Stat(const std::string &name) {
    TfFileStat st{};
    EXPECT_EQ(zrfs_Stat(name.c_str(), &st), 0);
    return st;
  }
  // The record file's header as the disk holds it (file n of block 0).
  template <typename T>
  T HeaderField(uint32_t fileNo, size_t offset) {
    T value;
    int fd = open(root_.Real(dev_).c_str(), O_RDONLY);
    EXPECT_EQ(pread(fd, &value, sizeof value, off_t(kApiDataStart + fileNo * 512 + offset)),
              ssize_t(sizeof value));
    close(fd);
    return value;
  }
};

TEST_F(PathCallTest, EachAttributeCallChangesItsFieldOnDisk) {
  std::string name;
  int fd = Create(1, &name);
  zrfs_Close(fd);
  EXPECT_EQ(zrfs_Lock(name.c_str(), 1), 0);
  EXPECT_EQ(HeaderField<uint32_t>(1, 28), 1u);
  EXPECT_EQ(zrfs_ChangeRecType(name.c_str(), -3), 0);
  EXPECT_EQ(HeaderField<int64_t>(1, 48), -3);
  ZrfsTimeVal32 times[2] = {{111, 0}, {222, 5}};
  EXPECT_EQ(zrfs_ChangeTime(name.c_str(), times), 0);
  EXPECT_EQ(HeaderField<int64_t>(1, 40), 222);
  EXPECT_EQ(zrfs_ChangeCreateTime(name.c_str(), ZrfsTimeVal32{-7, 99}), 0);
  EXPECT_EQ(HeaderField<int64_t>(1, 32), -7);
  const char param[] = "ABCDEFGHIJ";
  EXPECT_EQ(zrfs_SetUsrParam(name.c_str(), param, 10), 0);
  EXPECT_EQ(zrfs_SetUsrParam(name.c_str(), "xyzzy", 5), 0);
  TfFileStat st = Stat(name);
  EXPECT_EQ(std::string(reinterpret_cast<char *>(st.usrParam), 10), "xyzzyFGHIJ");
  EXPECT_EQ(st.lockFlag, 1u);
  EXPECT_EQ(st.recType, -3);
  EXPECT_EQ(st.st_mtim.tv_sec, 222);
  EXPECT_EQ(st.createTime, -7);
  EXPECT_EQ(st.filename, name);
  // The calls leave no descriptor behind: the next one takes slot 0.
  EXPECT_EQ(Create(2) & 0xFFFF, 0);
}

TEST_F(PathCallTest, BadArgumentsAreRefusedBeforeAnythingIsOpened) {
  std::string name;
  zrfs_Close(Create(1, &name));
  TfFileStat st;
  EXPECT_EQ(zrfs_Stat(nullptr, &st), -1);
  EXPECT_EQ(zrfs_Stat(name.c_str(), nullptr), -1);
  EXPECT_EQ(zrfs_ChangeTime(name.c_str(), nullptr), -1);
  EXPECT_EQ(zrfs_ChangeTime(nullptr, nullptr), -1);
  EXPECT_EQ(zrfs_Lock(nullptr, 1), -1);
  EXPECT_EQ(zrfs_ChangeRecType(nullptr, 1), -1);
  EXPECT_EQ(zrfs_ChangeCreateTime(nullptr, ZrfsTimeVal32{1, 0}), -1);
  for (int len : {0, 33, -1}) EXPECT_EQ(zrfs_SetUsrParam(name.c_str(), "x", len), -1) << len;
  EXPECT_EQ(zrfs_SetUsrParam(name.c_str(), nullptr, 1), -1);
  EXPECT_EQ(zrfs_Lock("H3000000000112340000C00.nope", 1), -1);
  EXPECT_EQ(zrfs_Unlink(nullptr), -1);
  EXPECT_EQ(zrfs_GetFileNum(nullptr, 0), -1);
  EXPECT_EQ(zrfs_GetFileNum(dev_.c_str(), 0), 1);
}

TEST_F(PathCallTest, UnlinkNeedsEveryDescriptorClosed) {
  std::string name;
  int fd = Create(1, &name);
  EXPECT_EQ(zrfs_Unlink(name.c_str()), -1);
  zrfs_Close(fd);
  EXPECT_EQ(zrfs_Unlink(name.c_str()), 0);
  EXPECT_EQ(zrfs_GetFileNum(dev_.c_str(), 0), 0);
  EXPECT_EQ(zrfs_Open(nullptr, name.data(), 0), -1);
}

TEST_F(PathCallTest, DiskCallsCheckTheirPointersAndForward) {
  DfStatfs fs;
  DfBlockInfo info[4];
  TfFileStat st[4];
  EXPECT_EQ(zrfs_Format(nullptr), -1);
  EXPECT_EQ(zrfs_Mount(nullptr), -1);
  EXPECT_EQ(zrfs_UnMount(nullptr), -1);
  EXPECT_EQ(zrfs_Statfs(nullptr, &fs), -1);
  EXPECT_EQ(zrfs_Statfs(dev_.c_str(), nullptr), -1);
  EXPECT_EQ(zrfs_GetUsedBlockNum(nullptr), -1);
  EXPECT_EQ(zrfs_GetBlockInfo(nullptr, info, 4), -1);
  EXPECT_EQ(zrfs_GetBlockInfo(dev_.c_str(), nullptr, 4), -1);
  EXPECT_EQ(zrfs_GetUsedSizeOfDataType(nullptr, 0, 0), -1);
  EXPECT_EQ(zrfs_BlockStat(nullptr, 0, st, 4), -1);
  EXPECT_EQ(zrfs_BlockStat(dev_.c_str(), 0, nullptr, 4), -1);
  EXPECT_EQ(zrfs_TagBadUnit(nullptr, 0, 1), -1);

  std::string name;
  zrfs_Close(Create(3, &name));
  ASSERT_EQ(zrfs_Statfs(dev_.c_str(), &fs), 0);
  EXPECT_EQ(fs.f_blocks, 4u * 2097152);
  EXPECT_EQ(fs.f_bfree, 3u * 2097152);
  EXPECT_EQ(zrfs_GetUsedBlockNum(dev_.c_str()), 4);
  EXPECT_EQ(zrfs_GetBlockInfo(dev_.c_str(), info, 4), 1);
  EXPECT_EQ(zrfs_GetUsedSizeOfDataType(dev_.c_str(), 3, 0), 1024);
  EXPECT_EQ(zrfs_GetUsedSizeOfDataType("/dev/scsi/host09/part1", 3, 0), -2);  // never attached
  EXPECT_EQ(zrfs_BlockStat(dev_.c_str(), 0, st, 4), 1);
  EXPECT_EQ(st[0].filename, name);
}

TEST_F(PathCallTest, OnlyBitZeroIsAnOption) {
  EXPECT_EQ(zrfs_SetOpt(2), -1);
  EXPECT_EQ(zrfs_SetOpt(0), -1);
  EXPECT_EQ(zrfs_SetOpt(uint64_t{1} << 63), -1);
  EXPECT_EQ(zrfs_SetOpt(3), 0);
  EXPECT_EQ(zrfs_SetOpt(1), 0);
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
  int first = Create(1, &name);
  int second = zrfs_Open(nullptr, name.data(), 2);
  ASSERT_EQ(second, 65537);
  std::vector<char> data(4096, 'q');
  ASSERT_EQ(zrfs_Write(second, data.data(), 4096), 4096);
  n = zrfs_GetDebugInfo(buf, sizeof buf);
  std::string text(buf, size_t(n));
  EXPECT_EQ(
      text.rfind(
          "===============ZRFS==================="
          "\nid\tfd\t\trwflag\terrno\toffset\n0\t0x00000000\t3\t0\t0\n1\t0x00010001\t3\t0\t4096\n",
          0),
      0u)
      << text;
  size_t files = text.find("=================ZRFILE==============");
  size_t blocks = text.find("==============ZRBLOCK===========");
  size_t disks = text.find("===========ZRDISK============");
  EXPECT_TRUE(files < blocks && blocks < disks) << text;
  zrfs_Close(first);
  zrfs_Close(second);
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
  zrfs_Close(Create(1, &name));
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
  zrfs::test::TestRoot root;
  std::string dev =
      root.MakeImage(zrfs::test::TestRoot::DevicePath(3), kApiDataStart + 3 * 0x40000000ull);
  auto *name = static_cast<char *>(
      mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
  constexpr int kRounds = 150;
  ASSERT_TRUE(zrfs::test::RunInChildren(
      1,
      [&](int) {
        ASSERT_EQ(zrfs_Init(), 0);
        ASSERT_EQ(zrfs_Format(dev.c_str()), 0);
        ASSERT_EQ(zrfs_Mount(dev.c_str()), 0);
        FileCreateParam p{};
        snprintf(p.diskPath, sizeof p.diskPath, "%s", dev.c_str());
        int fd = zrfs_Open(&p, name, 2);
        ASSERT_GE(fd, 0);
        zrfs_Close(fd);
      },
      30s));
  ASSERT_TRUE(zrfs::test::RunInChildren(
      2,
      [&](int who) {
        ASSERT_EQ(zrfs_Init(), 0);
        ASSERT_EQ(zrfs_Mount(dev.c_str()), 0);
        for (int i = 1; i <= kRounds; ++i) {
          if (who == 0) {
            ASSERT_EQ(zrfs_Lock(name, i), 0);
          } else {
            ASSERT_EQ(zrfs_ChangeRecType(name, i), 0);
          }
        }
      },
      120s));
  ASSERT_TRUE(zrfs::test::RunInChildren(
      1,
      [&](int) {
        ASSERT_EQ(zrfs_Init(), 0);
        ASSERT_EQ(zrfs_Mount(dev.c_str()), 0);
        TfFileStat st;
        ASSERT_EQ(zrfs_Stat(name, &st), 0);
        EXPECT_EQ(st.lockFlag, uint64_t(kRounds));
        EXPECT_EQ(st.recType, kRounds);
      },
      30s));
  munmap(name, 4096);
}

}  // namespace
