#include <fcntl.h>
#include <unistd.h>

#include <cstring>

#include <gtest/gtest.h>

#include "os/os.h"
#include "os/root_dir.h"
#include "support/test_root.h"
#include "zrfs.h"

namespace {

using zrfs::os;
using zrfs::test::TestRoot;

TEST(RootDirectory, ResolvesEveryPathUnderItAndRefusesWhatIsNoDirectory) {
  TestRoot root;
  auto resolved = [](const char *path, size_t room = 4096) {
    char out[4096];
    return zrfs::ResolvePath(path, out, room) ? std::string(out) : std::string("(refused)");
  };
  EXPECT_EQ(resolved("/dev/scsi/host03/part1"), root.path() + "/dev/scsi/host03/part1");
  EXPECT_EQ(resolved("relative/x"), root.path() + "/relative/x");
  EXPECT_EQ(resolved("/dev/x", root.path().size() + 6), "(refused)");  // no room for the NUL
  EXPECT_EQ(resolved("/dev/x", root.path().size() + 7), root.path() + "/dev/x");

  EXPECT_EQ(zrfs_SetRootDir("/no/such/dir"), -1);
  EXPECT_EQ(zrfs_SetRootDir(root.Real(root.MakeImage("/file", 10)).c_str()), -1);  // a file
  EXPECT_EQ(resolved("/a"), root.path() + "/a");  // a refused root leaves the old one
  EXPECT_EQ(zrfs_SetRootDir((root.path() + "///").c_str()), 0);
  EXPECT_EQ(resolved("/a"), root.path() + "/a");
  EXPECT_EQ(zrfs_SetRootDir(""), 0);
  EXPECT_EQ(resolved("/a"), "/a");
  EXPECT_EQ(zrfs_SetRootDir(root.path().c_str()), 0);
}

TEST(DiskImages, ServeAsDevicesWithTheirSizeAndPresence) {
  TestRoot root;
  std::string dev = root.MakeImage(TestRoot::DevicePath(3), (uint64_t{5} << 30) + 512);
  int fd = os().Open(dev.c_str(), O_RDWR, 0);
  ASSERT_GE(fd, 0);
  uint64_t bytes = 0;
  uint32_t sectors = 0;
  ASSERT_EQ(os().DeviceBytes(fd, &bytes), 0);
  EXPECT_EQ(bytes, (uint64_t{5} << 30) + 512);
  ASSERT_EQ(os().DeviceSectors(fd, &sectors), 0);
  EXPECT_EQ(sectors, (uint32_t{5} << 21) + 1);
  int present = -1;
  ASSERT_EQ(os().Presence(fd, &present), 0);
  EXPECT_EQ(present, 1);

  unlink(root.Real(dev).c_str());  // pulling the disk
  ASSERT_EQ(os().Presence(fd, &present), 0);
  EXPECT_EQ(present, 0);
  EXPECT_EQ(os().Close(fd), 0);
  EXPECT_LT(os().Open(dev.c_str(), O_RDWR, 0), 0);
}

TEST(DiskImages, LoopDeviceWithoutThePresenceRequestCountsAsPresent) {
  TestRoot root;
  std::string image = root.Real(root.MakeImage("/loop.img", 1 << 20));
  FILE *p = popen(("losetup --find --show " + image + " 2>/dev/null").c_str(), "r");
  char loop[64] = {};
  bool ok = p != nullptr && fgets(loop, sizeof loop, p) != nullptr;
  if (p != nullptr) pclose(p);
  if (!ok) GTEST_SKIP() << "no loop device available here";
  loop[strcspn(loop, "\n")] = '\0';
  zrfs_SetRootDir("");  // the loop device is a real path
  int fd = os().Open(loop, O_RDONLY, 0);
  int present = -1;
  uint64_t bytes = 0;
  int presenceRc = fd >= 0 ? os().Presence(fd, &present) : -1;
  int sizeRc = fd >= 0 ? os().DeviceBytes(fd, &bytes) : -1;
  if (fd >= 0) os().Close(fd);
  (void)!system((std::string("losetup -d ") + loop).c_str());
  zrfs_SetRootDir(root.path().c_str());
  ASSERT_GE(fd, 0);
  EXPECT_EQ(presenceRc, 0);
  EXPECT_EQ(present, 1);
  EXPECT_EQ(sizeRc, 0);
  EXPECT_EQ(bytes, 1u << 20);
}

}  // namespace
