#include "host/latency.h"

double NearestRankPercentile(const double* sorted, size_t count, unsigned percent) {
  if (count == 0) return 0.0;
  if (percent > 100) percent = 100;
  // ceil(percent * count / 100), as a 1-based rank.
  size_t rank = (static_cast<size_t>(percent) * count + 99) / 100;
  if (rank == 0) rank = 1;
  return sorted[rank - 1];
}

double ElapsedMs(long long start, long long end, long long frequency) {
  if (frequency <= 0) return 0.0;
  return static_cast<double>(end - start) * 1000.0 / static_cast<double>(frequency);
}
