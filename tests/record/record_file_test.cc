// Record files in one process: transfers, the pre-record ring, status
// records, truncation, the handle table, unlink and the dump.
#include <algorithm>
#include <vector>

#include <gtest/gtest.h>

#include "block/mounted_image.h"
#include "support/fault_os.h"

namespace {

using namespace zrfs::test;
using zrfs::TfFileHeader;

class RecordTest : public MountedImage<Layer::kRecord> {
 protected:
  TfHandle *Create(uint32_t chan, uint32_t kind = 0, int32_t preRecSize = 0,
                   std::string *name = nullptr) {
    FileCreateParam p = Param(chan, kind, preRecSize);
    char buf[ZRFS_NAME_MAX] = {};
    TfHandle *h = tf_OpenFile(&p, buf);
    if (name != nullptr) *name = buf;
    return h;
  }
  TfFileHeader DiskHeader(TfHandle *h) {
    return DiskFileHeader(h->blockFile->share->blkid, h->entry->header.fileNo);
  }
  static int OpenHandles() {
    return int(std::count_if(std::begin(zrfs::g_tfFileTable), std::end(zrfs::g_tfFileTable),
                             [](TfHandle *h) { return h != nullptr; }));
  }
};

using RecordIoTest = RecordTest;

TEST_F(RecordIoTest, AppendsMoveTheEndAndWriteTheHeaderAtOnce) {
  TfHandle *h = Create(1);
  ASSERT_NE(h, nullptr);
  std::string data = PatternBytes(1, 10000);
  ASSERT_EQ(tf_Write(0, data.data(), 10000, h), 10000);
  TfFileHeader onDisk = DiskHeader(h);
  EXPECT_EQ(onDisk.EndAddr, onDisk.StartAddr + 10000);
  EXPECT_GT(onDisk.modifyTime, 0);
  EXPECT_EQ(tf_GetErrorNo(h), 0);

  // Rewriting inside the file leaves end and time alone.
  h->entry->header.modifyTime = 5;
  FaultOs faults;
  ASSERT_EQ(tf_Write(0, "X", 1, h), 1);
  EXPECT_EQ(h->entry->header.modifyTime, 5);
  EXPECT_EQ(faults.Count(Call::kWrite), 1);  // the data byte only, no header
  std::string back(10000, '\0');
  ASSERT_EQ(tf_Read(0, back.data(), 10000, h), 10000);
  EXPECT_EQ(back, "X" + data.substr(1));
  EXPECT_EQ(tf_Read(9990, back.data(), 100, h), 10);  // crosses the end
  EXPECT_EQ(tf_Read(10000, back.data(), 1, h), -1);   // starts at it
  tf_CloseFile(h);
}

TEST_F(RecordIoTest, RingFileReadsItsValidRingThenTheMainWindow) {
  constexpr int kRing = 64 * 1024;
  TfHandle *h = Create(2, 1, kRing);
  ASSERT_NE(h, nullptr);
  // Before the ring is fixed the application records round the ring itself.
  std::string ring = PatternBytes(2, kRing);
  ASSERT_EQ(tf_Write(0, ring.data(), kRing, h), kRing);
  TfFileStat st;
  ASSERT_EQ(tf_GetFileStat(&st, h), 0);
  EXPECT_EQ(st.st_size, kRing);  // bytes recorded from the ring's start

  // Oldest byte at 40000, newest just before 10000: the ring wrapped.
  ASSERT_EQ(tf_UpdataePreRecPtr(h, 40000, 10000), 0);
  std::string main = PatternBytes(3, 5000);
  uint32_t ringPart = kRing - 40000 + 10000;
  ASSERT_EQ(tf_Write(ringPart, main.data(), 5000, h), 5000);
  ASSERT_EQ(tf_GetFileStat(&st, h), 0);
  EXPECT_EQ(st.st_size, ringPart + 5000);

  std::string back(ringPart + 5000, '\0');
  ASSERT_EQ(tf_Read(0, back.data(), uint32_t(back.size()), h), int(back.size()));
  EXPECT_EQ(back, ring.substr(40000) + ring.substr(0, 10000) + main);
  // One read across all three pieces.
  std::string across(back.size() - 20000, '\0');
  ASSERT_EQ(tf_Read(20000, across.data(), uint32_t(across.size()), h), int(across.size()));
  EXPECT_EQ(across, back.substr(20000));

  // Fixed again (which empties the main window) with equal pointers: the
  // ring is full, its oldest byte at the pointer, and reads give every byte
  // of it as the size counts them.
  ASSERT_EQ(tf_UpdataePreRecPtr(h, 30000, 30000), 0);
  ASSERT_EQ(tf_GetFileStat(&st, h), 0);
  EXPECT_EQ(st.st_size, kRing);
  std::string full(kRing, '\0');
  ASSERT_EQ(tf_Read(0, full.data(), kRing, h), kRing);
  EXPECT_EQ(full, ring.substr(30000) + ring.substr(0, 30000));
  EXPECT_EQ(tf_Read(kRing, full.data(), 1, h), -1);
  tf_CloseFile(h);
}

TEST_F(RecordIoTest, StatusRecordFollowsTheHeaderAndLeavesTheRestAlone) {
  TfHandle *h = Create(3);
  ASSERT_NE(h, nullptr);
  std::string data(1000, 'a');
  TfFileStat st;
  memset(&st, 0x5C, sizeof st);
  ASSERT_EQ(tf_GetFileStat(&st, h), 0);
  EXPECT_EQ(st.st_mtim.tv_sec, 0);  // fresh: no extending write yet
  ASSERT_EQ(tf_Write(0, data.data(), 1000, h), 1000);
  ASSERT_EQ(tf_GetFileStat(&st, h), 0);
  EXPECT_EQ(st.st_size, 1000);
  EXPECT_EQ(st.st_blocks, 1);
  EXPECT_EQ(st.st_mtim.tv_sec, st.st_ctim.tv_sec);
  EXPECT_NE(st.st_mtim.tv_sec, 0);
  EXPECT_EQ(st.ichan, 3u);
  EXPECT_EQ(st.recType, 7);
  const auto *raw = reinterpret_cast<const uint8_t *>(&st);
  for (int i = 0; i < 48; ++i) ASSERT_EQ(raw[i], 0x5C) << "byte " << i;

  st.st_size = 1;  // not stored
  st.recType = 99;
  st.usrParam[0] = 7;
  st.st_mtim.tv_sec = 1234;
  ASSERT_EQ(tf_SetFileStat(&st, h), 0);
  TfFileHeader onDisk = DiskHeader(h);
  EXPECT_EQ(onDisk.recType, 99);
  EXPECT_EQ(onDisk.usrParam[0], 7);
  EXPECT_EQ(onDisk.modifyTime, 1234);
  EXPECT_EQ(onDisk.EndAddr - onDisk.StartAddr, 1000u);
  EXPECT_EQ(tf_GetFileStat(nullptr, h), -1);
  EXPECT_EQ(tf_SetFileStat(&st, nullptr), -1);
  tf_CloseFile(h);
}

// Truncation stops at the ring; ring pointers past it, or on a file
// without one, change nothing.
TEST_F(RecordIoTest, TruncationAndRingPointersStayWithinTheRing) {
  TfHandle *ring = Create(5, 1, 1000);
  TfHandle *plain = Create(6);
  ASSERT_TRUE(ring && plain);
  TfFileHeader before = ring->entry->header;
  EXPECT_EQ(tf_UpdataePreRecPtr(ring, 1000, 2), -1);
  EXPECT_EQ(tf_UpdataePreRecPtr(ring, 2, 1000), -1);
  EXPECT_EQ(tf_UpdataePreRecPtr(ring, -1, 2), -1);
  EXPECT_EQ(memcmp(&before, &ring->entry->header, sizeof before), 0);
  before = plain->entry->header;
  EXPECT_EQ(tf_UpdataePreRecPtr(plain, 1, 2), -1);
  EXPECT_EQ(memcmp(&before, &plain->entry->header, sizeof before), 0);
  EXPECT_EQ(tf_UpdataePreRecPtr(nullptr, 1, 2), -1);

  ASSERT_EQ(tf_UpdataePreRecPtr(ring, 100, 600), 0);  // 500 ring bytes
  std::string data(300, 'm');
  ASSERT_EQ(tf_Write(500, data.data(), 300, ring), 300);
  EXPECT_EQ(tf_ftruncate(ring, 499), -1);
  EXPECT_EQ(tf_ftruncate(ring, 500), 0);
  TfFileStat st;
  ASSERT_EQ(tf_GetFileStat(&st, ring), 0);
  EXPECT_EQ(st.st_size, 500);
  EXPECT_EQ(tf_ftruncate(ring, int64_t(kUnit)), -1);
  EXPECT_EQ(tf_ftruncate(ring, -1), -1);

  ASSERT_EQ(tf_Write(0, data.data(), 300, plain), 300);
  ASSERT_EQ(tf_ftruncate(plain, 0), 0);
  EXPECT_EQ(plain->entry->header.EndAddr, plain->entry->header.StartAddr);
  char c;
  EXPECT_EQ(tf_Read(0, &c, 1, plain), -1);
  tf_CloseFile(ring);
  tf_CloseFile(plain);
}

TEST_F(RecordIoTest, WriteThatReachesTheBlockEndLeavesTheEndAlone) {
  TfHandle *h = Create(9);
  ASSERT_NE(h, nullptr);
  uint64_t start = h->entry->header.StartAddr;
  uint32_t pos = uint32_t(kUnit - start - 4096);
  std::vector<char> page(4096, 'z');
  EXPECT_EQ(tf_Write(pos, page.data(), 4096, h), 4096);
  EXPECT_EQ(tf_GetErrorNo(h), 28);  // the block is full
  EXPECT_EQ(h->entry->header.EndAddr, start);
  EXPECT_EQ(tf_Write(pos + 1, page.data(), 4096, h), -1);
  EXPECT_EQ(tf_GetErrorNo(h), 28);
  tf_CloseFile(h);
}

using RecordTableTest = RecordTest;

TEST_F(RecordTableTest, SameNameTwiceIsOneHandleWithTwoReferences) {
  std::string name;
  TfHandle *created = Create(1, 0, 0, &name);
  ASSERT_NE(created, nullptr);
  ASSERT_EQ(tf_OpenFile(nullptr, name.data()), created);
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

TEST_F(RecordTableTest, BadNamesAndFailedCreationsLeaveNothingBehind) {
  char name[64] = "x";
  for (const char *bad : {"", "no-full-stop", "short.x", "H3000000000012340000C00x",
                          "H3000000000002340000C00.dat" /* file number 0 */,
                          "H3000004000112340000C00.dat" /* block beyond the disk */}) {
    snprintf(name, sizeof name, "%s", bad);
    EXPECT_EQ(tf_OpenFile(nullptr, name), nullptr) << bad;
  }
  EXPECT_EQ(tf_OpenFile(nullptr, nullptr), nullptr);
  FileCreateParam p = Param(1024);  // no such channel
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
  EXPECT_EQ(MapByte(0), 0);
  EXPECT_EQ(tf_OpenFile(nullptr, name.data()), nullptr);
  EXPECT_EQ(tf_Unlink(name.c_str()), -1);
  EXPECT_EQ(tf_Unlink(nullptr), -1);
  EXPECT_EQ(tf_Unlink("no-full-stop"), -1);
  EXPECT_EQ(OpenHandles(), 0);
}

TEST_F(RecordTableTest, TheThousandAndTwentyFifthFileIsRefused) {
  // Files made one after another share a block; then all are held open.
  std::vector<std::string> names(1025);
  for (std::string &name : names) {
    TfHandle *h = Create(1, 0, 0, &name);
    ASSERT_NE(h, nullptr) << names.size();
    tf_CloseFile(h);
  }
  std::vector<TfHandle *> open;
  for (int i = 0; i < 1024; ++i) {
    TfHandle *h = tf_OpenFile(nullptr, names[size_t(i)].data());
    ASSERT_NE(h, nullptr) << i;
    open.push_back(h);
  }
  EXPECT_EQ(tf_OpenFile(nullptr, names[1024].data()), nullptr);
  EXPECT_EQ(Create(1), nullptr);
  tf_CloseFile(open.back());
  open.back() = Create(1);  // files only read keep no new file out of their block
  EXPECT_NE(open.back(), nullptr);
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
  char line[256];
  snprintf(line, sizeof line,
           "=================ZRFILE==============\nfileid\terrno\tfilename\t\t\tInRef\tShrRef\t "
           "StartAddr\t   EndAddr\t  preStart\t    preEnd\n"
           "0\t0\t%s\t1\t1\t%10lld\t%10lld\t%10lld\t%10lld\n==============ZRBLOCK",
           name.c_str(), 0x200000LL, 0x200000LL, 0LL, 0LL);
  EXPECT_EQ(text.find(line), 0u) << text;
  EXPECT_NE(text.find("===========ZRDISK============"), std::string::npos);
  EXPECT_GE(tf_GetDebugInfo(buf.data(), 150), 150);  // cut in the middle of the first line
  tf_CloseFile(h);
}

}  // namespace
