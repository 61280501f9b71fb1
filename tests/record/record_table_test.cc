#include <sys/mman.h>

#include <atomic>
#include <chrono>
#include <vector>

#include <gtest/gtest.h>

#include "record_fixture.h"
#include "support/processes.h"
#include "zrfs/fsc.h"

namespace {

using namespace std::chrono_literals;
using zrfs::test::RecordTest;

using RecordTableTest = RecordTest;

TEST_F(RecordTableTest, SameNameTwiceIsOneHandleWithTwoReferences) {
  std::string name;
  TfHandle *created = Create(1, 0, 0, &name);
  ASSERT_NE(created, nullptr);
  TfHandle *again = tf_OpenFile(nullptr, name.data());
  ASSERT_EQ(again, created);
  EXPECT_EQ(created->InRef, 2);
  EXPECT_EQ(created->entry->ShrRef, 2);
  std::string prefixed = "/some/dir/" + name;  // the stored name inside a longer one
  EXPECT_EQ(tf_OpenFile(nullptr, prefixed.data()), created);
  EXPECT_EQ(created->InRef, 3);
  tf_CloseFile(created);
  tf_CloseFile(created);
  EXPECT_EQ(OpenHandles(), 1);
  tf_CloseFile(created);
  EXPECT_EQ(OpenHandles(), 0);
  EXPECT_EQ(g_stZrfsFileList[0], 0u);  // the shared entry went with the last reference
}

TEST_F(RecordTableTest, OpenAfterCloseReadsTheHeaderFromDisk) {
  std::string name;
  TfHandle *h = Create(1, 0, 0, &name);
  ASSERT_EQ(tf_Write(0, "recorded", 8, h), 8);
  tf_CloseFile(h);
  TfHandle *back = tf_OpenFile(nullptr, name.data());
  ASSERT_NE(back, nullptr);
  char buf[8];
  ASSERT_EQ(tf_Read(0, buf, 8, back), 8);
  EXPECT_EQ(std::string(buf, 8), "recorded");
  tf_CloseFile(back);
}

TEST_F(RecordTableTest, BadNamesAndFailedCreationsLeaveNothingBehind) {
  char name[64] = "x";
  for (const char *bad : {"", "no-full-stop", "short.x", "H3000000000012340000C00x",
                          "H3000000000002340000C00.dat" /* file number 0 */,
                          "H3000004000112340000C00.dat" /* block beyond the disk */}) {
    snprintf(name, sizeof name, "%s", bad);
    EXPECT_EQ(tf_OpenFile(nullptr, name), nullptr) << bad;
  }
  EXPECT_EQ(tf_OpenFile(nullptr, nullptr), nullptr);
  FileCreateParam p = zrfs::test::RecordParam(dev_, 1024);  // no such channel
  EXPECT_EQ(tf_OpenFile(&p, name), nullptr);
  EXPECT_STREQ(name, "");
  EXPECT_EQ(OpenHandles(), 0);
  for (int slot = 0; slot < 1024; ++slot) ASSERT_EQ(g_stZrfsFileList[slot], 0u);
  EXPECT_EQ(tf_CloseFile(nullptr), -1);
  EXPECT_EQ(tf_GetErrorNo(nullptr), -1);
  EXPECT_EQ(tf_SyncFile(nullptr), -1);
}

TEST_F(RecordTableTest, UnlinkWaitsUntilNobodyHasTheFileOpen) {
  std::string name;
  TfHandle *h = Create(2, 0, 0, &name);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(tf_Unlink(name.c_str()), -1);
  EXPECT_EQ(h->InRef, 1);  // the check's reference was given back
  EXPECT_EQ(h->entry->ShrRef, 1);
  tf_CloseFile(h);
  EXPECT_EQ(tf_Unlink(name.c_str()), 0);  // the last file: the block goes back too
  EXPECT_EQ(tf_OpenFile(nullptr, name.data()), nullptr);
  EXPECT_EQ(tf_Unlink(name.c_str()), -1);
  EXPECT_EQ(tf_Unlink(nullptr), -1);
  EXPECT_EQ(tf_Unlink("no-full-stop"), -1);
  EXPECT_EQ(OpenHandles(), 0);
}

TEST_F(RecordTableTest, TheThousandAndTwentyFifthFileIsRefused) {
  std::vector<TfHandle *> open;
  std::string name;
  for (int i = 0; i < 1024; ++i) {
    TfHandle *h = Create(uint32_t(i % 2), 0, 0, &name);
    ASSERT_NE(h, nullptr) << i;
    open.push_back(h);
  }
  char more[64] = {};
  FileCreateParam p = zrfs::test::RecordParam(dev_, 1);
  EXPECT_EQ(tf_OpenFile(&p, more), nullptr);
  tf_CloseFile(open.back());
  open.pop_back();
  TfHandle *h = tf_OpenFile(&p, more);
  EXPECT_NE(h, nullptr);
  tf_CloseFile(h);
  for (TfHandle *f : open) tf_CloseFile(f);
  EXPECT_EQ(OpenHandles(), 0);
}

TEST_F(RecordTableTest, DumpListsOpenFilesAndTheLayersBelow) {
  std::string name;
  TfHandle *h = Create(2, 0, 0, &name);
  ASSERT_NE(h, nullptr);
  char small[140];
  EXPECT_EQ(tf_GetDebugInfo(small, 139), 0);
  EXPECT_EQ(tf_GetDebugInfo(nullptr, 4096), 0);
  std::vector<char> buf(8192);
  int n = tf_GetDebugInfo(buf.data(), int(buf.size()));
  ASSERT_GT(n, 0);
  std::string text(buf.data(), size_t(n));
  EXPECT_EQ(
      text.find(
          "=================ZRFILE==============\nfileid\terrno\tfilename\t\t\tInRef\tShrRef\t "
          "StartAddr\t   EndAddr\t  preStart\t    preEnd\n"),
      0u);
  char line[256];
  snprintf(line, sizeof line, "0\t0\t%s\t1\t1\t%10lld\t%10lld\t%10lld\t%10lld\n", name.c_str(),
           0x200000LL, 0x200000LL, 0LL, 0LL);
  EXPECT_NE(text.find(line), std::string::npos) << text;
  EXPECT_NE(text.find("==============ZRBLOCK==========="), std::string::npos);
  EXPECT_NE(text.find("===========ZRDISK============"), std::string::npos);
  int cut = tf_GetDebugInfo(buf.data(), 150);  // cut in the middle of the first line
  EXPECT_GE(cut, 150);
  tf_CloseFile(h);
}

TEST(RecordProcesses, UnlinkIsRefusedWhileAnotherProcessHasTheFileOpen) {
  zrfs::test::TestRoot root;
  std::string dev = zrfs::test::MakeDiskImage(root, 2);
  struct Shared {
    std::atomic<int> step;
    char name[64];
  };
  auto *shared = static_cast<Shared *>(
      mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
  pid_t holder = zrfs::test::Spawn([&] {
    zrfs::test::StartRecordLayer(dev, true);
    FileCreateParam p = zrfs::test::RecordParam(dev, 1);
    TfHandle *h = tf_OpenFile(&p, shared->name);
    ASSERT_NE(h, nullptr);
    shared->step = 1;
    while (shared->step < 2) usleep(1000);
    tf_CloseFile(h);
    shared->step = 3;
  });
  pid_t remover = zrfs::test::Spawn([&] {
    while (shared->step < 1) usleep(1000);
    zrfs::test::StartRecordLayer(dev, false);
    EXPECT_EQ(tf_Unlink(shared->name), -1);
    shared->step = 2;
    while (shared->step < 3) usleep(1000);
    EXPECT_EQ(tf_Unlink(shared->name), 0);
  });
  bool ok = zrfs::test::WaitAll({holder, remover}, 30s);
  munmap(shared, sizeof(Shared));
  EXPECT_TRUE(ok);
}

}  // namespace
