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
#include <cstring>
#include <vector>

#include "clock.h"
#include "histogram.h"
#include "zrfs.h"
#include "zrfs/df.h"

namespace bench {
namespace {

constexpr int kChannels = 4;
// Recordings of a channel besides its first; with the first, a block's worth
// for the block-status call.
constexpr int kMorePerChannel = 63;
constexpr int kRecordings = kChannels * kMorePerChannel;
constexpr int kMounts = 10;
constexpr int kListings = 20;

// Creates on a full disk that overwrites its oldest block, which holds
// this many recordings.
constexpr int kOverwrites = 5;
constexpr int kInOldestBlock = 100;

enum Op {
  kFirstCreate,
  kCreate,
  kOpen,
  kStat,
  kBlockList,
  kBlockStat,
  kUnlink,
  kMount,
  kOverwriteCreate,
  kOps
};

struct OpResults {
  LatencyHistogram ops[kOps];
  int ok;
};

template <typename F>
bool Timed(LatencyHistogram *h, F call) {
  uint64_t start = Now();
  bool ok = call();
  h->Add(Now() - start);
  return ok;
}

int CreateRecording(const char *disk, int channel, char *name) {
  FileCreateParam param;
  memset(&param, 0, sizeof param);
  param.ichan = uint32_t(channel);
  param.createTime = int32_t(time(nullptr));
  snprintf(param.diskPath, sizeof param.diskPath, "%s", disk);
  snprintf(param.extName, sizeof param.extName, "%s", "rec");
  return zrfs_Open(&param, name, 1);
}

bool ListBlocks(const char *disk, std::vector<DfBlockInfo> *blocks, int *count) {
  return (*count = zrfs_GetBlockInfo(disk, blocks->data(), int(blocks->size()))) > 0;
}

bool StatBlock(const char *disk, const DfBlockInfo &block, std::vector<TfFileStat> *files) {
  return zrfs_BlockStat(disk, int(block.blkid), files->data(), int(files->size())) > 0;
}

// A recording that leaves its block too little room for another one.
bool FillBlock(const char *disk, int channel, char *name) {
  int fd = CreateRecording(disk, channel, name);
  if (fd < 0) return false;
  int64_t unit = int64_t(df_GetDiskUnitSize());  // of the disk mounted last
  bool ok = unit > 0 && zrfs_ftruncate(fd, unit - 2 * 0x200000) == 0;
  zrfs_Close(fd);
  return ok;
}

// Each round: a fresh disk whose oldest block holds kInOldestBlock
// recordings and whose other blocks are full, then one create timed that
// gives that block back and takes it.
bool OverwriteOldest(const char *disk, OpResults *r) {
  std::vector<uint8_t> data(4096, 0x5A);
  char first[ZRFS_NAME_MAX], name[ZRFS_NAME_MAX];
  for (int round = 0; round < kOverwrites; ++round) {
    if (zrfs_Format(disk) != 0 || zrfs_Mount(disk) != 0) return false;
    for (int i = 0; i < kInOldestBlock - 1; ++i) {
      int fd = CreateRecording(disk, 0, i == 0 ? first : name);
      if (fd < 0) return false;
      zrfs_Write(fd, data.data(), uint32_t(data.size()));
      zrfs_Close(fd);
    }
    if (!FillBlock(disk, 0, name)) return false;
    for (int channel = 1; FillBlock(disk, channel, name); ++channel) {
    }
    if (zrfs_LastError() != ZRFS_ENOSPC || zrfs_SetRetention(disk, ZRFS_OVERWRITE_OLDEST) != 0)
      return false;
    int fd = -1;
    if (!Timed(&r->ops[kOverwriteCreate],
               [&] { return (fd = CreateRecording(disk, 1023, name)) >= 0; }))
      return false;
    zrfs_Close(fd);
    TfFileStat st;
    if (zrfs_Stat(first, &st) == 0 || zrfs_UnMount(disk) != 0) return false;  // it went
  }
  return true;
}

bool LibraryOperations(const Target &target, OpResults *r) {
  const char *disk = target.libDisk.c_str();
  if (zrfs_Format(disk) != 0) return false;
  // A first mount and unmount untimed: the first one maps the shared tables.
  if (zrfs_Mount(disk) != 0 || zrfs_UnMount(disk) != 0) return false;
  for (int i = 0; i < kMounts; ++i) {
    if (i > 0 && zrfs_UnMount(disk) != 0) return false;
    if (!Timed(&r->ops[kMount], [&] { return zrfs_Mount(disk) == 0; })) return false;
  }
  std::vector<uint8_t> data(4096, 0x5A);
  // Each channel's first recording takes a fresh block, so it is timed
  // apart; it stays to the end, so the other recordings find their block.
  static char firsts[kChannels][ZRFS_NAME_MAX];
  for (int c = 0; c < kChannels; ++c) {
    int fd = -1;
    if (!Timed(&r->ops[kFirstCreate],
               [&] { return (fd = CreateRecording(disk, c, firsts[c])) >= 0; }))
      return false;
    zrfs_Write(fd, data.data(), uint32_t(data.size()));
    zrfs_Close(fd);
  }
  // Warm-up: every timed call once, untimed, on the first recordings.
  std::vector<DfBlockInfo> blocks(64);
  std::vector<TfFileStat> files(4095);
  int blockCount = 0;
  for (int c = 0; c < kChannels; ++c) {
    TfFileStat st;
    int fd = zrfs_Open(nullptr, firsts[c], 0);
    if (zrfs_Stat(firsts[c], &st) != 0 || fd < 0) return false;
    zrfs_Close(fd);
  }
  if (!ListBlocks(disk, &blocks, &blockCount) || !StatBlock(disk, blocks[0], &files)) return false;

  static char names[kRecordings][ZRFS_NAME_MAX];
  for (int i = 0; i < kRecordings; ++i) {
    int fd = -1;
    if (!Timed(&r->ops[kCreate],
               [&] { return (fd = CreateRecording(disk, i % kChannels, names[i])) >= 0; }))
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
  for (int i = 0; i < kListings; ++i) {
    if (!Timed(&r->ops[kBlockList], [&] { return ListBlocks(disk, &blocks, &blockCount); }))
      return false;
    for (int b = 0; b < blockCount; ++b)
      if (!Timed(&r->ops[kBlockStat], [&] { return StatBlock(disk, blocks[size_t(b)], &files); }))
        return false;
  }
  for (int i = 0; i < kRecordings; ++i)
    if (!Timed(&r->ops[kUnlink], [&] { return zrfs_Unlink(names[i]) == 0; })) return false;
  for (int c = 0; c < kChannels; ++c)
    if (zrfs_Unlink(firsts[c]) != 0) return false;
  return zrfs_UnMount(disk) == 0 && OverwriteOldest(disk, r);
}

// Every entry of a directory with its status: the block-status equivalent.
bool StatDirectory(const std::string &dir) {
  DIR *d = opendir(dir.c_str());
  if (d == nullptr) return false;
  while (dirent *e = readdir(d)) {
    struct stat st;
    fstatat(dirfd(d), e->d_name, &st, 0);
  }
  closedir(d);
  return true;
}

bool CreateFile(const std::string &name, const std::vector<uint8_t> &data) {
  int fd = open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
  bool ok = fd >= 0 && write(fd, data.data(), data.size()) == ssize_t(data.size());
  if (fd >= 0) close(fd);
  return ok;
}

void Ext4Operations(Environment *env, OpResults *r) {
  const std::string dir = env->ext4()->mountDir + "/ops";
  auto channelDir = [&](int c) { return dir + "/" + std::to_string(c); };
  mkdir(dir.c_str(), 0755);
  std::vector<uint8_t> data(4096, 0x5A);
  // A channel's first recording makes its directory.
  std::vector<std::string> firsts;
  for (int c = 0; c < kChannels; ++c) {
    firsts.push_back(channelDir(c) + "/first");
    Timed(&r->ops[kFirstCreate], [&] {
      return mkdir(channelDir(c).c_str(), 0755) == 0 && CreateFile(firsts.back(), data);
    });
  }
  // Warm-up: every timed call once, untimed, on the first recordings.
  for (const std::string &name : firsts) {
    struct stat st;
    stat(name.c_str(), &st);
    close(open(name.c_str(), O_RDONLY));
  }
  struct statfs fs;
  statfs(dir.c_str(), &fs);
  StatDirectory(channelDir(0));

  std::vector<std::string> names;
  for (int i = 0; i < kRecordings; ++i) {
    names.push_back(channelDir(i % kChannels) + "/rec" + std::to_string(i));
    if (!Timed(&r->ops[kCreate], [&] { return CreateFile(names.back(), data); })) r->ok = 0;
  }
  for (const std::string &name : names) {
    struct stat st;
    Timed(&r->ops[kStat], [&] { return stat(name.c_str(), &st) == 0; });
    int fd = -1;
    Timed(&r->ops[kOpen], [&] { return (fd = open(name.c_str(), O_RDONLY)) >= 0; });
    close(fd);
  }
  for (int i = 0; i < kListings; ++i) {
    Timed(&r->ops[kBlockList], [&] { return statfs(dir.c_str(), &fs) == 0; });
    for (int c = 0; c < kChannels; ++c)
      Timed(&r->ops[kBlockStat], [&] { return StatDirectory(channelDir(c)); });
  }
  for (const std::string &name : names)
    Timed(&r->ops[kUnlink], [&] { return unlink(name.c_str()) == 0; });
  for (int c = 0; c < kChannels; ++c) {
    unlink(firsts[size_t(c)].c_str());
    rmdir(channelDir(c).c_str());
  }
  // The oldest directory's recordings deleted, then a new one made.
  for (int round = 0; round < kOverwrites; ++round) {
    std::string oldest = dir + "/oldest";
    mkdir(oldest.c_str(), 0755);
    for (int i = 0; i < kInOldestBlock; ++i) CreateFile(oldest + "/rec" + std::to_string(i), data);
    Timed(&r->ops[kOverwriteCreate], [&] {
      for (int i = 0; i < kInOldestBlock; ++i)
        unlink((oldest + "/rec" + std::to_string(i)).c_str());
      return rmdir(oldest.c_str()) == 0 && CreateFile(dir + "/next", data);
    });
    unlink((dir + "/next").c_str());
  }
  rmdir(dir.c_str());
  for (int i = 0; i < kMounts / 2; ++i) {
    uint64_t nanos = 0;
    if (env->RemountExt4(&nanos)) r->ops[kMount].Add(nanos);
  }
}

// One repetition of the library side, in a child process.
bool MeasureLibrary(Environment *env, const Target &target, OpResults *lib) {
  memset(static_cast<void *>(lib), 0, sizeof *lib);
  pid_t pid = fork();
  if (pid == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    alarm(300);  // never hang the benchmark
    bool ok = zrfs_SetRootDir(env->root().c_str()) == 0 && zrfs_Init() == 0 &&
              zrfs_SetOpt(1) == 0 && LibraryOperations(target, lib);
    lib->ok = ok ? 1 : 0;
    _exit(ok ? 0 : 1);
  }
  int status = 0;
  return pid > 0 && waitpid(pid, &status, 0) == pid && lib->ok == 1;
}

void AddPercentiles(const LatencyHistogram &h, std::vector<double> *p50, std::vector<double> *p99) {
  if (h.count() == 0) return;
  p50->push_back(double(h.Percentile(0.5)) / 1e3);
  p99->push_back(double(h.Percentile(0.99)) / 1e3);
}

}  // namespace

std::vector<OperationLatency> MeasureOperations(Environment *env, const Target &target,
                                                int repetitions) {
  static const char *names[kOps][3] = {
      {"create a channel's first recording", "zrfs_Open(param)", "mkdir + open(O_CREAT)"},
      {"create a recording", "zrfs_Open(param)", "open(O_CREAT)"},
      {"open by name", "zrfs_Open(NULL, name)", "open"},
      {"status by name", "zrfs_Stat", "stat"},
      {"list used blocks", "zrfs_GetBlockInfo", "statfs"},
      {"status of a block's 64 recordings", "zrfs_BlockStat", "readdir + stat of 64 files"},
      {"delete a recording", "zrfs_Unlink", "unlink"},
      {"mount", "zrfs_Mount", "mount(2) ext4"},
      {"create on a full disk, overwriting a block of 100 recordings",
       "zrfs_Open(param), overwrite oldest", "100 unlink + rmdir + open(O_CREAT)"},
  };
  std::vector<OperationLatency> out(kOps);
  for (int op = 0; op < kOps; ++op) {
    out[size_t(op)].operation = names[op][0];
    out[size_t(op)].libraryCall = names[op][1];
    out[size_t(op)].ext4Call = names[op][2];
  }
  auto *lib = static_cast<OpResults *>(
      mmap(nullptr, sizeof(OpResults), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
  if (lib == MAP_FAILED) return {};
  for (int rep = 0; rep < repetitions; ++rep) {
    OpResults ext4{};
    ext4.ok = 1;
    bool libraryOk = false, ext4Done = false;
    for (int side = 0; side < 2; ++side) {
      if ((side + rep) % 2 == 0) {
        libraryOk = MeasureLibrary(env, target, lib);
      } else if (env->ext4() != nullptr) {
        Ext4Operations(env, &ext4);
        ext4Done = ext4.ok == 1;
      }
    }
    for (int op = 0; op < kOps; ++op) {
      OperationLatency &l = out[size_t(op)];
      if (libraryOk) {
        AddPercentiles(lib->ops[op], &l.libraryP50, &l.libraryP99);
        l.samples = int(lib->ops[op].count());
      }
      if (ext4Done) AddPercentiles(ext4.ops[op], &l.ext4P50, &l.ext4P99);
    }
  }
  munmap(lib, sizeof(OpResults));
  return out;
}

}  // namespace bench
