// Figures the benchmarks share.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <vector>

namespace bench {

// The value below which `share` of the samples lie (nearest rank); 0 for none.
inline double Percentile(std::vector<double> samples, double share) {
  if (samples.empty()) return 0.0;
  std::sort(samples.begin(), samples.end());
  const auto rank = static_cast<std::size_t>(std::ceil(share * static_cast<double>(samples.size())));
  return samples[std::max<std::size_t>(rank, 1) - 1];
}

inline const char* Verdict(bool met) { return met ? "met" : "MISSED"; }

}  // namespace bench
