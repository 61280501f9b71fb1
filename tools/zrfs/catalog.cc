#include "catalog.h"

#include <algorithm>

#include <fmt/format.h>

#include "errors.h"

namespace zrfs::tool {

Recording RecordingOf(const TfFileStat &st, int32_t blk, uint32_t blockType) {
  Recording r;
  r.name = st.filename;
  r.blk = blk;
  r.channel = uint32_t(st.ichan);
  r.blockType = blockType;
  r.createTime = st.createTime;
  r.modifyTime = st.st_mtim.tv_sec;
  r.size = st.st_size;
  r.lockFlag = st.lockFlag;
  return r;
}

Catalog::Catalog(const std::string &path, int disk) : view_(zrfs_ViewOpen(path.c_str(), disk)) {
  if (view_ == nullptr)
    throw ToolError(fmt::format("cannot read {}: {}", path, zrfs_StrError(zrfs_LastError())),
                    zrfs_LastError() == ZRFS_ENOTFORMATTED
                        ? "It holds no disk layout; 'zrfs format' makes one."
                        : "");
  if (!Refresh())
    throw ToolError(
        fmt::format("cannot read the blocks of {}: {}", path, zrfs_StrError(zrfs_LastError())));
}

Catalog::~Catalog() {
  zrfs_ViewClose(view_);
}

bool Catalog::LoadBlock(const ZrfsViewBlock &head, Block *out) const {
  // Room for every file number handed out: a count a kill left low must
  // not hide files.
  std::vector<TfFileStat> stats(std::max(head.fileNum, head.lastFileNo) + 1u);
  int n = zrfs_ViewBlockFiles(view_, int(head.blkid), stats.data(), int(stats.size()));
  if (n < 0) return false;
  out->fileNum = head.fileNum;
  out->lastFileNo = head.lastFileNo;
  out->files.clear();
  for (int i = 0; i < n; ++i)
    out->files.push_back(RecordingOf(stats[size_t(i)], int32_t(head.blkid), head.blkType));
  return true;
}

bool Catalog::Refresh() {
  if (zrfs_ViewRefresh(view_) != 0) return false;
  ZrfsViewInfo info;
  if (zrfs_ViewInfo(view_, &info) != 0) return false;
  std::vector<ZrfsViewBlock> heads(info.usedBlocks + 1u);
  int used = zrfs_ViewBlocks(view_, heads.data(), int(heads.size()));
  if (used < 0) return false;
  std::map<int32_t, Block> next;
  for (int i = 0; i < used; ++i) {
    const ZrfsViewBlock &head = heads[size_t(i)];
    auto known = blocks_.find(int32_t(head.blkid));
    Block block;
    if (known != blocks_.end() && known->second.fileNum == head.fileNum &&
        known->second.lastFileNo == head.lastFileNo) {
      block = std::move(known->second);  // no file came or went: the headers are as read
    } else if (!LoadBlock(head, &block)) {
      return false;
    }
    next.emplace(int32_t(head.blkid), std::move(block));
  }
  blocks_ = std::move(next);
  all_.clear();
  for (const auto &[blk, block] : blocks_)
    all_.insert(all_.end(), block.files.begin(), block.files.end());
  return true;
}

bool Catalog::Update(Recording *r) const {
  TfFileStat st{};
  if (zrfs_ViewStat(view_, r->name.c_str(), &st) != 0) return false;
  r->modifyTime = st.st_mtim.tv_sec;
  r->size = st.st_size;
  r->lockFlag = st.lockFlag;
  return true;
}

int Catalog::Read(const std::string &name, uint64_t offset, void *buf, uint32_t len) const {
  return zrfs_ViewRead(view_, name.c_str(), offset, buf, len);
}

}  // namespace zrfs::tool
