#include <sys/wait.h>

#include <cstdio>
#include <string>

#include <gtest/gtest.h>

#include "support/test_root.h"

namespace {

#ifdef ZRFS_EXAMPLE_PROGRAM
TEST(Example, RecordsPlaysBackAndDeletesThroughThePublicHeaderAlone) {
  zrfs::test::TestRoot root;
  std::string dev =
      root.MakeImage(zrfs::test::TestRoot::DevicePath(0), 0x41100000ull + 3 * 0x40000000ull);
  std::string command = ZRFS_EXAMPLE_PROGRAM;
  command += " " + root.path() + " " + dev + " --format";
  FILE *out = popen(command.c_str(), "r");
  ASSERT_NE(out, nullptr);
  std::string text;
  char line[256];
  while (fgets(line, sizeof line, out) != nullptr) text += line;
  int status = pclose(out);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << text;
  EXPECT_NE(text.find("played back 262144 bytes\ndeleted\n"), std::string::npos) << text;
}
#endif

}  // namespace
