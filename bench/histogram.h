// Latency histogram with logarithmic buckets (32 per power of two, so a
// percentile is within about 2 % of the true value).  Plain data, so it can
// live in memory shared between the benchmark's processes.
#pragma once

#include <cstdint>

namespace bench {

class LatencyHistogram {
 public:
  void Add(uint64_t nanos);
  void Merge(const LatencyHistogram &other);
  // The value below which the fraction p of the samples lie (0 < p <= 1).
  uint64_t Percentile(double p) const;
  uint64_t count() const { return count_; }
  uint64_t max() const { return max_; }

 private:
  static constexpr int kSubBuckets = 32;
  static constexpr int kBuckets = 64 * kSubBuckets;
  static int BucketOf(uint64_t nanos);
  static uint64_t LowerBound(int bucket);
  uint64_t buckets_[kBuckets];
  uint64_t count_;
  uint64_t max_;
};

}  // namespace bench
