// What keeps the tool from doing harm: formats and repairs refused under
// live mounts, the mount of a process that died, tagging over
// recordings only on request and undone by untag, and inspection that
// never writes, even to a write-protected image.
#include <sys/ipc.h>
#include <sys/mount.h>
#include <sys/sem.h>
#include <sys/shm.h>

#include <algorithm>
#include <span>

#include <nlohmann/json.hpp>

#include "shared/pool_layout.h"
#include "support/processes.h"
#include "support/test_root.h"
#include "tools/tool_harness.h"
#include "zrfs.h"

namespace zrfs::test {
namespace {

constexpr uint64_t kDataStart = 0x41100000;
constexpr uint64_t kUnit = 0x40000000;
constexpr uint64_t kMapPlaces[4] = {0x8E0000, 0x8C0000, 0x10E0000, 0x10C0000};

std::string Hex(uint64_t value) {
  char text[32];
  snprintf(text, sizeof text, "%#llx", static_cast<unsigned long long>(value));
  return text;
}

// A formatted image inside a root that a child process mounts through the
// library, as a recorder would.  This process never starts the library.
class MountedByChildTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SKIP_WITHOUT_TOOL();
    dev_ = root_.MakeImage(TestRoot::DevicePath(3), kDataStart + 3 * kUnit);
    image_ = root_.Real(dev_);
    ASSERT_EQ(Run({"format", image_}).status, 0);
  }
  void TearDown() override {
    if (child_ > 0) {
      close(release_);
      EXPECT_TRUE(WaitAll({child_}, std::chrono::seconds(30)));
    }
  }
  // Starts the child; it mounts the disk and, when stay, keeps it mounted
  // until the test ends, else dies at once without unmounting.
  void StartChild(bool stay) {
    int ready[2], release[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(release), 0);
    std::string dev = dev_;
    child_ = Spawn([&, dev] {
      close(ready[0]);
      close(release[1]);
      ASSERT_EQ(zrfs_Init(), 0);
      ASSERT_EQ(zrfs_Mount(dev.c_str()), 0);
      char byte = 1;
      ASSERT_EQ(write(ready[1], &byte, 1), 1);
      if (stay) EXPECT_EQ(read(release[0], &byte, 1), 0);  // until the test closes it
    });
    close(ready[1]);
    close(release[0]);
    release_ = release[1];
    char byte = 0;
    ASSERT_EQ(read(ready[0], &byte, 1), 1) << "the child did not mount the disk";
    close(ready[0]);
    if (!stay) {
      close(release_);
      ASSERT_TRUE(WaitAll({child_}, std::chrono::seconds(30)));
      child_ = -1;
    }
  }
  ToolResult Run(std::vector<std::string> args) { return RunTool(args, tmp_.path()); }
  ToolResult RunInRoot(std::vector<std::string> args) {
    args.insert(args.begin(), {"--root", root_.path()});
    return Run(args);
  }

  TestRoot root_;
  ScratchDir tmp_;
  std::string dev_, image_;
  pid_t child_ = -1;
  int release_ = -1;
};

TEST_F(MountedByChildTest, FormatUnderALiveMountNeedsForceTwiceAndNamesThePid) {
  StartChild(true);
  std::string pid = "pid " + std::to_string(child_);
  // By the image (a private root knows nothing of the child's root) and by
  // the device path in the shared root.
  for (auto args : {std::vector<std::string>{"format", image_},
                    {"format", image_, "--force"},
                    {"--root", root_.path(), "format", dev_, "--force"}}) {
    ToolResult r = Run(args);
    EXPECT_EQ(r.status, 1) << args.back();
    EXPECT_NE(r.err.find("mounted by a running process: " + pid), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("--force twice"), std::string::npos) << r.err;
  }
  ToolResult repair = RunInRoot({"check", "--repair", dev_});
  EXPECT_EQ(repair.status, 8);
  EXPECT_NE(repair.err.find(pid), std::string::npos) << repair.err;

  ToolResult forced = Run({"format", image_, "--force", "--force"});
  EXPECT_EQ(forced.status, 0) << forced.err;
}

// A process that dies with the disk mounted is no longer counted: the
// system takes its mount back with the count beside the disk's lock, so
// nothing is stale and neither a repair nor a format waits for a reset.
TEST_F(MountedByChildTest, TheMountOfAProcessThatDiedIsNotCountedAndBlocksNothing) {
  StartChild(false);
  ToolResult status = RunInRoot({"ipc", "status"});
  EXPECT_EQ(status.status, 0);
  EXPECT_NE(status.out.find("disk 3: mounted 0, attached 0"), std::string::npos) << status.out;
  EXPECT_EQ(status.out.find("STALE"), std::string::npos) << status.out;
  auto json = nlohmann::json::parse(RunInRoot({"ipc", "status", "--json"}).out, nullptr, false);
  ASSERT_TRUE(json.is_object());
  ASSERT_EQ(json["disks"].size(), 1u);
  EXPECT_EQ(json["disks"][0]["stale"], false);

  EXPECT_EQ(RunInRoot({"check", "--repair", dev_}).status, 0);
  EXPECT_EQ(Run({"format", image_, "--force"}).status, 0);
}

