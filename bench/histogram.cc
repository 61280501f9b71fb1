#include "histogram.h"

#include <bit>

namespace bench {

int LatencyHistogram::BucketOf(uint64_t nanos) {
  if (nanos < kSubBuckets) return int(nanos);
  int power = std::bit_width(nanos) - 1;  // nanos >= 2^power
  int sub = int((nanos >> (power - 5)) & (kSubBuckets - 1));
  return (power - 4) * kSubBuckets + sub;
}

uint64_t LatencyHistogram::LowerBound(int bucket) {
  if (bucket < kSubBuckets) return uint64_t(bucket);
  int power = bucket / kSubBuckets + 4;
  uint64_t sub = uint64_t(bucket % kSubBuckets);
  return (uint64_t{1} << power) + (sub << (power - 5));
}

void LatencyHistogram::Add(uint64_t nanos) {
  ++buckets_[BucketOf(nanos)];
  ++count_;
  if (nanos > max_) max_ = nanos;
}

void LatencyHistogram::Merge(const LatencyHistogram &other) {
  for (int i = 0; i < kBuckets; ++i) buckets_[i] += other.buckets_[i];
  count_ += other.count_;
  if (other.max_ > max_) max_ = other.max_;
}

uint64_t LatencyHistogram::Percentile(double p) const {
  if (count_ == 0) return 0;
  uint64_t rank = uint64_t(p * double(count_) + 0.5);
  if (rank < 1) rank = 1;
  uint64_t seen = 0;
  for (int i = 0; i < kBuckets; ++i) {
    seen += buckets_[i];
    if (seen >= rank) return LowerBound(i);
  }
  return LowerBound(kBuckets - 1);
}

}  // namespace bench
