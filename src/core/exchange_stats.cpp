#include "core/exchange_stats.h"

#include <chrono>
#include <cstddef>

namespace kelvaro {
namespace {

// The upper bounds of the time buckets, in microseconds; the last bucket is everything longer.
constexpr long long kBucketMicroseconds[] = {500, 1000, 2500, 5000, 10000, 50000, 100000};
using Counts = kelvaro_lens_stats;
constexpr std::size_t kBuckets = sizeof Counts::time_bucket / sizeof Counts::time_bucket[0];
static_assert(sizeof kBucketMicroseconds / sizeof kBucketMicroseconds[0] == kBuckets - 1, "one bound a bucket");

}  // namespace

void ExchangeStats::Clear() {
  monitor_.Enter();
  counts_ = {};
  monitor_.Leave();
}

void ExchangeStats::Count(int code, platform::MonotonicClock::duration took) {
  const long long us = std::chrono::duration_cast<std::chrono::microseconds>(took).count();
  std::size_t bucket = 0;
  while (bucket < kBuckets - 1 && us > kBucketMicroseconds[bucket]) ++bucket;
  constexpr std::size_t codes = sizeof Counts::by_code / sizeof Counts::by_code[0];
  monitor_.Enter();
  if (code >= 0 && static_cast<std::size_t>(code) < codes) ++counts_.by_code[code];
  ++counts_.time_bucket[bucket];
  counts_.time_sum += std::chrono::duration<double>(took).count();
  monitor_.Leave();
}

void ExchangeStats::CopyTo(kelvaro_lens_stats& stats) {
  monitor_.Enter();
  stats = counts_;
  monitor_.Leave();
}

}  // namespace kelvaro
