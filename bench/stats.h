// Order statistics of samples taken in one run.
#ifndef KORVANE_BENCH_STATS_H_
#define KORVANE_BENCH_STATS_H_

#include <algorithm>
#include <chrono>
#include <cmath>
#include <vector>

namespace bench {

using Clock = std::chrono::steady_clock;

// Microseconds from `start` to now.
inline double micros_since(Clock::time_point start) {
  return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
}

// The value below which a fraction `q` (0..1) of the samples lie, by the nearest-rank rule;
// 0 for no samples.
inline double quantile(std::vector<double> samples, double q) {
  if (samples.empty()) return 0;
  std::sort(samples.begin(), samples.end());
  size_t rank = static_cast<size_t>(std::ceil(q * static_cast<double>(samples.size())));
  if (rank > 0) --rank;
  return samples[std::min(rank, samples.size() - 1)];
}

// The middle sample (the mean of the two middle ones for an even count); 0 for no samples.
inline double median(std::vector<double> samples) {
  if (samples.empty()) return 0;
  std::sort(samples.begin(), samples.end());
  size_t n = samples.size();
  return n % 2 == 1 ? samples[n / 2] : (samples[n / 2 - 1] + samples[n / 2]) / 2;
}

}  // namespace bench

#endif  // KORVANE_BENCH_STATS_H_
