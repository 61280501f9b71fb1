// The recordings of a disk as the read-only view sees them, for the browse
// commands (the FUSE view, listings by channel and time, exports by range).
// Block header areas are read once and kept: a refresh re-reads the map and
// each used block's header, and a block's file headers only when the block
// handed out or removed a file since.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "zrfs.h"

namespace zrfs::tool {

struct Recording {
  std::string name;  // the record file's name
  int32_t blk = 0;   // its block
  uint32_t channel = 0;
  uint32_t blockType = 0;
  int64_t createTime = 0;  // seconds
  int64_t modifyTime = 0;  // seconds; 0 before the first write
  int64_t size = 0;        // logical bytes
  uint64_t lockFlag = 0;

  // The end of its span: the last modification, or its creation before any.
  int64_t SpanEnd() const { return modifyTime > createTime ? modifyTime : createTime; }
};

class Catalog {
 public:
  // Opens the view of a device or image (a real path), naming files as on
  // disk number disk; throws ToolError.
  Catalog(const std::string &path, int disk);
  ~Catalog();
  Catalog(const Catalog &) = delete;
  Catalog &operator=(const Catalog &) = delete;

  // Reads the map and block headers again; false when the device cannot be
  // read now (the previous recordings stay).
  bool Refresh();
  // Every recording, by block and file number.
  const std::vector<Recording> &All() const { return all_; }
  // Brings a recording's size, times and lock state up to what the disk
  // holds now; false when it is gone.
  bool Update(Recording *r) const;
  // Logical bytes of a recording: the count, 0 at the end, -1 on failure.
  int Read(const std::string &name, uint64_t offset, void *buf, uint32_t len) const;
  ZrfsView *view() const { return view_; }

 private:
  struct Block {
    uint32_t fileNum = 0;
    uint32_t lastFileNo = 0;
    std::vector<Recording> files;
  };
  bool LoadBlock(const ZrfsViewBlock &head, Block *out) const;

  ZrfsView *view_;
  std::map<int32_t, Block> blocks_;
  std::vector<Recording> all_;
};

// The recording of a status record filled by the view.
Recording RecordingOf(const TfFileStat &st, int32_t blk, uint32_t blockType);

}  // namespace zrfs::tool
