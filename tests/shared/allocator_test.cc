#include <gtest/gtest.h>

#include <cstdlib>

#include "zrfs.h"

namespace {

int g_allocs;
int g_frees;
uint32_t g_lastSize;
void *g_lastFreed;

void *CountingAlloc(uint32_t size) {
  ++g_allocs;
  g_lastSize = size;
  return malloc(size);
}

void CountingFree(void *ptr) {
  ++g_frees;
  g_lastFreed = ptr;
  free(ptr);
}

class AllocatorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    zrfs_InitAllocatorInterface();
    g_allocs = g_frees = 0;
    g_lastSize = 0;
    g_lastFreed = nullptr;
  }
  void TearDown() override { zrfs_InitAllocatorInterface(); }
};

TEST_F(AllocatorTest, RegisteredPairServesEveryBlock) {
  EXPECT_EQ(zrfs_RegistAllocatorInterface(CountingAlloc, CountingFree), 0);
  void *p = zrfs_Malloc(56);
  ASSERT_NE(p, nullptr);
  zrfs_Free(p);
  EXPECT_EQ(g_allocs, 1);
  EXPECT_EQ(g_lastSize, 56u);
  EXPECT_EQ(g_frees, 1);
  EXPECT_EQ(g_lastFreed, p);
}

TEST_F(AllocatorTest, RegistrationWithANullCallbackChangesNothing) {
  ASSERT_EQ(zrfs_RegistAllocatorInterface(CountingAlloc, CountingFree), 0);
  EXPECT_EQ(zrfs_RegistAllocatorInterface(nullptr, free), 0);
  EXPECT_EQ(zrfs_RegistAllocatorInterface(CountingAlloc, nullptr), 0);
  zrfs_Free(zrfs_Malloc(24));
  EXPECT_EQ(g_allocs, 1);  // the first pair is still in place
  EXPECT_EQ(g_frees, 1);
}

TEST_F(AllocatorTest, InitRestoresTheStandardPair) {
  ASSERT_EQ(zrfs_RegistAllocatorInterface(CountingAlloc, CountingFree), 0);
  EXPECT_EQ(zrfs_InitAllocatorInterface(), 0);
  zrfs_Free(zrfs_Malloc(512));
  EXPECT_EQ(g_allocs, 0);
  EXPECT_EQ(g_frees, 0);
}

TEST_F(AllocatorTest, NullIsHandedToTheReleaseCallbackUnchanged) {
  ASSERT_EQ(zrfs_RegistAllocatorInterface(CountingAlloc, CountingFree), 0);
  g_lastFreed = &g_frees;
  zrfs_Free(nullptr);
  EXPECT_EQ(g_frees, 1);
  EXPECT_EQ(g_lastFreed, nullptr);
}

}  // namespace
