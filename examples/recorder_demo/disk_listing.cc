#include "disk_listing.h"

#include <algorithm>

namespace demo {
namespace {

constexpr int kMaxRecordingsPerBlock = 4095;  // header slots of a block

}  // namespace

std::vector<DfBlockInfo> ListBlocks(const char *disk) {
  int total = zrfs_GetUsedBlockNum(disk);  // blocks of the disk
  if (total <= 0) return {};
  std::vector<DfBlockInfo> blocks(static_cast<size_t>(total));
  int used = zrfs_GetBlockInfo(disk, blocks.data(), total);
  if (used < 0) return {};
  blocks.resize(size_t(used));
  std::sort(blocks.begin(), blocks.end(), [](const DfBlockInfo &a, const DfBlockInfo &b) {
    return a.createTime != b.createTime ? a.createTime < b.createTime : a.blkid < b.blkid;
  });
  return blocks;
}

std::vector<TfFileStat> ListRecordings(const char *disk, int block) {
  std::vector<TfFileStat> files(kMaxRecordingsPerBlock);
  int n = zrfs_BlockStat(disk, block, files.data(), kMaxRecordingsPerBlock);
  files.resize(n < 0 ? 0 : size_t(n));
  return files;
}

}  // namespace demo
