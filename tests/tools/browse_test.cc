// Browsing and exporting from a PC: the read-only FUSE view, listings by
// channel and time, and exports by name and by range as raw bytes, MP4 and
// MPEG-TS, all on an image the library recorded in this test process; and
// the tool beside a process that has the disk mounted.
#include <fcntl.h>
#include <poll.h>
#include <sys/ipc.h>
#include <sys/mount.h>
#include <sys/sem.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <set>
#include <thread>

#include <nlohmann/json.hpp>

#include "support/processes.h"
#include "support/recording_param.h"
#include "support/test_root.h"
#include "tools/tool_harness.h"
#include "zrfs.h"

namespace zrfs::test {
namespace {

using Json = nlohmann::json;
using namespace std::chrono_literals;

constexpr uint64_t kUnit = 0x40000000;
constexpr uint64_t kDataStart = 0x41100000;
constexpr int32_t kRing = 64 * 1024;
constexpr int32_t kMorning = 1765029900;  // 2025-12-06 14:05:00 UTC

std::string Bytes(int seed, size_t n) {
  std::string out(n, '\0');
  for (size_t i = 0; i < n; ++i) out[i] = char((i * 131 + size_t(seed) * 7 + i / 977) & 0xFF);
  return out;
}

std::string FileBytes(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// An image file is shown as disk 0 (the tool cannot know which disk it was
// recorded as): names spell that disk's letter.
std::string AsListed(std::string name) {
  name[1] = '0';
  return name;
}

bool HaveCommand(const std::string &name) {
  return system(("command -v " + name + " >/dev/null 2>&1").c_str()) == 0;
}

class BrowseTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SKIP_WITHOUT_TOOL();
    dev_ = root_.MakeImage(TestRoot::DevicePath(3), kDataStart + 5 * kUnit);
    image_ = root_.Real(dev_);
    ASSERT_EQ(zrfs_Init(), 0);
    ASSERT_EQ(zrfs_Format(dev_.c_str()), 0);
    ASSERT_EQ(zrfs_Mount(dev_.c_str()), 0);
  }
  void TearDown() override { zrfs_DeInit(); }

  // A recording of channel chan created at time, holding data; its descriptor
  // stays open when keepOpen.
  std::string Record(uint32_t chan, int32_t time, const std::string &data, int *keepOpen = nullptr,
                     const char *ext = "264") {
    FileCreateParam p = RecordingParam(dev_, chan, 0, 0, ext, 0);
    p.createTime = time;
    char name[ZRFS_NAME_MAX] = {};
    int fd = zrfs_Open(&p, name, 2);
    EXPECT_GE(fd, 0);
    if (!data.empty())
      EXPECT_EQ(zrfs_Write(fd, data.data(), uint32_t(data.size())), int(data.size()));
    if (keepOpen != nullptr) {
      *keepOpen = fd;
    } else {
      zrfs_Close(fd);
    }
    return name;
  }
  // A ring file of channel chan: 100 KiB written round its 64 KiB ring, fixed
  // with the oldest byte at 40 KiB and the newest before 36 KiB, then 5,000
  // bytes of main data.  expected gets its logical bytes.
  std::string RecordWrappedRing(uint32_t chan, std::string *expected) {
    FileCreateParam p = RecordingParam(dev_, chan, 1, kRing, "264", 0);
    p.createTime = kMorning;
    char name[ZRFS_NAME_MAX] = {};
    int fd = zrfs_Open(&p, name, 2);
    EXPECT_GE(fd, 0);
    std::string data = Bytes(9, 100 * 1024), ring(kRing, '\0');
    for (size_t done = 0; done < data.size(); done += 4096) {
      uint32_t at = uint32_t(done % kRing);
      zrfs_Seek(fd, at, 0);
      EXPECT_EQ(zrfs_Write(fd, data.data() + done, 4096), 4096);
      ring.replace(at, 4096, data, done, 4096);
    }
    EXPECT_EQ(zrfs_UpdataePreRecPtr(fd, 40 * 1024, 36 * 1024), 0);
    *expected = ring.substr(40 * 1024) + ring.substr(0, 36 * 1024);
    std::string main = Bytes(10, 5000);
    zrfs_Seek(fd, int64_t(expected->size()), 0);
    EXPECT_EQ(zrfs_Write(fd, main.data(), 5000), 5000);
    *expected += main;
    zrfs_Close(fd);
    return name;
  }

