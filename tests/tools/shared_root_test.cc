// The tool beside the library: recordings the library made in this test
// process (a wrapped pre-record ring), and a root shared with a process that
// has the disk mounted (--root, ipc status and clean, refused repairs, the
// retention settings it shares).
#include <poll.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/wait.h>

#include <nlohmann/json.hpp>

#include "support/processes.h"
#include "support/test_root.h"
#include "tools/tool_harness.h"
#include "zrfs.h"
#include "zrfs/df.h"
#include "zrfs/tf.h"

namespace zrfs::test {
namespace {

using namespace std::chrono_literals;

constexpr uint64_t kUnit = 0x40000000;
constexpr uint64_t kDataStart = 0x41100000;
constexpr int32_t kRing = 64 * 1024;

char RingByte(uint64_t i) {
  return char((i * 131 + i / 977) & 0xFF);
}
char MainByte(uint64_t i) {
  return char((i * 7 + 3) & 0xFF);
}

// A disk image in a root of this process with the library started on it.
class LibraryRootTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SKIP_WITHOUT_TOOL();
    dev_ = root_.MakeImage(TestRoot::DevicePath(3), kDataStart + 5 * kUnit);
    ASSERT_EQ(zrfs_Init(), 0);
    ASSERT_EQ(zrfs_Format(dev_.c_str()), 0);
    ASSERT_EQ(zrfs_Mount(dev_.c_str()), 0);
  }
  // Records a ring file whose ring wrapped: 100 KiB written round a 64 KiB
  // ring, fixed so its oldest byte is at ring offset 40 KiB and its newest
  // just before 36 KiB, then 20,000 bytes of main data.  Returns the name
  // and fills the bytes it must read as.
  std::string RecordWrappedRing(std::string *expected) {
    FileCreateParam p{};
    p.ichan = 2;
    p.createTime = 1700000000;
    p.kind = 1;
    p.preRecSize = kRing;
    snprintf(p.diskPath, sizeof p.diskPath, "%s", dev_.c_str());
    snprintf(p.extName, sizeof p.extName, "%s", "264");
    char name[ZRFS_NAME_MAX] = {};
    TfHandle *h = tf_OpenFile(&p, name);
    EXPECT_NE(h, nullptr);
    if (h == nullptr) return "";
    std::string ring(kRing, '\0');
    for (uint64_t i = 0; i < 100 * 1024; ++i) {
      char byte = RingByte(i);
      uint32_t at = uint32_t(i % kRing);
      ring[at] = byte;
      EXPECT_EQ(tf_Write(at, &byte, 1, h), 1);
      if (::testing::Test::HasFailure()) break;
    }
    const int64_t start = 40 * 1024, end = 36 * 1024;
    EXPECT_EQ(tf_UpdataePreRecPtr(h, start, end), 0);
    *expected = ring.substr(size_t(start)) + ring.substr(0, size_t(end));
    std::string main(20000, '\0');
    for (size_t i = 0; i < main.size(); ++i) main[i] = MainByte(i);
    EXPECT_EQ(tf_Write(uint32_t(expected->size()), main.data(), uint32_t(main.size()), h),
              int(main.size()));
    *expected += main;
    tf_CloseFile(h);
    return name;
  }

  TestRoot root_;
  ScratchDir tmp_;
  std::string dev_;
};

TEST_F(LibraryRootTest, ExportOfAWrappedRingGivesExactlyItsLogicalBytes) {
  std::string expected;
  std::string name = RecordWrappedRing(&expected);
  ASSERT_FALSE(name.empty());
  ASSERT_EQ(expected.size(), size_t(24 * 1024 + 36 * 1024 + 20000));

  // On the image file itself (a private root of the tool's), and through
  // the root this process shares.
  std::string image = root_.Real(dev_);
  ToolResult viaImage = RunTool({"export", image, name}, tmp_.path());
  EXPECT_EQ(viaImage.status, 0) << viaImage.err;
  EXPECT_TRUE(viaImage.out == expected) << viaImage.out.size() << " bytes";
  ToolResult viaRoot = RunTool({"--root", root_.path(), "export", dev_, name}, tmp_.path());
  EXPECT_EQ(viaRoot.status, 0) << viaRoot.err;
  EXPECT_TRUE(viaRoot.out == expected);

  ToolResult ls = RunTool({"ls", image, "--json"}, tmp_.path());
  EXPECT_NE(ls.out.find("\"pre_record\": \"wrapped\""), std::string::npos) << ls.out;
  EXPECT_NE(ls.out.find("\"size\": " + std::to_string(expected.size())), std::string::npos);
  EXPECT_EQ(RunTool({"check", image}, tmp_.path()).status, 0);
}

