#include <sys/ipc.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "shared/keys.h"
#include "support/test_root.h"
#include "zrfs/fsc.h"

namespace {

using zrfs::test::TestRoot;

// Slot n's key is ftok of key file n / 126 with project id n % 126 + 1;
// cached keys must equal fresh ones for every project id.
TEST(KeysTest, SlotKeysWalkTheKeyFilesInRunsOf126) {
  TestRoot root;
  for (int slot = 0; slot < 2072; ++slot) {
    std::string file = root.Real("/dvr/zrfs/zrfs" + std::to_string(slot / 126));
    int key = fsc_GetShmKey(slot);  // makes the key file first
    ASSERT_EQ(key, ftok(file.c_str(), slot % 126 + 1)) << slot;
  }
  for (int outside : {-1, 2072, INT32_MIN}) EXPECT_EQ(fsc_GetShmKey(outside), -1) << outside;
}

TEST(KeysTest, ShareKeyMakesAMissingKeyFileAndRefusesBadArguments) {
  TestRoot root;
  const char *layer = "/dvr/zrfs/zrfslayer";
  std::string real = root.Real(layer);
  ASSERT_NE(access(real.c_str(), F_OK), 0);
  int key = fsc_GetShareKey(layer, 'a');
  EXPECT_EQ(key, ftok(real.c_str(), 'a'));
  struct stat st;
  ASSERT_EQ(stat(real.c_str(), &st), 0);
  EXPECT_EQ(st.st_size, 0);
  EXPECT_EQ(fsc_GetShareKey(layer, 'a'), key);  // the same file, the same key
  EXPECT_NE(fsc_GetShareKey(layer, 255), -1);
  for (int projId : {0, 256, -1}) EXPECT_EQ(fsc_GetShareKey(layer, projId), -1) << projId;
  EXPECT_EQ(fsc_GetShareKey(nullptr, 1), -1);
  EXPECT_EQ(fsc_GetShareKey("", 1), -1);
  EXPECT_EQ(fsc_GetShareKey("/no/such/directory/file", 1), -1);
}

TEST(KeyDirectory, IsMadeWithItsParentsUnderARoot) {
  TestRoot root;
  rmdir(root.Real("/dvr/zrfs").c_str());
  rmdir(root.Real("/dvr").c_str());
  EXPECT_EQ(fsc_GetShmKey(0), -1);  // no key directory, no key
  zrfs::EnsureKeyDirectory();
  struct stat st;
  ASSERT_EQ(stat(root.Real("/dvr/zrfs").c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_NE(fsc_GetShmKey(0), -1);
}

}  // namespace
