// Provider scans against raw exchanges, side by side: content sizes, the
// address and the Read path, thread counts.
#pragma once

#include "bench/provider_runner.h"

#include <functional>
#include <vector>

// Figures of one kind of scan in one cell: medians over the repetitions.
struct VariantFigures {
  double p50Ms = 0, p99Ms = 0, scansPerSecond = 0, megabytesPerSecond = 0;
  unsigned long attempted = 0, failed = 0;  // summed over the repetitions
};

struct MatrixCell {
  size_t contentBytes = 0;
  bool addressPath = true;
  unsigned threads = 1;
  VariantFigures provider, raw;  // raw: the same (size, threads) for both paths
  double ratio = 0;              // provider p50 / raw p50
};

struct MatrixSettings {
  std::vector<size_t> sizes;
  std::vector<unsigned> threads;
  unsigned repetitions = 5;
  unsigned scansScale = 1;  // 0: the smallest run that still measures
};

// One concurrent run: `threads` threads start together and each makes
// `perThread` calls of `scan(thread)`, which answers whether the scan gave
// the expected verdict. Failed scans are counted and kept out of the
// latencies.
struct RunFigures {
  std::vector<double> latencies;  // successful scans only
  unsigned long attempted = 0, failed = 0;
  double wallMs = 0;
};
RunFigures RunConcurrent(unsigned threads, unsigned perThread,
                         const std::function<bool(unsigned thread)>& scan);

std::vector<MatrixCell> RunMatrix(const ProviderRunner& provider, const MatrixSettings& settings);
