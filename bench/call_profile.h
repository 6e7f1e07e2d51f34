// Where the time of one scan goes: every platform call the DLL makes,
// timed through its import table, beside the raw exchange's calls.
#pragma once

#include "bench/bench_support.h"
#include "bench/provider_runner.h"

#include <vector>

struct CallProfile {
  size_t contentBytes = 0;
  bool addressPath = true;
  unsigned scans = 0;
  double providerScanUs = 0, rawScanUs = 0;  // mean time of a whole scan
  CallTally provider, raw;                   // summed over the scans
};

// `scans` scans on one path and as many raw exchanges of `contentBytes`,
// one at a time. The DLL's imports are patched only for the length of the
// call; the host's stream calls are timed too.
CallProfile ProfileCalls(const ProviderRunner& provider, size_t contentBytes, bool addressPath,
                         unsigned scans);
