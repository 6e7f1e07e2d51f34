// Summaries of scan latencies.
#pragma once

#include <cstddef>

// The nearest-rank percentile `percent` (1 to 100) of `count` values sorted
// in ascending order: the smallest value that at least `percent` per cent of
// the values do not exceed. 0 for no values.
double NearestRankPercentile(const double* sorted, size_t count, unsigned percent);

// Milliseconds between two QueryPerformanceCounter readings.
double ElapsedMs(long long start, long long end, long long frequency);
