#include <vector>

#include <gtest/gtest.h>

#include "record_fixture.h"
#include "support/fault_os.h"

namespace {

using zrfs::TfFileHeader;
using zrfs::test::Call;
using zrfs::test::FaultOs;
using zrfs::test::kRecUnit;
using zrfs::test::PatternByte;
using zrfs::test::RecordTest;

std::string Pattern(int w, uint64_t from, size_t len) {
  std::string s(len, '\0');
  for (size_t i = 0; i < len; ++i) s[i] = PatternByte(w, from + i);
  return s;
}

using RecordIoTest = RecordTest;

TEST_F(RecordIoTest, AppendsMoveTheEndAndWriteTheHeaderAtOnce) {
  TfHandle *h = Create(1);
  ASSERT_NE(h, nullptr);
  std::string data = Pattern(1, 0, 10000);
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
  EXPECT_EQ(back[0], 'X');
  EXPECT_EQ(back.substr(1), data.substr(1));
  EXPECT_EQ(tf_Read(9990, back.data(), 100, h), 10);  // crosses the end
  EXPECT_EQ(tf_Read(10000, back.data(), 1, h), -1);   // starts at it
  tf_CloseFile(h);
}

TEST_F(RecordIoTest, RingFileReadsItsValidRingThenTheMainWindow) {
  constexpr int kRing = 64 * 1024;
  TfHandle *h = Create(2, 1, kRing);
  ASSERT_NE(h, nullptr);
  // Before the ring is fixed the application records round the ring itself.
  std::string ring = Pattern(2, 0, kRing);
  ASSERT_EQ(tf_Write(0, ring.data(), kRing, h), kRing);
  TfFileStat st;
  ASSERT_EQ(tf_GetFileStat(&st, h), 0);
  EXPECT_EQ(st.st_size, kRing);  // bytes recorded from the ring's start

  // Oldest byte at 40000, newest just before 10000: the ring wrapped.
  ASSERT_EQ(tf_UpdataePreRecPtr(h, 40000, 10000), 0);
  std::string main = Pattern(3, 0, 5000);
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
  EXPECT_EQ(st.recType, 3);
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

TEST_F(RecordIoTest, RingSizesCountWrappedAndEqualPointers) {
  TfHandle *h = Create(4, 1, 1000);
  ASSERT_NE(h, nullptr);
  TfFileStat st;
  ASSERT_EQ(tf_UpdataePreRecPtr(h, 900, 100), 0);
  ASSERT_EQ(tf_GetFileStat(&st, h), 0);
  EXPECT_EQ(st.st_size, 200);
  ASSERT_EQ(tf_UpdataePreRecPtr(h, 900, 900), 0);
  ASSERT_EQ(tf_GetFileStat(&st, h), 0);
  EXPECT_EQ(st.st_size, 1000);  // equal pointers: a full ring
  ASSERT_EQ(tf_UpdataePreRecPtr(h, 100, 50), 0);
  ASSERT_EQ(tf_GetFileStat(&st, h), 0);
  EXPECT_EQ(st.st_size, 950);
  tf_CloseFile(h);
}

TEST_F(RecordIoTest, TruncationStopsAtTheRing) {
  TfHandle *ring = Create(5, 1, 1000);
  ASSERT_NE(ring, nullptr);
  ASSERT_EQ(tf_UpdataePreRecPtr(ring, 100, 600), 0);  // 500 ring bytes
  std::string data(300, 'm');
  ASSERT_EQ(tf_Write(500, data.data(), 300, ring), 300);
  EXPECT_EQ(tf_ftruncate(ring, 499), -1);
  EXPECT_EQ(tf_ftruncate(ring, 500), 0);
  TfFileStat st;
  ASSERT_EQ(tf_GetFileStat(&st, ring), 0);
  EXPECT_EQ(st.st_size, 500);
  EXPECT_EQ(tf_ftruncate(ring, int64_t(kRecUnit)), -1);
  EXPECT_EQ(tf_ftruncate(ring, -1), -1);

  TfHandle *plain = Create(6);
  ASSERT_EQ(tf_Write(0, data.data(), 300, plain), 300);
  ASSERT_EQ(tf_ftruncate(plain, 0), 0);
  EXPECT_EQ(plain->entry->header.EndAddr, plain->entry->header.StartAddr);
  char c;
  EXPECT_EQ(tf_Read(0, &c, 1, plain), -1);
  tf_CloseFile(ring);
  tf_CloseFile(plain);
}

TEST_F(RecordIoTest, RingPointersOfAFileWithoutRingOrPastTheRingChangeNothing) {
  TfHandle *plain = Create(7);
  TfHandle *ring = Create(8, 1, 1000);
  ASSERT_TRUE(plain && ring);
  TfFileHeader before = plain->entry->header;
  EXPECT_EQ(tf_UpdataePreRecPtr(plain, 1, 2), -1);
  EXPECT_EQ(memcmp(&before, &plain->entry->header, sizeof before), 0);
  before = ring->entry->header;
  EXPECT_EQ(tf_UpdataePreRecPtr(ring, 1000, 2), -1);
  EXPECT_EQ(tf_UpdataePreRecPtr(ring, 2, 1000), -1);
  EXPECT_EQ(tf_UpdataePreRecPtr(ring, -1, 2), -1);
  EXPECT_EQ(memcmp(&before, &ring->entry->header, sizeof before), 0);
  EXPECT_EQ(tf_UpdataePreRecPtr(nullptr, 1, 2), -1);
  tf_CloseFile(plain);
  tf_CloseFile(ring);
}

TEST_F(RecordIoTest, WriteThatReachesTheBlockEndLeavesTheEndAlone) {
  TfHandle *h = Create(9);
  ASSERT_NE(h, nullptr);
  uint64_t start = h->entry->header.StartAddr;
  uint32_t pos = uint32_t(kRecUnit - start - 4096);
  std::vector<char> page(4096, 'z');
  EXPECT_EQ(tf_Write(pos, page.data(), 4096, h), 4096);
  EXPECT_EQ(tf_GetErrorNo(h), 28);  // the block is full
  EXPECT_EQ(h->entry->header.EndAddr, start);
  EXPECT_EQ(tf_Write(pos + 1, page.data(), 4096, h), -1);
  EXPECT_EQ(tf_GetErrorNo(h), 28);
  tf_CloseFile(h);
}

}  // namespace
