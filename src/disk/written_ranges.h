// The device ranges a process wrote record data to since its flush thread
// last flushed a disk, so the flush drops exactly those pages from the
// cache: video is not read back soon, while block headers and metadata are
// read again at once.
#pragma once

#include <cstdint>

#include "shared/mutex.h"

namespace zrfs {

struct ByteRange {
  uint64_t begin;
  uint64_t end;  // just past the last byte
};

class WrittenRanges {
 public:
  static constexpr int kRanges = 64;

  // Adds [begin, end).  A range that touches one already kept extends it;
  // with every place taken, the new range joins the nearest one.
  void Add(uint64_t begin, uint64_t end);
  // Moves the ranges kept so far into out (room for kRanges) and forgets
  // them; returns how many.
  int Take(ByteRange *out);

 private:
  Mutex mu_;
  ByteRange ranges_[kRanges] GUARDED_BY(mu_) = {};
  int count_ GUARDED_BY(mu_) = 0;
};

}  // namespace zrfs