TEST_F(LibraryRootTest, SharedRootShowsTheLiveStateAndRefusesRepairWhileMounted) {
  std::string expected;
  std::string name = RecordWrappedRing(&expected);
  ToolResult ls = RunTool({"--root", root_.path(), "ls", dev_}, tmp_.path());
  EXPECT_EQ(ls.status, 0) << ls.err;
  EXPECT_NE(ls.out.find(name), std::string::npos);

  // Also given as the real path inside the root.
  ToolResult check = RunTool({"check", "--root", root_.path(), root_.Real(dev_)}, tmp_.path());
  EXPECT_EQ(check.status, 0) << check.out << check.err;
  ToolResult repair = RunTool({"--root", root_.path(), "check", "--repair", dev_}, tmp_.path());
  EXPECT_EQ(repair.status, 8);
  EXPECT_NE(repair.err.find("mounted by 1 recorder process(es): pid " + std::to_string(getpid())),
            std::string::npos)
      << repair.err;

  ASSERT_EQ(zrfs_UnMount(dev_.c_str()), 0);
  EXPECT_EQ(RunTool({"--root", root_.path(), "check", "--repair", dev_}, tmp_.path()).status, 0);
}

TEST_F(LibraryRootTest, IpcCleanRefusesWhileAttachedUnlessForced) {
  ToolResult status = RunTool({"ipc", "status", "--root", root_.path()}, tmp_.path());
  EXPECT_EQ(status.status, 0);
  EXPECT_NE(status.out.find("pool"), std::string::npos) << status.out;
  EXPECT_NE(status.out.find("disk 3 image"), std::string::npos) << status.out;
  ToolResult json = RunTool({"ipc", "status", "--json", "--root", root_.path()}, tmp_.path());
  EXPECT_NE(json.out.find("\"attached\": 1"), std::string::npos) << json.out;

  ToolResult refused = RunTool({"--root", root_.path(), "ipc", "clean"}, tmp_.path());
  EXPECT_EQ(refused.status, 1);
  EXPECT_NE(refused.err.find("still attached"), std::string::npos) << refused.err;
  EXPECT_NE(RunTool({"ipc", "status", "--root", root_.path()}, tmp_.path()).out.find("pool"),
            std::string::npos);

  ASSERT_EQ(zrfs_UnMount(dev_.c_str()), 0);
  ToolResult forced = RunTool({"--root", root_.path(), "ipc", "clean", "--force"}, tmp_.path());
  EXPECT_EQ(forced.status, 0) << forced.err;
  EXPECT_EQ(RunTool({"ipc", "status", "--root", root_.path()}, tmp_.path()).out,
            root_.path() + "/dvr/zrfs: no System V objects\n");
  EXPECT_EQ(root_.RemoveIpcObjects(), 0);
}

