// zrfs_browse_image IMAGE BLOCKS BIG_MIB: turns a freshly formatted image
// into one whose first BLOCKS blocks are used, each with one recording of
// 64 KiB header-declared bytes (channels 0..15, a minute apart), and block 0's
// recording BIG_MIB MiB of real bytes: a disk of the size recorders fill,
// made by writing only headers and one recording, for measuring the
// browse commands.  It writes the layout directly (the format module's
// records), so a 16,000-block image takes seconds instead of 32 GB of
// header-area clearing.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "format/block_format.h"
#include "format/disk_format.h"

using namespace zrfs;

namespace {

bool WriteAt(int fd, const void *bytes, size_t len, uint64_t offset) {
  return pwrite(fd, bytes, len, off_t(offset)) == ssize_t(len);
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 4) {
    fprintf(stderr, "usage: zrfs_browse_image IMAGE BLOCKS BIG_MIB\n");
    return 2;
  }
  int fd = open(argv[1], O_RDWR);
  uint32_t blocks = uint32_t(strtoul(argv[2], nullptr, 10));
  uint64_t bigBytes = strtoull(argv[3], nullptr, 10) << 20;
  DfDiskHeader head{};
  if (fd < 0 || pread(fd, &head, sizeof head, off_t(HeaderPlace(0))) != ssize_t(sizeof head) ||
      !MountAccepts(head) || blocks > head.tolblk || bigBytes > head.unitSize / 2) {
    fprintf(stderr, "zrfs_browse_image: %s is no formatted image with %u blocks\n", argv[1],
            blocks);
    return 1;
  }
  std::vector<uint8_t> map(blocks, kBlkUsed);
  for (int copy = 0; copy < int(kMetaCopies); ++copy)
    if (!WriteAt(fd, map.data(), map.size(), MapPlaceA(copy))) return 1;
  const int64_t start = 1765008000;  // 2025-12-06 08:00 UTC
  for (uint32_t blk = 0; blk < blocks; ++blk) {
    uint64_t base = head.dataStart + uint64_t(blk) * head.unitSize;
    uint64_t size = blk == 0 ? bigBytes : 64 * 1024;
    TfFileHeader file{};
    file.fileNo = 1;
    memcpy(file.magic, "ZRND", 4);
    char tag[5];
    snprintf(tag, sizeof tag, "%04X", blk & 0xFFFF);
    memcpy(file.tag, tag, 4);
    memcpy(file.extName, "h264", 4);
    file.ichan = blk % 16;
    file.createTime = start + int64_t(blk) * 60;
    file.modifyTime = file.createTime + 59;
    file.StartAddr = kHeaderAreaSize;
    file.EndAddr = kHeaderAreaSize + size;
    BlkHeader block{};
    block.hdrAreaSize = kHeaderAreaSize;
    block.inUse = 1;
    block.createTime = file.createTime;
    block.modifyTime = file.modifyTime;
    block.ichan = file.ichan;
    block.fileNum = 1;
    block.dataOffset = kHeaderAreaSize;
    block.appendPos = int64_t(file.EndAddr);
    block.lastFileNo = 1;
    if (!WriteAt(fd, &block, sizeof block, base) ||
        !WriteAt(fd, &file, sizeof file, base + kSectorSize))
      return 1;
  }
  // Block 0's recording: real bytes, so reads of it go to the device.
  std::vector<uint8_t> chunk(1 << 20);
  for (size_t i = 0; i < chunk.size(); ++i) chunk[i] = uint8_t(i * 131 + i / 4093);
  for (uint64_t done = 0; done < bigBytes; done += chunk.size())
    if (!WriteAt(fd, chunk.data(), chunk.size(), head.dataStart + kHeaderAreaSize + done)) return 1;
  if (fsync(fd) != 0 || close(fd) != 0) return 1;
  return 0;
}
