// What a block's append position must survive: other processes attaching the
// block while it is written, and crashes that left the block header behind
// its files.
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>

#include <gtest/gtest.h>

#include "block/mounted_image.h"
#include "os/os.h"
#include "support/processes.h"

namespace {

using namespace std::chrono_literals;
using namespace zrfs::test;
using zrfs::BlkHeader;
using zrfs::TfFileHeader;

// Runs a hook around reads and writes of one device range.
class HookOs final : public zrfs::OsWrapper {
 public:
  HookOs() : OsWrapper(zrfs::PosixOs()) { zrfs::InstallOs(this); }
  ~HookOs() { zrfs::InstallOs(nullptr); }
  std::function<void(uint64_t offset, size_t len)> beforeWrite, afterRead;

  ssize_t PWrite(int fd, const void *b, size_t n, uint64_t at) override {
    if (beforeWrite) beforeWrite(at, n);
    return target().PWrite(fd, b, n, at);
  }
  ssize_t PRead(int fd, void *b, size_t n, uint64_t at) override {
    ssize_t got = target().PRead(fd, b, n, at);
    if (afterRead) afterRead(at, n);
    return got;
  }
};

struct Shared {
  std::atomic<int> step;
  char file1[64];
  char file2[64];
};

class ReattachTest : public ::testing::Test {
 protected:
  void SetUp() override { dev_ = MakeDisk(root_, 2); }

  // Formats the disk and makes two empty files of channel 9 in block 0.
  void MakeTwoFiles() {
    ASSERT_TRUE(RunInChildren(
        1,
        [&](int) {
          StartAndMount(Layer::kBlock, dev_, true);
          for (char *name : {shared_->file1, shared_->file2}) {
            FileCreateParam p = Param(dev_, 9);
            TfFileHeader file;
            BfHandle *h = bf_CreateFile(&p, name, &file);
            ASSERT_NE(h, nullptr);
            bf_CloseFile(h);
          }
        },
        30s));
  }
  template <typename T>
  T ReadImage(uint64_t offset) {
    T value;
    int fd = open(root_.Real(dev_).c_str(), O_RDONLY);
    EXPECT_EQ(pread(fd, &value, sizeof value, off_t(offset)), ssize_t(sizeof value));
    close(fd);
    return value;
  }
  // Creates a third file in block 0, writes its first 64 KiB, and checks it
  // starts behind the first file, whose last byte is still there.
  void ExpectAThirdFileStartsBehindTheFirst() {
    ASSERT_TRUE(RunInChildren(
        1,
        [&](int) {
          StartAndMount(Layer::kBlock, dev_, false);
          FileCreateParam p = Param(dev_, 9);
          char name[64];
          TfFileHeader file;
          BfHandle *h = bf_CreateFile(&p, name, &file);
          ASSERT_NE(h, nullptr);
          ASSERT_EQ(h->share->blkid, 0);
          std::string data(65536, 'C');
          EXPECT_EQ(bf_Write(uint32_t(file.StartAddr), data.data(), 65536, h), 65536);
          bf_CloseFile(h);
        },
        30s));
    auto first = ReadImage<TfFileHeader>(kDataStart + 512);
    auto third = ReadImage<TfFileHeader>(kDataStart + 3 * 512);
    EXPECT_GE(third.StartAddr, first.EndAddr) << "the third file starts inside the first";
    EXPECT_EQ(third.StartAddr % 4096, 0u);
    EXPECT_EQ(ReadImage<char>(kDataStart + first.EndAddr - 1), 'A');
  }

