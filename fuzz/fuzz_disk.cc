#include "fuzz_disk.h"

#include <fcntl.h>
#include <ftw.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "format/block_format.h"
#include "format/disk_format.h"
#include "support/recording_param.h"
#include "zrfs.h"

namespace zrfs::fuzz {
namespace {

std::string g_root;
std::string g_dev;

void RemoveKey(key_t key) {
  int shm = shmget(key, 0, 0);
  if (shm >= 0) shmctl(shm, IPC_RMID, nullptr);
  for (key_t k : {key, key_t(key + 0x10000)}) {
    int sem = semget(k, 0, 0);
    if (sem >= 0) semctl(sem, 0, IPC_RMID);
  }
}

// Every object whose key derives from the root's key files, then the files.
void RemoveRoot() {
  std::string layer = g_root + "/dvr/zrfs/zrfslayer";
  for (int id : {'A', 'B', 'a', 'b', 'c'}) RemoveKey(ftok(layer.c_str(), id));
  for (int file = 0; file < 17; ++file) {
    std::string name = g_root + "/dvr/zrfs/zrfs" + std::to_string(file);
    if (access(name.c_str(), F_OK) != 0) continue;
    for (int id = 1; id <= 126; ++id) RemoveKey(ftok(name.c_str(), id));
  }
  nftw(
      g_root.c_str(),
      [](const char *p, const struct stat *, int, struct FTW *) { return remove(p); }, 16,
      FTW_DEPTH | FTW_PHYS);
}

}  // namespace

const std::string &StartLibrary() {
  if (!g_dev.empty()) return g_dev;
  char templ[] = "/tmp/zrfs-fuzz-XXXXXX";
  if (mkdtemp(templ) == nullptr) abort();
  g_root = templ;
  for (const char *dir : {"/dvr", "/dvr/zrfs", "/dev", "/dev/scsi", "/dev/scsi/host03"})
    mkdir((g_root + dir).c_str(), 0777);
  g_dev = "/dev/scsi/host03/part1";
  EmptyImage();
  if (zrfs_SetRootDir(g_root.c_str()) != 0 || zrfs_Init() != 0) abort();
  atexit(RemoveRoot);
  return g_dev;
}

std::string ImageFile() {
  return g_root + g_dev;
}

void EmptyImage() {
  int fd = open(ImageFile().c_str(), O_RDWR | O_CREAT, 0644);
  if (fd < 0 || ftruncate(fd, 0) != 0 || ftruncate(fd, off_t(kImageBytes)) != 0) abort();
  close(fd);
}

void Poke(uint64_t offset, const void *bytes, size_t len) {
  int fd = open(ImageFile().c_str(), O_RDWR);
  if (fd < 0 || pwrite(fd, bytes, len, off_t(offset)) != ssize_t(len)) abort();
  close(fd);
}

FileCreateParam MakeParam(uint32_t chan, uint32_t kind, int32_t preRecSize) {
  return zrfs::test::RecordingParam(g_dev, chan, kind, preRecSize);
}

std::vector<Region> CheckedRegions() {
  std::vector<Region> regions;
  for (int copy = 0; copy < 2; ++copy) regions.push_back({HeaderPlace(copy), kSectorSize});
  for (int copy = 0; copy < 2; ++copy) {
    regions.push_back({MapPlaceA(copy), kSectorSize});
    regions.push_back({MapPlaceB(copy), kSectorSize});
  }
  for (int copy = 0; copy < 2; ++copy)
    for (int type = 0; type < 4; ++type) {
      regions.push_back({CurBlkPage(copy, type), 256});
      regions.push_back({BlkCntPage(copy, type), 256});
    }
  for (int blk = 0; blk < kImageBlocks; ++blk)
    regions.push_back({kDataStart + uint64_t(blk) * kUnit, 8 * kSectorSize});
  return regions;
}

}  // namespace zrfs::fuzz