  TestRoot root_;
  ScratchDir tmp_;
  std::string dev_, image_;
};

// Unmounts a view however the test ends.
class MountedView {
 public:
  explicit MountedView(std::string dir) : dir_(std::move(dir)) {}
  ~MountedView() {
    if (!mounted_) return;
    if (RunTool({"umount", dir_}).status != 0) umount2(dir_.c_str(), MNT_DETACH);
  }
  void set_mounted() { mounted_ = true; }
  void unmounted() { mounted_ = false; }

 private:
  std::string dir_;
  bool mounted_ = false;
};

TEST_F(BrowseTest, FuseViewShowsEveryRecordingReadOnlyAndFollowsTheRecorder) {
  if (access("/dev/fuse", R_OK | W_OK) != 0 || !HaveCommand("fusermount3"))
    GTEST_SKIP() << "no /dev/fuse or fusermount3 here: the FUSE view cannot be mounted";
  if (RunTool({"--version"}).out.find(" fuse") == std::string::npos)
    GTEST_SKIP() << "this zrfs was built without FUSE";
  std::string ring;
  std::string ringName = AsListed(RecordWrappedRing(2, &ring));
  std::string empty = AsListed(Record(2, kMorning + 60, ""));
  std::string data = Bytes(1, 300000);
  int growing = -1;
  std::string other = AsListed(Record(7, kMorning + 3600, data, &growing));

  std::string mnt = tmp_.path() + "/view";
  ASSERT_EQ(mkdir(mnt.c_str(), 0755), 0);
  MountedView guard(mnt);
  ToolResult mount = RunTool({"mount", image_, mnt, "--utc"}, tmp_.path());
  if (mount.status != 0 && (mount.err.find("ermission denied") != std::string::npos ||
                            mount.err.find("not permitted") != std::string::npos))
    GTEST_SKIP() << "FUSE mounts are not allowed here: " << mount.err;
  ASSERT_EQ(mount.status, 0) << mount.err;
  guard.set_mounted();

  std::string day = mnt + "/ch2/2025-12-06/";
  EXPECT_EQ(FileBytes(day + "14-05-00_" + ringName), ring);
  EXPECT_EQ(FileBytes(mnt + "/all/" + ringName), ring);
  struct stat st;
  ASSERT_EQ(stat((day + "14-06-00_" + empty).c_str(), &st), 0);
  EXPECT_EQ(st.st_size, 0);
  EXPECT_EQ(FileBytes(day + "14-06-00_" + empty), "");
  std::string path7 = mnt + "/ch7/2025-12-06/15-05-00_" + other;
  EXPECT_EQ(FileBytes(path7), data);

  // A read across the end gives what is left; writes are refused.
  int fd = open(path7.c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  char tail[100];
  EXPECT_EQ(pread(fd, tail, sizeof tail, off_t(data.size() - 10)), 10);
  EXPECT_EQ(std::string(tail, 10), data.substr(data.size() - 10));
  EXPECT_EQ(pread(fd, tail, sizeof tail, off_t(data.size())), 0);
  close(fd);
  errno = 0;
  EXPECT_LT(open(path7.c_str(), O_WRONLY), 0);
  EXPECT_EQ(errno, EROFS);
  EXPECT_NE(mkdir((mnt + "/ch9").c_str(), 0755), 0);

  // The recorder goes on: a growing file shows its new size, a new
  // recording the next listing.
  std::string more = Bytes(2, 4096);
  ASSERT_EQ(zrfs_Write(growing, more.data(), 4096), 4096);
  std::string later = AsListed(Record(9, kMorning + 7200, "x"));
  std::this_thread::sleep_for(1100ms);  // the kernel keeps sizes and listings for a second
  ASSERT_EQ(stat(path7.c_str(), &st), 0);
  EXPECT_EQ(st.st_size, off_t(data.size() + 4096));
  EXPECT_EQ(FileBytes(mnt + "/all/" + later), "x");
  zrfs_Close(growing);

  ToolResult umount = RunTool({"umount", mnt});
  EXPECT_EQ(umount.status, 0) << umount.err;
  guard.unmounted();
  EXPECT_NE(access((mnt + "/all").c_str(), F_OK), 0);
}

TEST_F(BrowseTest, ListingsSelectByChannelKindAndTime) {
  std::string a = AsListed(Record(3, kMorning, "a"));          // 14:05
  std::string b = AsListed(Record(3, kMorning + 7200, "b"));   // 16:05
  std::string c = AsListed(Record(12, kMorning + 3600, "c"));  // 15:05
  auto Listed = [&](std::vector<std::string> args) {
    args.insert(args.begin(), {"ls", image_, "--json", "--utc"});
    ToolResult r = RunTool(args, tmp_.path());
    EXPECT_EQ(r.status, 0) << r.err;
    std::set<std::string> names;
    for (const Json &f : Json::parse(r.out.empty() ? "{}" : r.out).value("files", Json::array()))
      names.insert(f["name"].get<std::string>());
    return names;
  };
  using Names = std::set<std::string>;
  EXPECT_EQ(Listed({"--channel", "3"}), (Names{a, b}));
  EXPECT_EQ(Listed({"--channel", "3", "--channel", "12"}), (Names{a, b, c}));
  // Spans run from creation to the last write, which was just now: every
  // recording meets a window that ends after its creation.
  EXPECT_EQ(Listed({"--to", "2025-12-06 15:00"}), (Names{a}));
  EXPECT_EQ(Listed({"--from", "2025-12-06 15:00", "--to", "2025-12-06 15:30"}), (Names{a, c}));
  EXPECT_EQ(Listed({"--at", "2025-12-06 14:05:00"}), (Names{a}));
  EXPECT_EQ(Listed({"--kind", "0", "--channel", "12"}), (Names{c}));
  EXPECT_EQ(Listed({"--kind", "5"}), Names{});  // data type 5 has a block type of its own

  // The table shows times as they are asked for, whatever the local zone
  // (a POSIX zone five hours behind UTC, which needs no zone files).
  setenv("ZRFS_TOOL_TZ", "EST5", 1);
  ToolResult utc = RunTool({"ls", image_, "--utc", "--channel", "12"}, tmp_.path());
  ToolResult local = RunTool({"ls", image_, "--channel", "12"}, tmp_.path());
  unsetenv("ZRFS_TOOL_TZ");
  EXPECT_NE(utc.out.find("2025-12-06 15:05:00"), std::string::npos) << utc.out;
  EXPECT_NE(local.out.find("2025-12-06 10:05:00"), std::string::npos) << local.out;

  ToolResult bad = RunTool({"ls", image_, "--from", "yesterday"}, tmp_.path());
  EXPECT_EQ(bad.status, 16);
  EXPECT_NE(bad.err.find("YYYY-MM-DD HH:MM"), std::string::npos) << bad.err;
}

TEST_F(BrowseTest, ExportsWriteRawBytesAndRemuxH264WithoutReencoding) {
  std::string ring;
  std::string ringName = RecordWrappedRing(2, &ring);
  bool canRemux = RunTool({"--version"}).out.find(" remux") != std::string::npos;
  bool haveFfmpeg = HaveCommand("ffmpeg") && HaveCommand("ffprobe");
  std::string clip = tmp_.path() + "/clip.h264";
  std::string stream;
  if (haveFfmpeg) {
    ASSERT_EQ(system(("ffmpeg -loglevel error -f lavfi -i testsrc=size=160x120:rate=25 -t 2 "
                      "-c:v libx264 -f h264 " +
                      clip)
                         .c_str()),
              0);
    stream = FileBytes(clip);
  } else {
    stream = Bytes(3, 20000);  // the raw exports still run
  }
  std::string video = Record(4, kMorning, stream);

  // Raw by range: one file per recording of the channel, named as in the
  // view, with its byte count and CRC-32.
  std::string out = tmp_.path() + "/out";
  ToolResult raw = RunTool(
      {"export", image_, "--channel", "2", "--channel", "4", "--utc", out, "--json"}, tmp_.path());
  ASSERT_EQ(raw.status, 0) << raw.err;
  Json exports = Json::parse(raw.out)["exports"];
  ASSERT_EQ(exports.size(), 2u);
  EXPECT_EQ(FileBytes(out + "/14-05-00_" + AsListed(ringName)), ring);
  EXPECT_EQ(FileBytes(out + "/14-05-00_" + AsListed(video)), stream);
  for (const Json &e : exports) {
    std::string bytes = FileBytes(e["path"].get<std::string>());
    EXPECT_EQ(e["bytes"].get<uint64_t>(), bytes.size());
    EXPECT_EQ(e["format"], "raw");
    EXPECT_EQ(e["crc32"].get<std::string>().size(), 8u);
  }
  EXPECT_EQ(RunTool({"export", image_, "--channel", "4", "--to", "2025-12-06 14:00", "--utc",
                     tmp_.path() + "/none", "--json"},
                    tmp_.path())
                    .out.find("\"exports\": []") != std::string::npos,
            true);

  if (!canRemux || !haveFfmpeg) GTEST_SKIP() << "no libavformat in this zrfs, or no ffmpeg here";
  auto probe = [](const std::string &entries, const std::string &file) {
    FILE *pipe = popen(("ffprobe -v error -count_frames -select_streams v:0 -show_entries " +
                        entries + " -of csv=p=0 " + file)
                           .c_str(),
                       "r");
    char line[128] = {};
    if (pipe == nullptr) return std::string();
    if (fgets(line, sizeof line, pipe) == nullptr) line[0] = '\0';
    pclose(pipe);
    return std::string(line);
  };
  // Clips with B-frames, decoded out of the order they are shown in: the
  // export shows every frame after the one before it.
  auto expectShownInOrder = [](const std::string &file) {
    FILE *frames = popen(
        ("ffprobe -v error -select_streams v:0 -show_entries frame=pts,pict_type -of csv=p=0 " +
         file)
            .c_str(),
        "r");
    std::vector<long long> shown;
    bool bFrames = false;
    for (char row[64]; frames != nullptr && fgets(row, sizeof row, frames) != nullptr;) {
      long long pts = 0;
      char type = 0;
      if (sscanf(row, "%lld,%c", &pts, &type) != 2) continue;
      shown.push_back(pts);
      bFrames |= type == 'B';
    }
    if (frames != nullptr) pclose(frames);
    EXPECT_TRUE(bFrames) << file;
    EXPECT_EQ(shown.size(), 50u) << file;
    EXPECT_TRUE(std::adjacent_find(shown.begin(), shown.end(), std::greater_equal<>()) ==
                shown.end())
        << file << ": a frame is shown before the one it follows";
  };
  std::string mp4 = tmp_.path() + "/video.mp4";
  ToolResult remux = RunTool({"export", image_, video, mp4, "--format", "mp4"}, tmp_.path());
  ASSERT_EQ(remux.status, 0) << remux.err;
  EXPECT_EQ(probe("stream=codec_name,nb_read_frames", mp4), "h264,50\n");
  expectShownInOrder(mp4);
  std::string hevcClip = tmp_.path() + "/clip.h265";
  if (system(("ffmpeg -loglevel error -f lavfi -i testsrc=size=160x120:rate=25 -t 2 -c:v libx265 "
              "-x265-params log-level=error -f hevc " +
              hevcClip)
                 .c_str()) == 0) {
    std::string hevc = Record(5, kMorning, FileBytes(hevcClip));
    std::string hevcOut = tmp_.path() + "/hevc.mp4";
    ToolResult r = RunTool({"export", image_, hevc, hevcOut, "--format", "mp4"}, tmp_.path());
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(probe("stream=codec_name,nb_read_frames", hevcOut), "hevc,50\n");
    expectShownInOrder(hevcOut);
  }
  // --fps sets every frame's duration: 50 frames at 10 a second last 5 s.
  ToolResult slow =
      RunTool({"export", image_, video, mp4, "--format", "mp4", "--fps", "10", "--force"});
  ASSERT_EQ(slow.status, 0) << slow.err;
  EXPECT_EQ(probe("stream=duration", mp4), "5.000000\n");
  // By range: the ring holds no video and is named as not exported, the
  // video is exported all the same, and the run ends with a failure.
  ToolResult ts = RunTool({"export", image_, "--channel", "2", "--channel", "4",
                           tmp_.path() + "/ts", "--format", "ts", "--utc", "--json"},
                          tmp_.path());
  EXPECT_EQ(ts.status, 1) << ts.err;
  Json tsDoc = Json::parse(ts.out);
  ASSERT_EQ(tsDoc["exports"].size(), 1u);
  EXPECT_EQ(tsDoc["exports"][0]["frames"], 50);
  EXPECT_EQ(tsDoc["failed"][0]["name"], AsListed(ringName));
  EXPECT_EQ(access((tmp_.path() + "/ts/14-05-00_" + AsListed(video) + ".ts").c_str(), F_OK), 0);

  // A recording that is no video stream is refused, and nothing is left.
  ToolResult notVideo =
      RunTool({"export", image_, ringName, tmp_.path() + "/ring.mp4", "--format", "mp4"});
  EXPECT_EQ(notVideo.status, 1);
  EXPECT_NE(notVideo.err.find("no H.264 or H.265 stream"), std::string::npos) << notVideo.err;
  EXPECT_NE(access((tmp_.path() + "/ring.mp4").c_str(), F_OK), 0);
}

// The library started in this process, its disk also seen through the
// root it shares with the tool (--root, ipc status and clean, refused
// repairs, the retention settings it shares).
class LibraryRootTest : public BrowseTest {
 protected:
  void TearDown() override {}
};

TEST_F(LibraryRootTest, SharedRootShowsTheLiveStateAndRefusesRepairWhileMounted) {
  std::string expected;
  std::string name = RecordWrappedRing(2, &expected);
  // A wrapped ring exports as exactly its logical bytes, on the image file
  // itself (a private root of the tool's) and through the shared root.
  for (auto args : {std::vector<std::string>{"export", image_, name},
                    {"--root", root_.path(), "export", dev_, name}}) {
    ToolResult r = RunTool(args, tmp_.path());
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(r.out == expected) << r.out.size() << " bytes";
  }
  ToolResult json = RunTool({"ls", image_, "--json"}, tmp_.path());
  EXPECT_NE(json.out.find("\"pre_record\": \"wrapped\""), std::string::npos) << json.out;
  EXPECT_NE(json.out.find("\"size\": " + std::to_string(expected.size())), std::string::npos);
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
  std::string expected;
  ASSERT_FALSE(RecordWrappedRing(2, &expected).empty());  // channel 2 holds a block
  ASSERT_EQ(zrfs_UnMount(dev_.c_str()), 0);               // the recorder's is the only mount
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