  TestRoot root_;
  std::string dev_;
  SharedMapping<Shared> shared_;
};

// Process A raises the append position while process B attaches the block
// for another file: B must not put the older header back.
TEST_F(ReattachTest, AttachingAHeldBlockKeepsItsRaisedAppendPosition) {
  MakeTwoFiles();
  const std::string data(3 * 4096 + 7, 'A');
  pid_t writer = Spawn([&] {
    StartAndMount(Layer::kBlock, dev_, false);
    TfFileHeader file;
    BfHandle *h = bf_OpenFile(shared_->file1, &file);
    ASSERT_NE(h, nullptr);
    ASSERT_EQ(bf_Write(uint32_t(file.EndAddr), data.data(), uint32_t(data.size()), h),
              int(data.size()));
    file.EndAddr += data.size();
    HookOs hook;
    hook.beforeWrite = [&](uint64_t offset, size_t len) {
      if (offset != kDataStart || len != 512 || shared_->step != 0) return;
      shared_->step = 1;  // raised in memory, not yet on disk: let B attach now
      auto deadline = std::chrono::steady_clock::now() + 2s;
      while (shared_->step < 2 && std::chrono::steady_clock::now() < deadline) usleep(1000);
    };
    EXPECT_EQ(bf_Sync(&file, h), 0);
    bf_CloseFile(h);
  });
  pid_t opener = Spawn([&] {
    StartAndMount(Layer::kBlock, dev_, false);
    while (shared_->step < 1) usleep(1000);
    HookOs hook;
    hook.afterRead = [&](uint64_t offset, size_t len) {
      if (offset == kDataStart && len == 512) shared_->step = 2;
    };
    TfFileHeader file;
    BfHandle *h = bf_OpenFile(shared_->file2, &file);
    ASSERT_NE(h, nullptr);
    shared_->step = 3;
    bf_CloseFile(h);
  });
  ASSERT_TRUE(WaitAll({writer, opener}, 30s));
  ExpectAThirdFileStartsBehindTheFirst();
}

// A crash kept the first file's new end but not the block header's raised
// append position: the next file must still start behind the first one.
TEST_F(ReattachTest, FreshEntryCoversFilesThatEndPastTheStoredAppendPosition) {
  MakeTwoFiles();
  ASSERT_TRUE(RunInChildren(
      1,
      [&](int) {
        StartAndMount(Layer::kBlock, dev_, false);
        TfFileHeader file;
        BfHandle *h = bf_OpenFile(shared_->file1, &file);
        ASSERT_NE(h, nullptr);
        std::string data(5 * 4096 + 1, 'A');
        ASSERT_EQ(bf_Write(uint32_t(file.EndAddr), data.data(), uint32_t(data.size()), h),
                  int(data.size()));
        file.EndAddr += data.size();
        ASSERT_EQ(bf_Sync(&file, h), 0);
        bf_CloseFile(h);
      },
      30s));
  auto block = ReadImage<BlkHeader>(kDataStart);
  ASSERT_GT(block.appendPos, 0x200000);
  block.appendPos = 0x200000;  // the block header as it was before the crash
  int fd = open(root_.Real(dev_).c_str(), O_WRONLY);
  ASSERT_EQ(pwrite(fd, &block, sizeof block, off_t(kDataStart)), ssize_t(sizeof block));
  close(fd);

  ExpectAThirdFileStartsBehindTheFirst();
}

}  // namespace

// Looking at a file reads its block header and its own header, however many
// files the block holds: only placing a new file needs the others' headers.
TEST_F(ReattachTest, OpeningAFileReadsOnlyTheHeadersItNeeds) {
  ASSERT_TRUE(RunInChildren(
      1,
      [&](int) {
        StartAndMount(Layer::kBlock, dev_, true);
        for (int i = 0; i < 300; ++i) {
          FileCreateParam p = Param(dev_, 9);
          TfFileHeader file;
          BfHandle *h = bf_CreateFile(&p, i == 150 ? shared_->file1 : shared_->file2, &file);
          ASSERT_NE(h, nullptr);
          bf_CloseFile(h);
        }
      },
      30s));
  ASSERT_TRUE(RunInChildren(
      1,
      [&](int) {
        StartAndMount(Layer::kBlock, dev_, false);
        size_t headerBytesRead = 0;
        HookOs hook;
        hook.afterRead = [&](uint64_t offset, size_t len) {
          if (offset >= kDataStart && offset < kDataStart + 0x200000) headerBytesRead += len;
        };
        TfFileHeader file;
        BfHandle *h = bf_OpenFile(shared_->file1, &file);
        ASSERT_NE(h, nullptr);
        EXPECT_EQ(file.fileNo, 151u);
        bf_CloseFile(h);
        EXPECT_EQ(headerBytesRead, 1024u);
      },
      30s));
}
