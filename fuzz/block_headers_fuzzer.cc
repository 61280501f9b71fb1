// Block and record-file headers as a block's header area holds them: a
// recording is made on a fresh disk, then the input replaces its block
// header and the first record-file headers.  The files are then opened by
// name, read, written, listed, and a new file is made in the block.
#include <cstring>
#include <string>

#include "format/block_format.h"
#include "fuzz_disk.h"
#include "zrfs.h"
#include "zrfs/bf.h"

using namespace zrfs;
using namespace zrfs::fuzz;

namespace {

constexpr uint32_t kFiles = 3;  // record-file headers taken from the input

// The name a header in slot n of block 0 answers to.
std::string NameOf(const TfFileHeader &file, uint32_t n) {
  char name[ZRFS_NAME_MAX] = {};
  char identity[8];
  memcpy(identity, file.magic, 4);
  memcpy(identity + 4, file.tag, 4);
  if (identity[0] == '\0') identity[0] = 'Z';  // an empty identity would make a new tag
  bf_MakeFileName(kDisk, 0, n, name, identity, file.lockFlag);
  return std::string(name) + "h264";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const std::string &dev = StartLibrary();
  EmptyImage();
  if (zrfs_Format(dev.c_str()) != 0 || zrfs_Mount(dev.c_str()) != 0) abort();
  FileCreateParam p = MakeParam(0, 0, 0);
  char made[ZRFS_NAME_MAX] = {};
  int fd = zrfs_Open(&p, made, 2);
  if (fd < 0) abort();
  zrfs_Close(fd);

  uint8_t area[(kFiles + 1) * kSectorSize] = {};
  memcpy(area, data, std::min(size, sizeof area));
  Poke(kDataStart, area, sizeof area);

  for (uint32_t n = 1; n <= kFiles; ++n) {
    TfFileHeader file;
    memcpy(&file, area + n * kSectorSize, sizeof file);
    std::string name = NameOf(file, n);
    TfFileStat st;
    zrfs_Stat(name.c_str(), &st);
    int rd = zrfs_Open(nullptr, const_cast<char *>(name.c_str()), 2);
    if (rd < 0) continue;
    char bytes[4096];
    zrfs_Read(rd, bytes, sizeof bytes);
    zrfs_Seek(rd, 0, 2);
    memset(bytes, 0x5A, sizeof bytes);
    zrfs_Write(rd, bytes, sizeof bytes);
    zrfs_fstat(rd, &st);
    zrfs_Close(rd);
  }
  TfFileStat list[8];
  zrfs_BlockStat(dev.c_str(), 0, list, 8);
  zrfs_GetFileNum(dev.c_str(), 0);
  DfBlockInfo info[4];
  zrfs_GetBlockInfo(dev.c_str(), info, 4);
  fd = zrfs_Open(&p, made, 2);  // the channel's current block, if it still has room
  if (fd >= 0) {
    char bytes[4096] = {};
    zrfs_Write(fd, bytes, sizeof bytes);
    zrfs_Close(fd);
    zrfs_Unlink(made);
  }
  zrfs_UnMount(dev.c_str());
  return 0;
}