// While a recorder process has the disk mounted, df and ls show the
// retention mode and quotas it set; once it has exited (without unmounting)
// they show the defaults the next mount starts from.
TEST_F(LibraryRootTest, DfAndLsShowTheRetentionOfTheMountingProcessesUntilTheyExit) {
  using Json = nlohmann::json;
  std::string expected;
  ASSERT_FALSE(RecordWrappedRing(&expected).empty());  // channel 2 holds a block
  ASSERT_EQ(zrfs_UnMount(dev_.c_str()), 0);            // the recorder's is the only mount
  int ready[2], quit[2];
  ASSERT_EQ(pipe(ready), 0);
  ASSERT_EQ(pipe(quit), 0);
  pid_t recorder = Spawn([&] {
    close(ready[0]);
    close(quit[1]);
    ASSERT_EQ(zrfs_Mount(dev_.c_str()), 0);
    ASSERT_EQ(zrfs_SetRetention(dev_.c_str(), ZRFS_OVERWRITE_OLDEST), 0);
    ASSERT_EQ(zrfs_SetChannelQuota(dev_.c_str(), 2, 3), 0);
    ASSERT_EQ(zrfs_SetChannelQuota(dev_.c_str(), 7, 1), 0);
    char byte = 'r';
    ASSERT_EQ(write(ready[1], &byte, 1), 1);
    EXPECT_EQ(read(quit[0], &byte, 1), 0);  // until the test closes its end
  });
  close(ready[1]);
  close(quit[0]);
  auto tool = [&](const char *command, bool json) {
    std::vector<std::string> args = {"--root", root_.path(), command, dev_};
    if (json) args.push_back("--json");
    return RunTool(args, tmp_.path());
  };
  auto retentionOf = [&](const char *command) {
    return Json::parse(tool(command, true).out, nullptr, false).value("retention", Json());
  };
  struct pollfd up = {ready[0], POLLIN, 0};
  char byte = 0;
  bool set = poll(&up, 1, 60000) == 1 && read(ready[0], &byte, 1) == 1;
  if (set) {
    Json shared = Json::parse(R"({"mode": "overwrite_oldest", "quotas": [
        {"channel": 2, "blocks": 3}, {"channel": 7, "blocks": 1}],
        "shared_by_running_processes": true})");
    Json df = Json::parse(tool("df", true).out, nullptr, false);
    EXPECT_EQ(df.value("retention", Json()), shared) << df;
    EXPECT_EQ(df["channels"][0]["quota_blocks"], 3) << df;
    EXPECT_EQ(retentionOf("ls"), shared);
    std::string text = tool("df", false).out;
    EXPECT_NE(text.find("\nretention: overwrite oldest\nquotas: channel 2: 3 blocks, channel 7: "
                        "1 block\n\n"),
              std::string::npos)
        << text;
  }
  close(quit[1]);
  close(ready[0]);
  EXPECT_TRUE(WaitAll({recorder}, 60s));
  ASSERT_TRUE(set) << "the recorder did not mount the disk and set its retention";

  Json defaults =
      Json::parse(R"({"mode": "keep_all", "quotas": [], "shared_by_running_processes": false})");
  EXPECT_EQ(retentionOf("df"), defaults);
  EXPECT_EQ(retentionOf("ls"), defaults);
  std::string text = tool("df", false).out;
  EXPECT_NE(text.find("\nretention: keep all (a full disk refuses new recordings)\nquotas: none\n"
                      "(no running process has the disk mounted: these are the defaults a mount "
                      "starts from)\n"),
            std::string::npos)
      << text;
}

// A tool run that died leaves its private root; the next run removes it
// and the System V objects of its key directory.
TEST(ToolPrivateRootTest, RootsOfDeadRunsAreSweptAway) {
  SKIP_WITHOUT_TOOL();
  ScratchDir tmp;
  pid_t dead = fork();
  if (dead == 0) _exit(0);
  ASSERT_GT(dead, 0);
  waitpid(dead, nullptr, 0);
  std::string root = tmp / ("zrfs-root-" + std::to_string(dead) + "-abcdef");
  std::string keyDir = root + "/dvr/zrfs";
  ASSERT_EQ(system(("mkdir -p " + keyDir + " && touch " + keyDir + "/zrfslayer").c_str()), 0);
  int sem = semget(ftok((keyDir + "/zrfslayer").c_str(), 'a'), 1, IPC_CREAT | 0600);
  ASSERT_GE(sem, 0);

  std::string image = tmp / "disk.img";
  ASSERT_EQ(RunTool({"mkimage", image, "--blocks", "1"}, tmp.path()).status, 0);
  ASSERT_EQ(RunTool({"format", image}, tmp.path()).status, 0);
  EXPECT_NE(access(root.c_str(), F_OK), 0);
  EXPECT_EQ(semctl(sem, 0, GETVAL), -1);  // removed
  if (semctl(sem, 0, GETVAL) != -1) semctl(sem, 0, IPC_RMID);
  // No run leaves a root of its own behind either.
  EXPECT_EQ(system(("test -z \"$(ls -A " + tmp.path() + " | grep zrfs-root)\"").c_str()), 0);
}

}  // namespace
}  // namespace zrfs::test
