// The disk header and tables as mount finds them: the input becomes copy 0's
// header, the start of its block map and the first rows of its current-block
// and block-count pages (type 0).  A disk that mounts is then used: totals,
// the block list, a recording made, read and deleted.
#include <cstring>
#include <vector>

#include "format/disk_format.h"
#include "fuzz_disk.h"
#include "zrfs.h"

using namespace zrfs;
using namespace zrfs::fuzz;

namespace {

constexpr size_t kPart = 512;

void PokePart(const uint8_t *data, size_t size, size_t part, uint64_t offset) {
  if (size <= part * kPart) return;
  Poke(offset, data + part * kPart, std::min(kPart, size - part * kPart));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const std::string &dev = StartLibrary();
  EmptyImage();
  PokePart(data, size, 0, HeaderPlace(0));
  PokePart(data, size, 1, MapPlaceA(0));
  PokePart(data, size, 2, CurBlkPage(0, 0));
  PokePart(data, size, 3, BlkCntPage(0, 0));
  if (zrfs_Mount(dev.c_str()) != 0) return 0;

  DfStatfs st;
  zrfs_Statfs(dev.c_str(), &st);
  std::vector<DfBlockInfo> info(64);
  zrfs_GetBlockInfo(dev.c_str(), info.data(), int(info.size()));
  zrfs_GetUsedSizeOfDataType(dev.c_str(), 0, 0);
  FileCreateParam p = MakeParam(0, 0, 0);
  char name[ZRFS_NAME_MAX] = {};
  int fd = zrfs_Open(&p, name, 2);
  if (fd >= 0) {
    char bytes[4096];
    memset(bytes, 0x5A, sizeof bytes);
    zrfs_Write(fd, bytes, sizeof bytes);
    zrfs_Seek(fd, 0, 0);
    zrfs_Read(fd, bytes, sizeof bytes);
    zrfs_Close(fd);
    zrfs_Unlink(name);
  }
  zrfs_UnMount(dev.c_str());
  return 0;
}
