// How late a scan returns after its deadline, against a service that takes
// the request and never answers.
#pragma once

#include "bench/provider_runner.h"

#include <vector>

struct OvershootFigures {
  unsigned scans = 0;
  unsigned returnedEarly = 0;  // well before the deadline: left out of the figures
  unsigned detected = 0;       // must be 0: nothing ever answers
  // Return time minus (tick base + 1500 ms), of the scans that waited.
  double minMs = 0, p50Ms = 0, p99Ms = 0, maxMs = 0;
  bool serverStarted = false;
};

// Serves the pipe from this process (which lies in the DLL's directory, so
// the provider accepts it) while `scans` scans run; the real service must
// not be running. Needs the counting hooks (InstallCountingHooks): they note
// the moment the DLL takes its tick base.
OvershootFigures MeasureOvershoot(const ProviderRunner& provider, unsigned scans);
