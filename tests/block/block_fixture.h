// A mounted disk image with the block-file layer started, for the tests of
// that layer.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "block/block_file.h"
#include "support/test_root.h"
#include "zrfs/bf.h"
#include "zrfs/df.h"
#include "zrfs/fsc.h"

namespace zrfs::test {

inline constexpr uint64_t kUnit = 0x40000000;
inline constexpr uint64_t kDataStart = 0x41100000;

// Size of an image that formats to `blocks` blocks.
inline constexpr uint64_t ImageBytes(int blocks) {
  return kDataStart + (blocks + 1) * kUnit;
}

// Starts the layers in this process (a forked child) and mounts the disk,
// formatting it first when asked.
inline void StartAndMount(const std::string &dev, bool format) {
  ASSERT_EQ(fsc_ShareInit(), 0);
  ASSERT_EQ(bf_Init(), 0);
  if (format) ASSERT_EQ(df_DiskFormat(dev.c_str()), 0);
  ASSERT_EQ(df_DiskMount(dev.c_str()), 0);
}

class BlockTest : public ::testing::Test {
 protected:
  static constexpr int kDisk = 3;

  void SetUp() override {
    dev_ = root_.MakeImage(TestRoot::DevicePath(kDisk), ImageBytes(4));
    ASSERT_EQ(fsc_ShareInit(), 0);
    ASSERT_EQ(bf_Init(), 0);
    ASSERT_EQ(df_DiskFormat(dev_.c_str()), 0);
    ASSERT_EQ(df_DiskMount(dev_.c_str()), 0);
  }

  FileCreateParam Param(uint32_t chan, uint32_t kind = 0, const char *ext = "mp4",
                        int32_t preRecSize = 0) {
    FileCreateParam p{};
    p.ichan = chan;
    p.createTime = 1700000000;
    p.kind = kind;
    p.preRecSize = preRecSize;
    p.recType = 7;
    snprintf(p.diskPath, sizeof p.diskPath, "%s", dev_.c_str());
    snprintf(p.extName, sizeof p.extName, "%s", ext);
    return p;
  }

  // Creates a record file; its name and header land in the arguments.
  BfHandle *Create(const FileCreateParam &p, std::string *name, TfFileHeader *header) {
    char buf[ZRFS_NAME_MAX] = {};
    BfHandle *h = bf_CreateFile(&p, buf, header);
    if (name != nullptr) *name = buf;
    return h;
  }

  // Raw bytes of the image at a device offset.
  std::string ReadImage(uint64_t offset, size_t len) {
    std::string out(len, '\0');
    int fd = open(root_.Real(dev_).c_str(), O_RDONLY);
    ssize_t got = pread(fd, out.data(), len, static_cast<off_t>(offset));
    close(fd);
    out.resize(got > 0 ? size_t(got) : 0);
    return out;
  }
  void WriteImage(uint64_t offset, const void *bytes, size_t len) {
    int fd = open(root_.Real(dev_).c_str(), O_WRONLY);
    ASSERT_EQ(pwrite(fd, bytes, len, static_cast<off_t>(offset)), ssize_t(len));
    close(fd);
  }
  template <typename T>
  T ReadRecord(uint64_t offset) {
    T value;
    std::string raw = ReadImage(offset, sizeof value);
    memcpy(&value, raw.data(), sizeof value);
    return value;
  }
  uint64_t BlockAddress(int blk) { return kDataStart + uint64_t(blk) * kUnit; }
  BlkHeader DiskBlockHeader(int blk) { return ReadRecord<BlkHeader>(BlockAddress(blk)); }
  TfFileHeader DiskFileHeader(int blk, uint32_t fileNo) {
    return ReadRecord<TfFileHeader>(BlockAddress(blk) + fileNo * 512ull);
  }
  uint8_t MapByte(int blk) { return uint8_t(ReadImage(0x8E0000 + blk, 1)[0]); }

  int OpenHandles() {
    int n = 0;
    for (BfHandle *h : g_stBlkFileTable) n += h != nullptr;
    return n;
  }

  TestRoot root_;
  std::string dev_;
};

}  // namespace zrfs::test
