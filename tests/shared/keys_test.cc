#include <sys/ipc.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "shared/keys.h"
#include "support/test_root.h"
#include "zrfs/fsc.h"

namespace {

using zrfs::test::TestRoot;

class KeysTest : public ::testing::Test {
 protected:
  key_t RealKey(int file, int projId) {
    return ftok(root_.Real("/dvr/zrfs/zrfs" + std::to_string(file)).c_str(), projId);
  }
  TestRoot root_;
};

TEST_F(KeysTest, SlotKeysWalkTheKeyFilesInRunsOf126) {
  struct {
    int slot, file, projId;
  } cases[] = {{0, 0, 1}, {125, 0, 126}, {126, 1, 1}, {1000, 7, 119}, {2047, 16, 32}, {2071, 16, 56}};
  for (const auto &c : cases) {
    int key = fsc_GetShmKey(c.slot);
    ASSERT_NE(key, -1) << c.slot;
    EXPECT_EQ(key, RealKey(c.file, c.projId)) << "slot " << c.slot;
  }
}

TEST_F(KeysTest, CachedKeysEqualFreshOnesForEveryProjectId) {
  for (int slot = 0; slot < 2072; ++slot) {
    int key = fsc_GetShmKey(slot);  // makes the key file first
    ASSERT_EQ(key, RealKey(slot / 126, slot % 126 + 1)) << slot;
  }
}

TEST_F(KeysTest, SlotsOutsideThePoolHaveNoKey) {
  EXPECT_EQ(fsc_GetShmKey(-1), -1);
  EXPECT_EQ(fsc_GetShmKey(2072), -1);
  EXPECT_EQ(fsc_GetShmKey(INT32_MIN), -1);
}

TEST_F(KeysTest, ShareKeyMakesAMissingKeyFile) {
  std::string real = root_.Real("/dvr/zrfs/zrfslayer");
  ASSERT_NE(access(real.c_str(), F_OK), 0);
  int key = fsc_GetShareKey("/dvr/zrfs/zrfslayer", 'a');
  ASSERT_NE(key, -1);
  EXPECT_EQ(key, ftok(real.c_str(), 'a'));
  struct stat st;
  ASSERT_EQ(stat(real.c_str(), &st), 0);
  EXPECT_EQ(st.st_size, 0);
  EXPECT_EQ(fsc_GetShareKey("/dvr/zrfs/zrfslayer", 'a'), key);  // the same file, the same key
}

TEST_F(KeysTest, ShareKeyRefusesBadArguments) {
  EXPECT_EQ(fsc_GetShareKey(nullptr, 1), -1);
  EXPECT_EQ(fsc_GetShareKey("", 1), -1);
  EXPECT_EQ(fsc_GetShareKey("/dvr/zrfs/zrfslayer", 0), -1);
  EXPECT_EQ(fsc_GetShareKey("/dvr/zrfs/zrfslayer", 256), -1);
  EXPECT_EQ(fsc_GetShareKey("/dvr/zrfs/zrfslayer", -1), -1);
  EXPECT_NE(fsc_GetShareKey("/dvr/zrfs/zrfslayer", 255), -1);
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
