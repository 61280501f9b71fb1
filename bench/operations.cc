#include "operations.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <dirent.h>
#include <chrono>
#include <cstring>
#include <vector>

#include "histogram.h"
#include "workload.h"
#include "zrfs.h"

namespace bench {
namespace {

constexpr int kRecordings = 256;
constexpr int kChannels = 4;  // kRecordings / kChannels recordings share a block
constexpr int kMounts = 10;
constexpr int kListings = 20;

enum Op { kCreate, kOpen, kStat, kBlockList, kBlockStat, kUnlink, kMount, kOps };

struct OpResults {
  LatencyHistogram ops[kOps];
  int ok;
};

uint64_t Now() {
  return uint64_t(std::chrono::duration_cast<std::chrono::nanoseconds>(
                      std::chrono::steady_clock::now().time_since_epoch())
                      .count());
}

template <typename F>
bool Timed(LatencyHistogram *h, F call) {
  uint64_t start = Now();
  bool ok = call();
  h->Add(Now() - start);
  return ok;
}

bool LibraryOperations(const Target &target, OpResults *r) {
  const char *disk = target.libDisk.c_str();
  if (zrfs_Format(disk) != 0) return false;
  for (int i = 0; i < kMounts; ++i) {
    if (i > 0 && zrfs_UnMount(disk) != 0) return false;
    if (!Timed(&r->ops[kMount], [&] { return zrfs_Mount(disk) == 0; })) return false;
  }
  static char names[kRecordings][ZRFS_NAME_MAX];
  std::vector<uint8_t> data(4096, 0x5A);
  for (int i = 0; i < kRecordings; ++i) {
    FileCreateParam param;
    memset(&param, 0, sizeof param);
    param.ichan = uint32_t(i % kChannels);
    param.createTime = int32_t(time(nullptr));
    snprintf(param.diskPath, sizeof param.diskPath, "%s", disk);
    snprintf(param.extName, sizeof param.extName, "%s", "rec");
    int fd = -1;
    if (!Timed(&r->ops[kCreate], [&] { return (fd = zrfs_Open(&param, names[i], 1)) >= 0; }))
      return false;
    zrfs_Write(fd, data.data(), uint32_t(data.size()));
    zrfs_Close(fd);
  }
  for (int i = 0; i < kRecordings; ++i) {
    TfFileStat st;
    if (!Timed(&r->ops[kStat], [&] { return zrfs_Stat(names[i], &st) == 0; })) return false;
    int fd = -1;
    if (!Timed(&r->ops[kOpen], [&] { return (fd = zrfs_Open(nullptr, names[i], 0)) >= 0; }))
      return false;
    zrfs_Close(fd);
  }
  std::vector<DfBlockInfo> blocks(64);
  std::vector<TfFileStat> files(4095);
  for (int i = 0; i < kListings; ++i) {
    int n = 0;
    if (!Timed(&r->ops[kBlockList],
               [&] { return (n = zrfs_GetBlockInfo(disk, blocks.data(), 64)) > 0; }))
      return false;
    for (int b = 0; b < n; ++b)
      if (!Timed(&r->ops[kBlockStat], [&] {
            return zrfs_BlockStat(disk, int(blocks[size_t(b)].blkid), files.data(), 4095) > 0;
          }))
        return false;
  }
  for (int i = 0; i < kRecordings; ++i)
    if (!Timed(&r->ops[kUnlink], [&] { return zrfs_Unlink(names[i]) == 0; })) return false;
  return true;
}

void Ext4Operations(Environment *env, OpResults *r) {
  const std::string dir = env->ext4()->mountDir + "/ops";
  mkdir(dir.c_str(), 0755);
  for (int c = 0; c < kChannels; ++c) mkdir((dir + "/" + std::to_string(c)).c_str(), 0755);
  std::vector<std::string> names;
  std::vector<uint8_t> data(4096, 0x5A);
  for (int i = 0; i < kRecordings; ++i) {
    names.push_back(dir + "/" + std::to_string(i % kChannels) + "/rec" + std::to_string(i));
    int fd = -1;
    Timed(&r->ops[kCreate], [&] {
      return (fd = open(names.back().c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644)) >= 0;
    });
    if (write(fd, data.data(), data.size()) < 0) r->ok = 0;
    close(fd);
  }
  for (const std::string &name : names) {
    struct stat st;
    Timed(&r->ops[kStat], [&] { return stat(name.c_str(), &st) == 0; });
    int fd = -1;
    Timed(&r->ops[kOpen], [&] { return (fd = open(name.c_str(), O_RDONLY)) >= 0; });
    close(fd);
  }
  for (int i = 0; i < kListings; ++i) {
    struct statfs fs;
    Timed(&r->ops[kBlockList], [&] { return statfs(dir.c_str(), &fs) == 0; });
    for (int c = 0; c < kChannels; ++c) {
      std::string sub = dir + "/" + std::to_string(c);
      Timed(&r->ops[kBlockStat], [&] {  // every entry of a directory with its status
        DIR *d = opendir(sub.c_str());
        if (d == nullptr) return false;
        while (dirent *e = readdir(d)) {
          struct stat st;
          fstatat(dirfd(d), e->d_name, &st, 0);
        }
        closedir(d);
        return true;
      });
    }
  }
  for (const std::string &name : names)
    Timed(&r->ops[kUnlink], [&] { return unlink(name.c_str()) == 0; });
  for (int c = 0; c < kChannels; ++c) rmdir((dir + "/" + std::to_string(c)).c_str());
  rmdir(dir.c_str());
  for (int i = 0; i < kMounts / 2; ++i) {
    uint64_t nanos = 0;
    if (env->RemountExt4(&nanos)) r->ops[kMount].Add(nanos);
  }
}

}  // namespace

std::vector<OperationLatency> MeasureOperations(Environment *env, const Target &target) {
  auto *lib = static_cast<OpResults *>(
      mmap(nullptr, sizeof(OpResults), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
  if (lib == MAP_FAILED) return {};
  pid_t pid = fork();
  if (pid == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    alarm(300);  // never hang the benchmark
    bool ok = zrfs_SetRootDir(env->root().c_str()) == 0 && zrfs_Init() == 0 &&
              zrfs_SetOpt(1) == 0 && LibraryOperations(target, lib);
    lib->ok = ok ? 1 : 0;
    _exit(ok ? 0 : 1);
  }
  waitpid(pid, nullptr, 0);
  OpResults ext4{};
  ext4.ok = 1;
  if (env->ext4() != nullptr) Ext4Operations(env, &ext4);
  static const char *names[kOps][3] = {
      {"create a recording", "zrfs_Open(param)", "open(O_CREAT)"},
      {"open by name", "zrfs_Open(NULL, name)", "open"},
      {"status by name", "zrfs_Stat", "stat"},
      {"list used blocks", "zrfs_GetBlockInfo", "statfs"},
      {"status of a block's 64 recordings", "zrfs_BlockStat", "readdir + stat of 64 files"},
      {"delete a recording", "zrfs_Unlink", "unlink"},
      {"mount", "zrfs_Mount", "mount(2) ext4"},
  };
  std::vector<OperationLatency> out;
  for (int op = 0; op < kOps; ++op) {
    OperationLatency l;
    l.operation = names[op][0];
    l.libraryCall = names[op][1];
    l.ext4Call = names[op][2];
    l.samples = int(lib->ops[op].count());
    if (lib->ok && lib->ops[op].count() > 0) {
      l.libraryP50 = double(lib->ops[op].Percentile(0.5)) / 1e3;
      l.libraryP99 = double(lib->ops[op].Percentile(0.99)) / 1e3;
    }
    if (env->ext4() != nullptr && ext4.ops[op].count() > 0) {
      l.ext4P50 = double(ext4.ops[op].Percentile(0.5)) / 1e3;
      l.ext4P99 = double(ext4.ops[op].Percentile(0.99)) / 1e3;
    }
    out.push_back(l);
  }
  munmap(lib, sizeof(OpResults));
  return out;
}

}  // namespace bench
