// The library started through its public interface on a mounted disk image.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "support/test_root.h"
#include "zrfs.h"

namespace zrfs::test {

inline constexpr uint64_t kApiUnit = 0x40000000;
inline constexpr uint64_t kApiDataStart = 0x41100000;

class ApiTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dev_ = root_.MakeImage(TestRoot::DevicePath(3), kApiDataStart + 5 * kApiUnit);
    ASSERT_EQ(zrfs_Init(), 0);
    ASSERT_EQ(zrfs_Format(dev_.c_str()), 0);
    ASSERT_EQ(zrfs_Mount(dev_.c_str()), 0);
  }
  void TearDown() override { zrfs_DeInit(); }

  FileCreateParam Param(uint32_t chan, uint32_t kind = 0, int32_t preRecSize = 0) {
    FileCreateParam p{};
    p.ichan = chan;
    p.createTime = 1700000000;
    p.kind = kind;
    p.preRecSize = preRecSize;
    p.recType = 1;
    snprintf(p.diskPath, sizeof p.diskPath, "%s", dev_.c_str());
    snprintf(p.extName, sizeof p.extName, "%s", "h264");
    return p;
  }
  // Creates a record file; returns its descriptor and name.
  int Create(uint32_t chan, std::string *name = nullptr, int flags = 2) {
    FileCreateParam p = Param(chan);
    char buf[ZRFS_NAME_MAX] = {};
    int fd = zrfs_Open(&p, buf, flags);
    if (name != nullptr) *name = buf;
    return fd;
  }

  TestRoot root_;
  std::string dev_;
};

}  // namespace zrfs::test
