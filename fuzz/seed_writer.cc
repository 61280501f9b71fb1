// Writes the fuzz targets' first inputs, taken from a real disk: a formatted
// image recorded on by the library (plain, pre-record and locked files), cut
// into the pieces each target reads.
//
//   zrfs_fuzz_seeds DIR   makes DIR/mount_tables, DIR/block_headers,
//                         DIR/record_name and DIR/check_image, one seed per
//                         file
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "format/block_format.h"
#include "format/disk_format.h"
#include "fuzz_disk.h"
#include "zrfs.h"

using namespace zrfs;
using namespace zrfs::fuzz;

namespace {

std::string ReadImage(uint64_t offset, size_t len) {
  std::string bytes(len, '\0');
  int fd = open(ImageFile().c_str(), O_RDONLY);
  if (fd < 0 || pread(fd, bytes.data(), len, off_t(offset)) != ssize_t(len)) abort();
  close(fd);
  return bytes;
}

void WriteSeed(const std::string &dir, const std::string &name, const std::string &bytes) {
  FILE *f = fopen((dir + "/" + name).c_str(), "wb");
  if (f == nullptr) abort();
  fwrite(bytes.data(), 1, bytes.size(), f);
  fclose(f);
}

std::string Record(uint32_t chan, uint32_t kind, int32_t preRecSize, uint32_t bytes) {
  FileCreateParam p = MakeParam(chan, kind, preRecSize);
  char name[ZRFS_NAME_MAX] = {};
  int fd = zrfs_Open(&p, name, 2);
  if (fd < 0) abort();
  std::vector<char> data(bytes, 'v');
  zrfs_Write(fd, data.data(), bytes);
  if (kind == 1) zrfs_UpdataePreRecPtr(fd, 4096, int32_t(bytes) - 4096);
  zrfs_Close(fd);
  return name;
}

// The parts of the image the disk checker's target overlays, in its order.
std::string CheckedBytes() {
  std::string bytes;
  for (const Region &r : CheckedRegions()) bytes += ReadImage(r.offset, r.len);
  return bytes;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: %s DIR\n", argv[0]);
    return 2;
  }
  std::string out = argv[1];
  const std::string &dev = StartLibrary();
  if (zrfs_Format(dev.c_str()) != 0 || zrfs_Mount(dev.c_str()) != 0) return 1;
  std::vector<std::string> names = {Record(0, 0, 0, 65536), Record(0, 1, 262144, 131072),
                                    Record(0, 2, 0, 8192), Record(1, 0, 0, 4096)};
  for (const char *target : {"mount_tables", "block_headers", "record_name", "check_image"})
    mkdir((out + "/" + target).c_str(), 0777);

  std::string tables = ReadImage(HeaderPlace(0), 512) + ReadImage(MapPlaceA(0), 512) +
                       ReadImage(CurBlkPage(0, 0), 512) + ReadImage(BlkCntPage(0, 0), 512);
  WriteSeed(out + "/mount_tables", "formatted-and-recorded", tables);
  WriteSeed(out + "/block_headers", "three-files", ReadImage(kDataStart, 4 * kSectorSize));
  for (size_t i = 0; i < names.size(); ++i)
    WriteSeed(out + "/record_name", "name" + std::to_string(i), names[i]);
  WriteSeed(out + "/record_name", "with-device", dev + "/" + names[0]);
  WriteSeed(out + "/check_image", "recorded", CheckedBytes());
  // Channel 1's block given back with its file's header left in it, and the
  // last block tagged bad.
  if (zrfs_Unlink(names[3].c_str()) != 0) return 1;
  if (zrfs_TagBadUnit(dev.c_str(), kDataStart + 3 * kUnit + 4096, 512) != 0) return 1;
  WriteSeed(out + "/check_image", "unlinked-and-tagged", CheckedBytes());
  zrfs_UnMount(dev.c_str());
  return 0;
}