// A lock set made by an older library has no count beside it: the mount
// count in the shared image is all there is, and once its processes are gone
// it is stale.  Status says so, and a refused repair names the command that
// clears it.
TEST_F(MountedByChildTest, AStaleCountIsShownAndItsRepairRefusalNamesTheCure) {
  StartChild(false);
  ZrfsIpcObject objects[64];
  int n = zrfs_ListIpcObjects(root_.path().c_str(), objects, 64);
  ASSERT_GT(n, 0);
  bool rebuilt = false;
  for (const ZrfsIpcObject &o : std::span(objects, size_t(std::min(n, 64)))) {
    if (o.kind == ZRFS_IPC_SEMAPHORES && std::string(o.role) == "disk 3 lock") {
      ASSERT_EQ(semctl(o.id, 0, IPC_RMID), 0);
      int id = semget(o.key, 1, IPC_CREAT | 0666);  // the older shape: the lock alone
      ASSERT_GE(id, 0);
      ASSERT_EQ(semctl(id, 0, SETVAL, 1), 0);
      rebuilt = true;
    }
    if (o.kind == ZRFS_IPC_SEGMENT && std::string(o.role) == "disk 3 image") {
      auto *image = static_cast<uint8_t *>(shmat(o.id, nullptr, 0));
      ASSERT_NE(image, reinterpret_cast<uint8_t *>(-1));
      reinterpret_cast<DiskEntryTail *>(image + kDiskEntryTailOffset)->mounted = 1;
      shmdt(image);
    }
  }
  ASSERT_TRUE(rebuilt);

  ToolResult status = RunInRoot({"ipc", "status"});
  EXPECT_NE(status.out.find("disk 3: mounted 1, attached 0: STALE"), std::string::npos)
      << status.out;
  EXPECT_NE(status.out.find("ipc clean"), std::string::npos) << status.out;
  auto json = nlohmann::json::parse(RunInRoot({"ipc", "status", "--json"}).out, nullptr, false);
  ASSERT_TRUE(json.is_object());
  EXPECT_EQ(json["disks"][0]["stale"], true);
  ToolResult repair = RunInRoot({"check", "--repair", dev_});
  EXPECT_EQ(repair.status, 8);
  EXPECT_NE(repair.err.find("ipc clean"), std::string::npos) << repair.err;

  EXPECT_EQ(RunInRoot({"ipc", "clean"}).status, 0);
  EXPECT_EQ(RunInRoot({"check", "--repair", dev_}).status, 0);
}

