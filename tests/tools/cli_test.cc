// The zrfs tool end to end: command-line handling, listings against golden
// outputs, and getting recordings in and out of an image.
#include <random>
#include <regex>

#include "tools/tool_harness.h"
#include "zrfs.h"

namespace zrfs::test {
namespace {

// Times, record-file tags, the scratch directory and the disk's creation
// time become fixed markers, so outputs compare across runs.
std::string Normalise(std::string text, const std::string &scratch) {
  text = std::regex_replace(text, std::regex(scratch), "<dir>");
  text = std::regex_replace(text, std::regex(R"(\d{4}-\d\d-\d\d[ T]\d\d:\d\d:\d\dZ?)"), "<time>");
  text = std::regex_replace(text, std::regex(R"((H[0-9a-n][0-9A-F]{10})[0-9A-F]{4})"), "$1TTTT");
  return text;
}

// Compares text with tests/tools/golden/name; ZRFS_UPDATE_GOLDEN=1 rewrites
// the file instead.
void ExpectGolden(const std::string &name, const std::string &text) {
#ifdef ZRFS_TOOL_GOLDEN_DIR
  std::string path = std::string(ZRFS_TOOL_GOLDEN_DIR) + "/" + name;
  const char *update = getenv("ZRFS_UPDATE_GOLDEN");
  if (update != nullptr && update[0] == '1') {
    WriteFile(path, text);
    return;
  }
  EXPECT_EQ(text, ReadFile(path)) << "golden file " << path
                                  << " differs (ZRFS_UPDATE_GOLDEN=1 rewrites it)";
#else
  (void)name;
  (void)text;
#endif
}

constexpr int kUsage = 16;

// An image with the layout written and two recordings on channel 3.
class ToolImageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SKIP_WITHOUT_TOOL();
    ASSERT_EQ(Run({"mkimage", image_, "--blocks", "4"}).status, 0);
    ASSERT_EQ(Run({"format", image_}).status, 0);
  }
  ToolResult Run(std::vector<std::string> args) { return RunTool(args, dir_.path()); }
  // Imports bytes as a new record file; returns its name.
  std::string Import(const std::string &bytes, const std::string &channel = "3",
                     std::vector<std::string> extra = {"--ext", "dat", "--time", "1700000000"}) {
    std::string file = dir_ / ("in" + std::to_string(imports_++));
    WriteFile(file, bytes);
    std::vector<std::string> args = {"import", image_, file, "--channel", channel};
    args.insert(args.end(), extra.begin(), extra.end());
    ToolResult r = Run(args);
    EXPECT_EQ(r.status, 0) << r.err;
    return r.out.empty() ? "" : r.out.substr(0, r.out.size() - 1);
  }
  std::string Norm(const std::string &text) { return Normalise(text, dir_.path()); }

  ScratchDir dir_;
  std::string image_ = dir_ / "disk.img";
  int imports_ = 0;
};

std::string RandomBytes(size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  std::string bytes(n, '\0');
  for (char &c : bytes) c = char(gen());
  return bytes;
}

