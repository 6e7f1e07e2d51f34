// Where the time of one scan goes: every platform call the DLL makes,
// timed through its import table, beside the raw exchange's calls.
#pragma once

#include "bench/bench_support.h"
#include "bench/provider_runner.h"

#include <vector>

struct CallProfile {
  size_t contentBytes = 0;
  unsigned scans = 0;
  double providerScanUs = 0, rawScanUs = 0;  // mean time of a whole scan
  CallTally provider, raw;                   // summed over the scans
};

// `scans` address-path scans and as many raw exchanges of `contentBytes`,
// one at a time. The DLL's imports are patched only for the length of the
// call.
CallProfile ProfileCalls(const ProviderRunner& provider, size_t contentBytes, unsigned scans);
