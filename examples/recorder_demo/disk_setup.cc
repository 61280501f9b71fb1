#include "disk_setup.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

#include "recording_tag.h"
#include "stream.h"
#include "zrfs.h"

namespace demo {
namespace {

constexpr uint64_t kGiB = 1ull << 30;
constexpr uint64_t kBlockArea = 0x41100000;  // metadata before the first block
constexpr uint32_t kOlderRecordingBytes = 1 << 20;
constexpr int kOlderRecordingsPerBlock = 2;
constexpr uint32_t kOlderChannelBase = 512;  // channel numbers of the older recordings

bool MakeDirs(const std::string &path) {
  for (size_t pos = 1; pos != std::string::npos;) {
    pos = path.find('/', pos + 1);
    if (mkdir(path.substr(0, pos).c_str(), 0777) != 0 && errno != EEXIST) return false;
  }
  return true;
}

std::string ProgramDirectory() {
  char path[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return ".";
  path[n] = '\0';
  char *slash = strrchr(path, '/');
  if (slash != nullptr) *slash = '\0';
  return path;
}

int UnlockedBlocks(int blocks) {
  int unlocked = 0;
  for (int b = 0; b < blocks; ++b) unlocked += OlderBlockLocked(b) ? 0 : 1;
  return unlocked;
}

bool MakeSparseImage(const std::string &path, uint64_t bytes) {
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL, 0644);
  if (fd < 0) return false;
  bool ok = ftruncate(fd, off_t(bytes)) == 0;
  close(fd);
  return ok;
}

// One older recording: a megabyte of its stream written in 256 KiB pieces.
bool RecordOlder(uint32_t stream, uint32_t channel, int32_t createTime, int index, bool locked,
                 SharedState *state) {
  FileCreateParam param;
  memset(&param, 0, sizeof param);
  param.ichan = channel;
  param.createTime = createTime;
  param.recType = 1;
  snprintf(param.diskPath, sizeof param.diskPath, "%s", kDiskPath);
  snprintf(param.extName, sizeof param.extName, "%s", "h264");
  char name[ZRFS_NAME_MAX];
  int fd = zrfs_Open(&param, name, 1);
  if (fd < 0) return false;
  uint64_t start = uint64_t(index) * kOlderRecordingBytes;
  std::vector<uint8_t> piece(256 * 1024);
  bool ok = TagRecording(name, RecordingTag{stream, start}) == 0;
  for (uint32_t done = 0; ok && done < kOlderRecordingBytes; done += uint32_t(piece.size())) {
    FillStream(piece.data(), stream, start + done, piece.size());
    ok = zrfs_Write(fd, piece.data(), uint32_t(piece.size())) == int(piece.size());
  }
  zrfs_Close(fd);
  if (ok && locked) ok = zrfs_Lock(name, 1) == 0;
  state->streams[stream].bytes.store(start + kOlderRecordingBytes);
  state->streams[stream].filesCreated.fetch_add(1);
  return ok;
}

}  // namespace

int BlocksFor(int liveStreams) {
  // Every live channel fills a block of its own; the disk has room for a
  // block per channel once the unlocked older recordings are gone, plus two.
  int blocks = liveStreams + 2;
  while (UnlockedBlocks(blocks) < liveStreams + 2) ++blocks;
  return blocks;
}

bool MakeRoot(RunContext *run, std::string *madeImage) {
  madeImage->clear();
  std::string base = ProgramDirectory() + "/demo-run-XXXXXX";
  std::vector<char> templ(base.begin(), base.end());
  templ.push_back('\0');
  if (mkdtemp(templ.data()) == nullptr) {
    fprintf(stderr, "recorder_demo: cannot make %s: %s\n", base.c_str(), strerror(errno));
    return false;
  }
  run->root = templ.data();
  std::string device = run->root + kDiskPath;
  if (!MakeDirs(run->root + "/dvr/zrfs") || !MakeDirs(device.substr(0, device.rfind('/')))) {
    fprintf(stderr, "recorder_demo: cannot make directories in %s\n", run->root.c_str());
    return false;
  }
  uint64_t bytes = kBlockArea + uint64_t(BlocksFor(run->liveStreams) + 1) * kGiB;
  if (run->options.image.empty()) {
    if (!MakeSparseImage(device, bytes)) {
      fprintf(stderr, "recorder_demo: cannot make the image %s\n", device.c_str());
      return false;
    }
    *madeImage = device;
    return true;
  }
  // A given image or device is reached through a link at the device path.
  char absolute[PATH_MAX];
  std::string image = run->options.image;
  if (access(image.c_str(), F_OK) != 0) {
    if (!MakeSparseImage(image, bytes)) {
      fprintf(stderr, "recorder_demo: cannot make the image %s\n", image.c_str());
      return false;
    }
    *madeImage = image;
  }
  if (realpath(image.c_str(), absolute) == nullptr || symlink(absolute, device.c_str()) != 0) {
    fprintf(stderr, "recorder_demo: cannot link %s into %s\n", image.c_str(), run->root.c_str());
    return false;
  }
  return true;
}

int PrepareDisk(const RunContext &run) {
  if (zrfs_SetRootDir(run.root.c_str()) != 0 || zrfs_Init() != 0) {
    fprintf(stderr, "recorder_demo: starting the library failed\n");
    return -1;
  }
  if (zrfs_Format(kDiskPath) != 0 || zrfs_Mount(kDiskPath) != 0) {
    fprintf(stderr, "recorder_demo: formatting or mounting %s failed\n", kDiskPath);
    return -1;
  }
  int blocks = zrfs_GetUsedBlockNum(kDiskPath);
  if (UnlockedBlocks(blocks) < run.liveStreams + 1 || run.liveStreams + blocks > kMaxStreams) {
    fprintf(stderr, "recorder_demo: a disk of %d blocks is too small for %d channels\n", blocks,
            run.liveStreams);
    return -1;
  }
  // Yesterday's recordings, one camera per block, ten minutes apart.
  int32_t yesterday = int32_t(time(nullptr)) - 86400;
  for (int b = 0; b < blocks; ++b) {
    uint32_t stream = uint32_t(run.liveStreams + b);
    for (int i = 0; i < kOlderRecordingsPerBlock; ++i) {
      if (!RecordOlder(stream, kOlderChannelBase + uint32_t(b), yesterday + 600 * b, i,
                       OlderBlockLocked(b), run.state)) {
        fprintf(stderr, "recorder_demo: recording the older recordings failed\n");
        return -1;
      }
    }
  }
  return blocks;
}

}  // namespace demo
