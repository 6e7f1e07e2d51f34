// Scans judged by clamd: through the provider and the service (started
// with --clamd and the cache off) against a raw zINSTREAM of the same
// content to the same clamd; a cache hit against a miss; and scans per
// second with clamd behind the service. The content is ASCII text ending
// with the marker of the project's sample clamd signature, which none of
// the service's own rules matches, so every scan is a detection by clamd
// and nothing is transcoded on either path.
#pragma once

#include "bench/bench_support.h"
#include "bench/provider_runner.h"

#include <string>
#include <vector>

struct ClamdLatencyRow {
  size_t contentBytes = 0;
  LatencySummary provider, raw;  // cache off: every provider scan reaches clamd
  double ratio = 0;              // provider p50 / raw p50
  LatencySummary cacheHit;       // the same content with the cache on, after the first
  double hitOverMiss = 0;        // cacheHit p50 / provider p50
  unsigned long providerFailed = 0, rawFailed = 0, hitFailed = 0;
};

struct ClamdThroughputRow {
  unsigned threads = 0;
  double scansPerSecond = 0;
  unsigned long scans = 0, failed = 0;
};

struct ClamdFigures {
  unsigned port = 0;    // 0: not measured
  std::string skipped;  // why, when not measured
  std::string firstFailure;  // the service's log on the first scan clamd did not judge
  std::vector<ClamdLatencyRow> latency;
  std::vector<ClamdThroughputRow> throughput;
};

struct ClamdSettings {
  std::vector<size_t> sizes;
  unsigned scansSmall = 200, scansLarge = 40;  // per variant, at <= 64 KiB and above
  std::vector<unsigned> threads;
  unsigned throughputScans = 600;  // over all threads
};

// Runs with a service of its own on the pipe: the caller's service must be
// stopped first. `port` is clamd's on 127.0.0.1.
ClamdFigures MeasureClamd(const ProviderRunner& provider, unsigned port,
                          const ClamdSettings& settings);
