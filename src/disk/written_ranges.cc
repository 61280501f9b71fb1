#include "disk/written_ranges.h"

namespace zrfs {
namespace {

uint64_t Gap(const ByteRange &r, uint64_t begin, uint64_t end) {
  if (end < r.begin) return r.begin - end;
  if (begin > r.end) return begin - r.end;
  return 0;
}

}  // namespace

void WrittenRanges::Add(uint64_t begin, uint64_t end) {
  MutexLock lock(mu_);
  int nearest = -1;
  uint64_t nearestGap = ~uint64_t{0};
  for (int i = 0; i < count_; ++i) {
    uint64_t gap = Gap(ranges_[i], begin, end);
    if (gap < nearestGap) {
      nearest = i;
      nearestGap = gap;
    }
  }
  // Appends continue a range; a full table widens its nearest one (the
  // flush never drops header areas and metadata from a range, so a wide
  // range costs only fadvise calls).
  if (nearest >= 0 && (nearestGap == 0 || count_ == kRanges)) {
    ByteRange &r = ranges_[nearest];
    if (begin < r.begin) r.begin = begin;
    if (end > r.end) r.end = end;
    return;
  }
  ranges_[count_++] = ByteRange{begin, end};
}

int WrittenRanges::Take(ByteRange *out) {
  MutexLock lock(mu_);
  int taken = count_;
  for (int i = 0; i < taken; ++i) out[i] = ranges_[i];
  count_ = 0;
  return taken;
}

}  // namespace zrfs