TEST(ToolCliTest, UsageErrorsExitSixteenAndSayWhatToDo) {
  SKIP_WITHOUT_TOOL();
  ScratchDir dir;
  std::string image = dir / "x.img";
  struct Case {
    std::vector<std::string> args;
    const char *inMessage;
  } cases[] = {
      {{}, "Usage"},
      {{"frobnicate"}, "help"},
      {{"ls"}, "DISK"},
      {{"mkimage", image}, "--blocks"},
      {{"mkimage", image, "--size", "12Q"}, "not a size"},
      {{"mkimage", image, "--size", "1G"}, "holds no block"},
      {{"import", image, "/etc/hostname"}, "--channel"},
      {{"import", image, "/etc/hostname", "--channel", "1024"}, "--channel"},
      {{"check", image, "--bogus"}, "--bogus"},
      {{"help", "nonsense"}, "no command"},
      {{"ls", image, "--from", "2026-12-06 14:05junk"}, "no time"},
      {{"ls", image, "--at", "2026-02-31 10:00"}, "no time"},  // a day February lacks
  };
  for (const Case &c : cases) {
    ToolResult r = RunTool(c.args, dir.path());
    std::string shown;
    for (const auto &a : c.args) shown += a + " ";
    EXPECT_EQ(r.status, kUsage) << shown;
    EXPECT_NE(r.err.find(c.inMessage), std::string::npos) << shown << ":\n" << r.err;
    EXPECT_TRUE(r.out.empty()) << shown;
  }
  // Help goes to stdout with status 0, for the tool and for a command.
  for (auto args : {std::vector<std::string>{"help"},
                    {"--help"},
                    {"help", "import"},
                    {"import", "--help"},
                    {"ipc", "clean", "--help"}}) {
    ToolResult r = RunTool(args, dir.path());
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("Usage"), std::string::npos) << r.out;
  }
  EXPECT_NE(RunTool({"import", "--help"}).out.find("--channel"), std::string::npos);
}

TEST(ToolCliTest, VersionNamesTheToolAndTheLibrary) {
  SKIP_WITHOUT_TOOL();
  std::string version = std::to_string(ZRFS_VERSION_MAJOR) + "." +
                        std::to_string(ZRFS_VERSION_MINOR) + "." +
                        std::to_string(ZRFS_VERSION_PATCH);
  ASSERT_STREQ(zrfs_Version(), version.c_str());
  ToolResult r = RunTool({"--version"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out.substr(0, r.out.find("features:")),
            "zrfs " + version + "\nlibzrfs " + version + "\n");
  EXPECT_NE(r.out.find("\nfeatures: "), std::string::npos) << r.out;
  EXPECT_EQ(r.err, "");
  EXPECT_NE(RunTool({"--help"}).out.find("--version"), std::string::npos);
}

TEST_F(ToolImageTest, ValueErrorsOnAFormattedImageAreUsageErrors) {
  for (auto args : {std::vector<std::string>{"stat", image_, "not-a-name"},
                    {"tag-bad", image_, "zz", "10"},
                    {"tag-bad", image_, "0", "8G"},
                    {"import", image_, "/etc/hostname", "--channel", "1", "--kind", "1"}}) {
    ToolResult r = Run(args);
    EXPECT_EQ(r.status, kUsage) << args[0] << ": " << r.err;
    EXPECT_FALSE(r.err.empty());
  }
  // Failures that are no usage errors: a missing disk, a missing file.
  EXPECT_EQ(Run({"ls", dir_ / "missing.img"}).status, 1);
  EXPECT_EQ(Run({"stat", image_, "H000000000001ABCD0000C00.dat"}).status, 1);
}

TEST_F(ToolImageTest, FormatRefusesALaidOutImageUnlessForced) {
  std::string name = Import("keep me");
  ToolResult r = Run({"format", image_});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("--force"), std::string::npos);
  EXPECT_NE(Run({"ls", image_}).out.find(name), std::string::npos);
  ASSERT_EQ(Run({"format", image_, "--force"}).status, 0);
  EXPECT_EQ(Run({"ls", image_}).out, "no record files\n");
  // An existing image is not replaced by mkimage either.
  EXPECT_EQ(Run({"mkimage", image_, "--blocks", "1"}).status, 1);
}

