// A mounted disk image with the record-file layer started.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "block/block_file.h"
#include "record/record_file.h"
#include "support/test_root.h"
#include "zrfs/df.h"
#include "zrfs/tf.h"

namespace zrfs::test {

inline constexpr uint64_t kRecUnit = 0x40000000;
inline constexpr uint64_t kRecDataStart = 0x41100000;

inline std::string MakeDiskImage(TestRoot &root, int blocks) {
  return root.MakeImage(TestRoot::DevicePath(3), kRecDataStart + (blocks + 1) * kRecUnit);
}

// Starts the library's lower layers in this process and mounts the disk.
inline void StartRecordLayer(const std::string &dev, bool format) {
  ASSERT_EQ(tf_Init(), 0);
  if (format) ASSERT_EQ(df_DiskFormat(dev.c_str()), 0);
  ASSERT_EQ(df_DiskMount(dev.c_str()), 0);
}

inline FileCreateParam RecordParam(const std::string &dev, uint32_t chan, uint32_t kind = 0,
                                   int32_t preRecSize = 0) {
  FileCreateParam p{};
  p.ichan = chan;
  p.createTime = 1700000000;
  p.kind = kind;
  p.preRecSize = preRecSize;
  p.recType = 3;
  snprintf(p.diskPath, sizeof p.diskPath, "%s", dev.c_str());
  snprintf(p.extName, sizeof p.extName, "%s", "dat");
  return p;
}

// Byte i of a recording made by writer w.
inline char PatternByte(int w, uint64_t i) {
  return char((i * 131 + uint64_t(w) * 7 + i / 977) & 0xFF);
}

class RecordTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dev_ = MakeDiskImage(root_, 4);
    StartRecordLayer(dev_, true);
  }
  TfHandle *Create(uint32_t chan, uint32_t kind = 0, int32_t preRecSize = 0,
                   std::string *name = nullptr) {
    FileCreateParam p = RecordParam(dev_, chan, kind, preRecSize);
    char buf[ZRFS_NAME_MAX] = {};
    TfHandle *h = tf_OpenFile(&p, buf);
    if (name != nullptr) *name = buf;
    return h;
  }
  TfFileHeader DiskHeader(TfHandle *h) {
    TfFileHeader out;
    uint64_t at = kRecDataStart + uint64_t(h->entry->header.fileNo) * 512 +
                  uint64_t(bf_BlockOf(h)) * kRecUnit;
    int fd = open(root_.Real(dev_).c_str(), O_RDONLY);
    EXPECT_EQ(pread(fd, &out, sizeof out, off_t(at)), ssize_t(sizeof out));
    close(fd);
    return out;
  }
  static int bf_BlockOf(TfHandle *h) { return h->blockFile->share->blkid; }
  int OpenHandles() {
    int n = 0;
    for (TfHandle *h : g_tfFileTable) n += h != nullptr;
    return n;
  }

  TestRoot root_;
  std::string dev_;
};

}  // namespace zrfs::test