// A formatted 4-block image with two recordings of channel 3 in block 0.
class ToolSafetyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SKIP_WITHOUT_TOOL();
    ASSERT_EQ(Run({"mkimage", image_, "--blocks", "4"}).status, 0);
    ASSERT_EQ(Run({"format", image_}).status, 0);
    for (int i = 0; i < 2; ++i) {
      std::string file = dir_ / ("in" + std::to_string(i));
      data_.push_back(std::string(size_t(9000 + i), char('a' + i)));
      WriteFile(file, data_.back());
      ToolResult r =
          Run({"import", image_, file, "--channel", "3", "--ext", "dat", "--time", "1700000000"});
      ASSERT_EQ(r.status, 0) << r.err;
      names_.push_back(r.out.substr(0, r.out.size() - 1));
    }
  }
  ToolResult Run(std::vector<std::string> args) { return RunTool(args, dir_.path()); }

  // Inspection commands on `disk` (the image, or a read-only view of it).
  std::vector<std::vector<std::string>> Inspections(const std::string &disk) {
    return {{"info", disk},
            {"info", disk, "--json"},
            {"df", disk, "--json"},
            {"blocks", disk},
            {"ls", disk},
            {"ls", disk, "--json"},
            {"stat", disk, names_[0]},
            {"stat", disk, names_[1], "--json"},
            {"export", disk, names_[0]},
            {"export", disk, names_[1], dir_ / "exported"},
            {"dump", disk},
            {"check", disk},
            {"check", disk, "--json"}};
  }
  // Runs each inspection: it succeeds, and the image's bytes stay as they
  // were.
  void ExpectInspectionOnlyReads(const std::string &disk) {
    uint64_t digest = ImageDigest(image_);
    ASSERT_NE(digest, 0u);
    for (const auto &args : Inspections(disk)) {
      unlink((dir_ / "exported").c_str());
      ToolResult r = Run(args);
      EXPECT_EQ(r.status, 0) << args[0] << " " << args.back() << ": " << r.err;
      EXPECT_EQ(r.err.find("no usable disk layout"), std::string::npos) << r.err;
      EXPECT_EQ(ImageDigest(image_), digest) << args[0] << " wrote to the image";
    }
    EXPECT_TRUE(Run({"export", disk, names_[0]}).out == data_[0]);
    EXPECT_NE(Run({"dump", disk}).out.find("ZRDISK"), std::string::npos);
  }
  // Each command that changes the disk says that it cannot, and writes nothing.
  void ExpectChangesRefused(const std::string &disk) {
    uint64_t digest = ImageDigest(image_);
    std::string block1 = Hex(kDataStart + kUnit);
    for (const auto &args :
         std::vector<std::vector<std::string>>{{"lock", disk, names_[0]},
                                               {"rm", disk, names_[1]},
                                               {"import", disk, dir_ / "in0", "--channel", "4"},
                                               {"tag-bad", disk, block1, "1"},
                                               {"untag", disk, block1, "1"}}) {
      ToolResult r = Run(args);
      EXPECT_EQ(r.status, 1) << args[0];
      EXPECT_NE(r.err.find("write-protected"), std::string::npos) << args[0] << ": " << r.err;
    }
    EXPECT_EQ(ImageDigest(image_), digest);
    EXPECT_EQ(Run({"check", "--repair", disk}).status, 8);
  }

  ScratchDir dir_;
  std::string image_ = dir_ / "disk.img";
  std::vector<std::string> names_, data_;
};

TEST_F(ToolSafetyTest, TagBadOverRecordingsNeedsForceAndUntagBringsThemBack) {
  std::string block0 = Hex(kDataStart), block1 = Hex(kDataStart + kUnit);
  ToolResult refused = Run({"tag-bad", image_, block0, "4096"});
  EXPECT_EQ(refused.status, 1);
  for (const std::string &name : names_) EXPECT_NE(refused.err.find(name), std::string::npos);
  EXPECT_NE(refused.err.find("--force"), std::string::npos) << refused.err;
  EXPECT_NE(Run({"ls", image_}).out.find(names_[0]), std::string::npos);  // nothing tagged

  ToolResult tagged = Run({"tag-bad", image_, block0, "4096", "--force", "--json"});
  EXPECT_EQ(tagged.status, 0) << tagged.err;
  auto doc = nlohmann::json::parse(tagged.out, nullptr, false);
  ASSERT_TRUE(doc.is_object()) << tagged.out;
  EXPECT_EQ(doc["tagged"], nlohmann::json::array({0}));
  EXPECT_EQ(doc["recordings"].size(), 2u);
  EXPECT_EQ(Run({"ls", image_}).out, "no record files\n");
  // A free block is tagged without asking.
  EXPECT_EQ(Run({"tag-bad", image_, block1, "4096"}).out, "marked bad: block(s) 1\n");

  // From block 0 to the first byte of block 1: both blocks.
  ToolResult untagged = Run({"untag", image_, block0, Hex(kUnit)});
  EXPECT_EQ(untagged.status, 0) << untagged.err;
  EXPECT_EQ(untagged.out,
            "back in use, with their recordings: block(s) 0\nfree again: block(s) 1\n");
  for (size_t i = 0; i < names_.size(); ++i)
    EXPECT_TRUE(Run({"export", image_, names_[i]}).out == data_[i]) << names_[i];
  EXPECT_NE(Run({"info", image_}).out.find("4 total, 1 used, 3 free, 0 bad"), std::string::npos);
  ToolResult check = Run({"check", image_});
  EXPECT_EQ(check.status, 0) << check.out;
  EXPECT_NE(check.out.find("0 error(s), 0 warning(s), 0 note(s)"), std::string::npos) << check.out;

  // A block that failed an I/O stays bad; a range without tagging changes
  // nothing.
  for (uint64_t place : kMapPlaces) Poke(image_, place + 2, uint8_t{0xFF});
  ToolResult failed = Run({"untag", image_, Hex(kDataStart + 2 * kUnit), "4096", "--json"});
  EXPECT_EQ(failed.status, 0) << failed.err;
  doc = nlohmann::json::parse(failed.out, nullptr, false);
  EXPECT_EQ(doc["still_bad"], nlohmann::json::array({2}));
  EXPECT_TRUE(doc["used"].empty() && doc["free"].empty());
  EXPECT_NE(Run({"info", image_}).out.find("1 bad"), std::string::npos);
  EXPECT_EQ(Run({"untag", image_, "zz", "1"}).status, 16);
}

