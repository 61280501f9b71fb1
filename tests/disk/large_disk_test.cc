// The largest disk this file system can hold as an image (16 TiB less one
// page, sparse): format and mount stay independent of the block count (a
// mount reads a sector per used block, and these are free), and allocation
// and release cost one header area and the metadata writes.
// Prints the measured times.
#include <chrono>
#include <cstdio>

#include "disk/disk_fixture.h"

namespace zrfs::test {
namespace {

using Clock = std::chrono::steady_clock;

double MillisecondsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// Makes the image's written pages durable and drops them from the page
// cache, so the next reads come from the disk.
void FlushAndEvict(const std::string &realPath) {
  int fd = open(realPath.c_str(), O_RDWR);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(fdatasync(fd), 0);
  EXPECT_EQ(posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED), 0);
  close(fd);
}

TEST(LargeDiskTest, FormatMountAllocateAndReleaseOnA16TiBImage) {
  TestRoot root;
  constexpr uint64_t kImage = (uint64_t{16} << 40) - 4096;  // ext4's largest file
  std::string dev = root.MakeImage(TestRoot::DevicePath(0), kImage);
  ASSERT_EQ(fsc_ShareInit(), 0);
  ASSERT_EQ(df_Init(), 0);

  auto start = Clock::now();
  ASSERT_EQ(df_DiskFormat(dev.c_str()), 0);
  double formatMs = MillisecondsSince(start);
  FlushAndEvict(root.Real(dev));
  double formatDurableMs = MillisecondsSince(start);

  start = Clock::now();
  ASSERT_EQ(df_DiskMount(dev.c_str()), 0);
  double mountMs = MillisecondsSince(start);
  int blocks = df_GetDiskUsedBlockNum(dev.c_str());
  EXPECT_EQ(blocks, 16381);

  constexpr int kRounds = 8;
  int32_t got[kRounds];
  start = Clock::now();
  for (int i = 0; i < kRounds; ++i) got[i] = Allocate(dev, uint32_t(i));  // a new block each
  double allocateMs = MillisecondsSince(start) / kRounds;
  for (int i = 0; i < kRounds; ++i) ASSERT_EQ(got[i], i);

  start = Clock::now();
  for (int i = 0; i < kRounds; ++i) ASSERT_EQ(df_ReleaseBlock(0, got[i], i, 0), 0);
  double releaseMs = MillisecondsSince(start) / kRounds;

  // The last unmount drops the image; the next mount reads the device again.
  ASSERT_EQ(df_DiskUnmout(dev.c_str()), 0);
  FlushAndEvict(root.Real(dev));
  start = Clock::now();
  ASSERT_EQ(df_DiskMount(dev.c_str()), 0);
  double remountMs = MillisecondsSince(start);

  printf(
      "16 TiB image, %d blocks: format %.1f ms (%.1f ms with its flush), mount %.1f ms "
      "(%.1f ms from an evicted cache), allocation %.2f ms, release %.2f ms\n",
      blocks, formatMs, formatDurableMs, mountMs, remountMs, allocateMs, releaseMs);
  ::testing::Test::RecordProperty("format_ms", std::to_string(formatDurableMs));
  ::testing::Test::RecordProperty("mount_ms", std::to_string(remountMs));
  ::testing::Test::RecordProperty("allocate_ms", std::to_string(allocateMs));
  ::testing::Test::RecordProperty("release_ms", std::to_string(releaseMs));
  // Neither format nor mount touches a free block, so neither depends on
  // their number; allocation and release each zero one 2 MiB header area.
  EXPECT_LT(formatDurableMs, 5000);
  EXPECT_LT(remountMs, 2000);
  EXPECT_LT(allocateMs, 500);
  EXPECT_LT(releaseMs, 500);
}

}  // namespace
}  // namespace zrfs::test
