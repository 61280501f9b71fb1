// The listing and removal of a root's System V objects, and the count of a
// disk's users, that the tool, the benchmark, the demo and these tests use
// instead of knowing the key scheme and the shared image's layout.
#include <sys/ipc.h>
#include <sys/sem.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/recording_param.h"
#include "support/test_root.h"
#include "zrfs.h"

namespace {

using zrfs::test::TestRoot;

std::vector<ZrfsIpcObject> List(const std::string &root) {
  std::vector<ZrfsIpcObject> objects(8192);
  int count = zrfs_ListIpcObjects(root.c_str(), objects.data(), int(objects.size()));
  EXPECT_GE(count, 0);
  objects.resize(size_t(count < 0 ? 0 : count));
  return objects;
}

bool Has(const std::vector<ZrfsIpcObject> &objects, const std::string &role) {
  for (const ZrfsIpcObject &o : objects)
    if (role == o.role) return true;
  return false;
}

TEST(IpcObjectsTest, ListsWhatTheLibraryMadeAndRemovesAllOfIt) {
  TestRoot root;
  EXPECT_TRUE(List(root.path()).empty());  // nothing made, no key file read into being

  ASSERT_EQ(zrfs_Init(), 0);
  std::string dev = root.MakeImage(TestRoot::DevicePath(3), 6ull << 30);
  ASSERT_EQ(zrfs_Format(dev.c_str()), 0);
  ASSERT_EQ(zrfs_Mount(dev.c_str()), 0);
  FileCreateParam p = zrfs::test::RecordingParam(dev, 5);
  char name[ZRFS_NAME_MAX];
  int fd = zrfs_Open(&p, name, 2);
  ASSERT_GE(fd, 0);

  EXPECT_EQ(zrfs_DiskUsers(root.path().c_str(), 3), 1);  // this process
  EXPECT_EQ(zrfs_DiskUsers(root.path().c_str(), 4), 0);  // never mounted: no image
  EXPECT_EQ(zrfs_DiskUsers(root.path().c_str(), 24), -1);

  std::vector<ZrfsIpcObject> objects = List(root.path());
  for (const char *role : {"file list", "pool", "record-file table lock", "block table lock",
                           "block creation lock", "disk 3 image", "disk 3 lock"})
    EXPECT_TRUE(Has(objects, role)) << role;
  int fileLocks = 0, blockLocks = 0;
  for (const ZrfsIpcObject &o : objects) {
    std::string role = o.role;
    fileLocks += role.rfind("lock of record-file slot", 0) == 0;
    blockLocks += role.rfind("lock of block slot", 0) == 0;
    // Every listed object is what it says it is, under the key it says.
    if (o.kind == ZRFS_IPC_SEMAPHORES) EXPECT_EQ(semget(o.key, 0, 0), o.id) << o.role;
  }
  EXPECT_EQ(fileLocks, 1);
  EXPECT_EQ(blockLocks, 1);

  // A short array still learns the whole count.
  ZrfsIpcObject two[2];
  EXPECT_EQ(zrfs_ListIpcObjects(root.path().c_str(), two, 2), int(objects.size()));
  EXPECT_EQ(zrfs_ListIpcObjects(root.path().c_str(), nullptr, 0), int(objects.size()));
  EXPECT_EQ(zrfs_ListIpcObjects(std::string(300, 'x').c_str(), nullptr, 0), -1);

  zrfs_Close(fd);
  zrfs_UnMount(dev.c_str());
  EXPECT_EQ(zrfs_DiskUsers(root.path().c_str(), 3), 0);
  EXPECT_EQ(zrfs_RemoveIpcObjects(root.path().c_str()), int(objects.size()));
  EXPECT_TRUE(List(root.path()).empty());
  EXPECT_EQ(zrfs_RemoveIpcObjects(root.path().c_str()), 0);
}

}  // namespace