TEST_F(ToolImageTest, ListingsMatchTheirGoldenOutputs) {
  std::string first = Import(RandomBytes(5000, 1));
  Import(RandomBytes(70000, 2), "3", {"--ext", "mp4", "--time", "1700000100", "--rec-type", "7"});
  Import("x", "12", {"--kind", "3", "--time", "1700000200"});
  ASSERT_EQ(Run({"lock", image_, first}).status, 0);

  struct Golden {
    std::vector<std::string> args;
    const char *file;
  } goldens[] = {
      {{"info", image_}, "info.txt"},
      {{"info", image_, "--json"}, "info.json"},
      {{"df", image_}, "df.txt"},
      {{"blocks", image_}, "blocks.txt"},
      {{"ls", image_}, "ls.txt"},
      {{"ls", image_, "--json"}, "ls.json"},
      {{"stat", image_, first}, "stat.txt"},
      {{"check", image_}, "check_clean.txt"},
      {{"check", image_, "--json"}, "check_clean.json"},
  };
  for (const Golden &g : goldens) {
    ToolResult r = Run(g.args);
    EXPECT_EQ(r.status, 0) << g.file << ": " << r.err;
    EXPECT_EQ(r.err, "") << g.file;
    ExpectGolden(g.file, Norm(r.out));
  }
}

TEST_F(ToolImageTest, ImportThenExportGivesTheSameBytes) {
  std::string bytes = RandomBytes(3 * 1024 * 1024 + 123, 7);
  std::string name = Import(bytes);
  ASSERT_FALSE(name.empty());
  EXPECT_EQ(name.substr(name.size() - 4), ".dat");

  ASSERT_EQ(Run({"export", image_, name, dir_ / "out"}).status, 0);
  EXPECT_EQ(ReadFile(dir_ / "out"), bytes);
  ToolResult toStdout = Run({"export", image_, name});
  EXPECT_EQ(toStdout.status, 0);
  EXPECT_TRUE(toStdout.out == bytes);
  // The output file is not replaced without --force.
  EXPECT_EQ(Run({"export", image_, name, dir_ / "out"}).status, 1);
  EXPECT_EQ(Run({"export", image_, name, dir_ / "out", "--force"}).status, 0);

  ToolResult st = Run({"stat", image_, name, "--json"});
  EXPECT_NE(st.out.find("\"size\": " + std::to_string(bytes.size())), std::string::npos) << st.out;

  // A file larger than a block's data area is refused before anything is
  // written, and leaves no record file behind.
  std::string huge = dir_ / "huge";
  WriteFile(huge, "");
  ASSERT_EQ(truncate(huge.c_str(), off_t(1) << 30), 0);
  ToolResult r = Run({"import", image_, huge, "--channel", "1"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("at most"), std::string::npos) << r.err;
  EXPECT_EQ(Run({"blocks", image_, "--json"}).out.find("\"channel\": 1,"), std::string::npos);
}

TEST_F(ToolImageTest, RemoveLockAndTagBadChangeTheDisk) {
  std::string keep = Import("keep");
  std::string gone = Import("gone");
  ASSERT_EQ(Run({"rm", image_, gone}).status, 0);
  std::string listing = Run({"ls", image_}).out;
  EXPECT_EQ(listing.find(gone), std::string::npos);
  EXPECT_NE(listing.find(keep), std::string::npos);
  EXPECT_EQ(Run({"rm", image_, gone}).status, 1);

  ASSERT_EQ(Run({"lock", image_, keep}).status, 0);
  EXPECT_NE(Run({"stat", image_, keep}).out.find("lock:        1 (locked)"), std::string::npos);
  ASSERT_EQ(Run({"unlock", image_, keep}).status, 0);
  EXPECT_NE(Run({"stat", image_, keep}).out.find("lock:        0"), std::string::npos);

  // Byte 0x101100000 is the start of block 3; the range ends inside it.
  ToolResult tagged = Run({"tag-bad", image_, "0x101100000", "4096"});
  EXPECT_EQ(tagged.status, 0) << tagged.err;
  EXPECT_EQ(tagged.out, "marked bad: block(s) 3\n");
  EXPECT_NE(Run({"info", image_}).out.find("4 total, 1 used, 2 free, 1 bad"), std::string::npos);
  EXPECT_EQ(Run({"check", image_}).status, 0);

  ToolResult dump = Run({"dump", image_});
  EXPECT_EQ(dump.status, 0);
  EXPECT_NE(dump.out.find("===========ZRDISK============"), std::string::npos) << dump.out;
}

}  // namespace
}  // namespace zrfs::test
