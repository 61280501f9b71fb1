// The read-only view: what it lists and reads of a disk is what the library
// itself gives, while recorders keep writing, and it never writes, locks or
// attaches anything.
#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "block/mounted_image.h"
#include "support/fault_os.h"
#ifdef ZRFS_TOOL_PATH
#include <nlohmann/json.hpp>

#include "tools/tool_harness.h"
#endif

namespace {

using namespace zrfs::test;

class ViewTest : public MountedImage<Layer::kApi> {
 protected:
  // Every logical byte of a file, through the library and through the view.
  static std::string ReadAll(const std::string &name) {
    int fd = zrfs_Open(nullptr, const_cast<char *>(name.c_str()), 0);
    TfFileStat st;
    zrfs_fstat(fd, &st);
    std::string out(size_t(st.st_size), '\0');
    if (st.st_size > 0) zrfs_Read(fd, out.data(), uint32_t(out.size()));
    zrfs_Close(fd);
    return out;
  }
  static std::string ViewAll(ZrfsView *view, const std::string &name) {
    std::string out;
    char piece[7000];  // an odd size: reads cross the ring's pieces
    for (int n; (n = zrfs_ViewRead(view, name.c_str(), out.size(), piece, sizeof piece)) > 0;)
      out.append(piece, size_t(n));
    return out;
  }
};

TEST_F(ViewTest, ListsAndReadsWhatTheLibraryGivesWhileRecordingGoesOn) {
  std::string plain, ring, empty, other;
  int fd = CreateRecording(1, &plain);
  std::string data = PatternBytes(1, 100000);
  ASSERT_EQ(zrfs_Write(fd, data.data(), uint32_t(data.size())), int(data.size()));
  int ringFd = CreateRecording(1, &ring, 2, 1, 64 * 1024);
  std::string ringData = PatternBytes(2, 64 * 1024);
  ASSERT_EQ(zrfs_Write(ringFd, ringData.data(), 64 * 1024), 64 * 1024);
  ASSERT_EQ(zrfs_UpdataePreRecPtr(ringFd, 40000, 40000), 0);  // full, wrapped at 40000
  ASSERT_EQ(zrfs_Write(ringFd, data.data(), 5000), 5000);
  zrfs_Close(CreateRecording(2, &empty));
  int otherFd = CreateRecording(2, &other);
  ASSERT_EQ(zrfs_Write(otherFd, data.data(), 10), 10);

  ZrfsView *view = zrfs_ViewOpen(dev_.c_str(), -1);
  ASSERT_NE(view, nullptr) << zrfs_StrError(zrfs_LastError());
  ZrfsViewInfo info;
  ASSERT_EQ(zrfs_ViewInfo(view, &info), 0);
  EXPECT_EQ(info.blocks, 4u);
  EXPECT_EQ(info.usedBlocks + info.freeBlocks + info.badBlocks, 4u);
  ZrfsViewBlock blocks[4];
  int used = zrfs_ViewBlocks(view, blocks, 4);
  ASSERT_EQ(used, int(info.usedBlocks));

  std::vector<std::string> listed;
  for (int i = 0; i < used; ++i) {
    TfFileStat st[8];
    int n = zrfs_ViewBlockFiles(view, int(blocks[i].blkid), st, 8);
    ASSERT_EQ(n, int(blocks[i].fileNum));
    for (int f = 0; f < n; ++f) {
      listed.push_back(st[f].filename);
      TfFileStat mine;
      ASSERT_EQ(zrfs_Stat(st[f].filename, &mine), 0) << st[f].filename;
      EXPECT_EQ(st[f].st_size, mine.st_size) << st[f].filename;
      EXPECT_EQ(st[f].ichan, mine.ichan);
    }
  }
  for (const std::string &name : {plain, ring, empty, other}) {
    EXPECT_NE(std::find(listed.begin(), listed.end(), name), listed.end()) << name;
    EXPECT_EQ(ViewAll(view, name), ReadAll(name)) << name;
  }
  EXPECT_EQ(ViewAll(view, ring).substr(0, 64 * 1024),
            ringData.substr(40000) + ringData.substr(0, 40000));
  char tail[100];
  EXPECT_EQ(zrfs_ViewRead(view, plain.c_str(), 99990, tail, 100), 10);  // across the end
  EXPECT_EQ(zrfs_ViewRead(view, plain.c_str(), 100000, tail, 100), 0);  // at it

  // A recording that grows shows its new size at once; a new block after a
  // refresh.
  ASSERT_EQ(zrfs_Write(fd, data.data(), 1000), 1000);
  TfFileStat st;
  ASSERT_EQ(zrfs_ViewStat(view, plain.c_str(), &st), 0);
  EXPECT_EQ(st.st_size, 101000);
  std::string third;
  int thirdFd = CreateRecording(3, &third);
  ASSERT_GE(thirdFd, 0);
  ASSERT_EQ(zrfs_ViewRefresh(view), 0);
  EXPECT_EQ(zrfs_ViewStat(view, third.c_str(), &st), 0);

  zrfs_ViewClose(view);
  for (int f : {fd, ringFd, otherFd, thirdFd}) zrfs_Close(f);

#ifdef ZRFS_TOOL_PATH
  // The tool gives the ring with equal pointers the same meaning: a full
  // ring, its size and bytes as the library's, and nothing for check.
  auto tool = [&](std::vector<std::string> args) {
    args.insert(args.begin(), {"--root", root_.path()});
    return RunTool(args);
  };
  auto listing = nlohmann::json::parse(tool({"ls", dev_, "--json"}).out, nullptr, false);
  ASSERT_TRUE(listing.is_object());
  bool seen = false;
  for (const auto &file : listing["files"])
    if (file["name"] == ring) {
      seen = true;
      EXPECT_EQ(file["pre_record"], "full");
      EXPECT_EQ(file["size"], 64 * 1024 + 5000);
    }
  EXPECT_TRUE(seen) << listing.dump();
  EXPECT_TRUE(tool({"export", dev_, ring}).out == ReadAll(ring));
  EXPECT_EQ(tool({"check", dev_}).status, 0);
#endif
}

TEST_F(ViewTest, NeverWritesLocksOrAttaches) {
  std::string name;
  int fd = CreateRecording(1, &name);
  ASSERT_EQ(zrfs_Write(fd, "abc", 3), 3);
  zrfs_Close(fd);
  std::string before = ReadImage(0, 0x1000000);
  FaultOs counting;
  ZrfsView *view = zrfs_ViewOpen(dev_.c_str(), -1);
  ASSERT_NE(view, nullptr);
  char buf[3];
  EXPECT_EQ(zrfs_ViewRead(view, name.c_str(), 0, buf, 3), 3);
  EXPECT_EQ(std::string(buf, 3), "abc");
  ZrfsViewInfo info;
  EXPECT_EQ(zrfs_ViewInfo(view, &info), 0);
  EXPECT_EQ(zrfs_ViewRefresh(view), 0);
  zrfs_ViewClose(view);
  EXPECT_EQ(counting.Count(Call::kWrite), 0);
  EXPECT_EQ(counting.CountOnOwnThread(Call::kSemOp), 0);
  EXPECT_EQ(counting.CountOnOwnThread(Call::kShmGet), 0);
  EXPECT_EQ(ReadImage(0, 0x1000000), before);
}

TEST_F(ViewTest, RefusalsTellTheirReason) {
  EXPECT_EQ(zrfs_ViewOpen(nullptr, -1), nullptr);
  EXPECT_EQ(zrfs_LastError(), ZRFS_EBADARG);
  EXPECT_EQ(zrfs_ViewOpen("/no/such/image", -1), nullptr);
  EXPECT_EQ(zrfs_LastError(), ZRFS_ENODEV);
  std::string blank = root_.MakeImage(TestRoot::DevicePath(6), kDataStart + 2 * kUnit);
  EXPECT_EQ(zrfs_ViewOpen(blank.c_str(), -1), nullptr);
  EXPECT_EQ(zrfs_LastError(), ZRFS_ENOTFORMATTED);

  std::string name;
  int fd = CreateRecording(1, &name);
  zrfs_Close(fd);
  ZrfsView *view = zrfs_ViewOpen(dev_.c_str(), -1);
  ASSERT_NE(view, nullptr);
  TfFileStat st;
  std::string otherTag = name;
  otherTag[14] = otherTag[14] == 'A' ? 'B' : 'A';
  EXPECT_EQ(zrfs_ViewStat(view, otherTag.c_str(), &st), -1);
  EXPECT_EQ(zrfs_LastError(), ZRFS_ENOENT);
  EXPECT_EQ(zrfs_ViewStat(view, "no record-file name", &st), -1);
  EXPECT_EQ(zrfs_LastError(), ZRFS_EBADARG);
  EXPECT_EQ(zrfs_ViewBlockFiles(view, 3, &st, 1), -1);  // a free block
  EXPECT_EQ(zrfs_LastError(), ZRFS_ENOENT);
  ASSERT_EQ(zrfs_Unlink(name.c_str()), 0);
  EXPECT_EQ(zrfs_ViewStat(view, name.c_str(), &st), -1);  // its header slot is cleared at once
  ASSERT_EQ(zrfs_ViewRefresh(view), 0);
  EXPECT_EQ(zrfs_ViewStat(view, name.c_str(), &st), -1);
  EXPECT_EQ(zrfs_LastError(), ZRFS_ENOENT);
  zrfs_ViewClose(view);
  EXPECT_EQ(zrfs_LastError(), ZRFS_OK);  // a close settles the reason too
}

// The view takes the copy a mount takes: the newest whose header and map
// pass the mount's checks.  Copy 0 here missed the allocation of the
// recording's block (its writes failed); then its header is damaged too.
TEST_F(ViewTest, TakesTheCopyAMountTakes) {
  std::string name;
  int fd = CreateRecording(1, &name);
  zrfs_Close(fd);
  int blk = int(strtol(name.substr(2, 6).c_str(), nullptr, 16));
  auto head = ReadRecord<zrfs::DfDiskHeader>(zrfs::HeaderPlace(0));
  head.updateCount -= 1;
  WriteImage(zrfs::HeaderPlace(0), &head, sizeof head);
  uint8_t free = zrfs::kBlkFree;
  for (uint64_t place : {zrfs::MapPlaceA(0), zrfs::MapPlaceB(0)})
    WriteImage(place + uint64_t(blk), &free, 1);
  for (const char *junk : {"ZRFS", "JUNK"}) {
    WriteImage(zrfs::HeaderPlace(0), junk, 4);
    ZrfsView *view = zrfs_ViewOpen(dev_.c_str(), -1);
    ASSERT_NE(view, nullptr) << junk;
    TfFileStat st;
    EXPECT_EQ(zrfs_ViewStat(view, name.c_str(), &st), 0) << junk;
    zrfs_ViewClose(view);
  }
}

}  // namespace