TEST_F(ToolSafetyTest, InspectionNeverWritesToTheImage) {
  ExpectInspectionOnlyReads(image_);
}

// A read-only bind mount of the image's directory: the file cannot be
// opened for writing, whoever runs the tool.
TEST_F(ToolSafetyTest, InspectionWorksOnAReadOnlyFileSystem) {
  std::string view = dir_ / "ro";
  ASSERT_EQ(mkdir(view.c_str(), 0755), 0);
  if (mount(dir_.path().c_str(), view.c_str(), nullptr, MS_BIND, nullptr) != 0)
    GTEST_SKIP() << "cannot bind-mount here (" << strerror(errno) << "); needs root";
  if (mount(nullptr, view.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) != 0) {
    umount2(view.c_str(), MNT_DETACH);
    GTEST_SKIP() << "cannot make the bind mount read-only (" << strerror(errno) << ")";
  }
  std::string image = view + "/disk.img";
  EXPECT_EQ(access(image.c_str(), W_OK), -1);
  ExpectInspectionOnlyReads(image);
  ExpectChangesRefused(image);
  EXPECT_EQ(umount2(view.c_str(), MNT_DETACH), 0);
}

// A read-only loop device over the image.
TEST_F(ToolSafetyTest, InspectionWorksOnAReadOnlyLoopDevice) {
  ToolResult attach;
  FILE *pipe = popen(("losetup -r -f --show " + image_ + " 2>/dev/null").c_str(), "r");
  char line[128] = {};
  std::string device;
  if (pipe != nullptr) {
    if (fgets(line, sizeof line, pipe) != nullptr) device = line;
    pclose(pipe);
  }
  if (!device.empty() && device.back() == '\n') device.pop_back();
  if (device.empty()) GTEST_SKIP() << "no loop device could be attached here (needs root)";
  ExpectInspectionOnlyReads(device);
  ExpectChangesRefused(device);
  ToolResult format = Run({"format", device, "--force", "--yes"});
  EXPECT_EQ(format.status, 1);
  EXPECT_NE(format.err.find("write-protected"), std::string::npos) << format.err;
  EXPECT_EQ(system(("losetup -d " + device).c_str()), 0);
}

// One naming style for scripts: every key of every JSON document is
// snake_case.
TEST_F(ToolSafetyTest, EveryJsonKeyIsSnakeCase) {
  std::function<void(const nlohmann::json &, const std::string &)> expectSnake =
      [&](const nlohmann::json &doc, const std::string &where) {
        if (doc.is_array())
          for (const auto &item : doc) expectSnake(item, where);
        if (!doc.is_object()) return;
        for (const auto &[key, value] : doc.items()) {
          bool snake = !key.empty() && islower(static_cast<unsigned char>(key[0]));
          for (char c : key)
            snake &= islower(static_cast<unsigned char>(c)) || isdigit(c) || c == '_';
          EXPECT_TRUE(snake) << where << ": key \"" << key << "\"";
          expectSnake(value, where);
        }
      };
  std::string in = dir_ / "in0";
  std::vector<std::vector<std::string>> commands = {
      {"mkimage", dir_ / "other.img", "--blocks", "1"},
      {"format", dir_ / "other.img"},
      {"import", image_, in, "--channel", "4"},
      {"lock", image_, names_[0]},
      {"unlock", image_, names_[0]},
      {"tag-bad", image_, Hex(kDataStart + 3 * kUnit), "1"},
      {"untag", image_, Hex(kDataStart + 3 * kUnit), "1"},
      {"ipc", "status"},
      {"ipc", "clean"},
      {"check", "--repair", image_}};
  for (auto &args : Inspections(image_))
    if (args[0] != "export" && args[0] != "dump") commands.push_back(args);
  commands.push_back({"rm", image_, names_[1]});
  ASSERT_EQ(mkdir((dir_ / "ipc-root").c_str(), 0755), 0);
  for (auto args : commands) {
    if (std::find(args.begin(), args.end(), "--json") == args.end()) args.push_back("--json");
    std::string label = args[0] + " " + args[1];
    if (args[0] == "ipc") args.insert(args.begin(), {"--root", dir_ / "ipc-root"});
    ToolResult r = Run(args);
    EXPECT_EQ(r.status, 0) << label << ": " << r.err;
    auto doc = nlohmann::json::parse(r.out, nullptr, false);
    ASSERT_TRUE(doc.is_object()) << label << " printed no JSON object: " << r.out;
    expectSnake(doc, label);
  }
}

}  // namespace
}  // namespace zrfs::test
