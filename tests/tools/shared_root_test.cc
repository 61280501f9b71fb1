// The tool beside the library: recordings the library made in this test
// process (a wrapped pre-record ring), and a root shared with a process that
// has the disk mounted (--root, ipc status and clean, refused repairs).
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/wait.h>

#include "support/test_root.h"
#include "tools/tool_harness.h"
#include "zrfs.h"
#include "zrfs/df.h"
#include "zrfs/tf.h"

namespace zrfs::test {
namespace {

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
