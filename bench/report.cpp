#include "bench/report.h"

#include <cstdio>

namespace {

const char* PathName(bool addressPath) { return addressPath ? "address" : "Read"; }

std::string Fixed(double value, int decimals) {
  char text[32];
  snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

// A latency, or "-" when no scan of the kind succeeded.
std::string Milliseconds(double ms) { return ms > 0 ? Fixed(ms, 3) + "ms" : "-"; }

double MiB(SIZE_T bytes) { return static_cast<double>(bytes) / (1024.0 * 1024.0); }

// The service at rest may take at most this much more private memory than a
// program that does nothing.
constexpr double AtRestAllowanceMiB = 16.0;

// Service at rest minus the idle program, in MiB; meaningful only when
// both were measured.
double AtRestDifferenceMiB(const MemoryFigures& service, const IdleProgramFigures& idle) {
  return MiB(service.idleBytes) - MiB(idle.privateBytes);
}
bool AtRestMeasured(const MemoryFigures& service, const IdleProgramFigures& idle) {
  return service.idleBytes > 0 && idle.started && idle.privateBytes > 0;
}

const MatrixCell* FindCell(const std::vector<MatrixCell>& cells, size_t bytes, bool address,
                           unsigned threads) {
  for (const MatrixCell& cell : cells) {
    if (cell.contentBytes == bytes && cell.addressPath == address && cell.threads == threads) {
      return &cell;
    }
  }
  return nullptr;
}

}  // namespace

void PrintMatrix(const std::vector<MatrixCell>& cells) {
  printf("\nScan latency and throughput: provider (prov) against the raw exchange (raw);\n"
         "medians over the repetitions; failed = scans without the expected detection,\n"
         "left out of the latencies (\"-\": no scan of that kind succeeded)\n");
  printf("%-7s %-7s %3s | %9s %9s | %9s %9s | %6s | %8s %8s | %8s %8s | %11s\n", "size",
         "path", "thr", "prov p50", "prov p99", "raw p50", "raw p99", "ratio", "prov/s",
         "raw/s", "prov MB/s", "raw MB/s", "failed p/r");
  for (const MatrixCell& c : cells) {
    printf("%-7s %-7s %3u | %9s %9s | %9s %9s | %6s | %8.1f %8.1f | %8.1f %8.1f | %5lu/%-5lu\n",
           SizeLabel(c.contentBytes).c_str(), PathName(c.addressPath), c.threads,
           Milliseconds(c.provider.p50Ms).c_str(), Milliseconds(c.provider.p99Ms).c_str(),
           Milliseconds(c.raw.p50Ms).c_str(), Milliseconds(c.raw.p99Ms).c_str(),
           c.ratio > 0 ? Fixed(c.ratio, 2).c_str() : "-", c.provider.scansPerSecond,
           c.raw.scansPerSecond, c.provider.megabytesPerSecond, c.raw.megabytesPerSecond,
           c.provider.failed, c.raw.failed);
  }
}

void PrintAccounting(const std::vector<AccountingRow>& rows) {
  printf("\nAllocations and copies per scan, counted in the DLL's imports and the stream's "
         "Read\n");
  printf("%-8s %-7s %6s %6s %12s %12s %6s %12s %s\n", "size", "path", "allocs", "frees",
         "largest", "expected", "copies", "copied", "");
  for (const AccountingRow& r : rows) {
    printf("%-8s %-7s %6u %6u %12zu %12zu %6u %12llu %s\n", SizeLabel(r.contentBytes).c_str(),
           PathName(r.addressPath), r.allocations, r.frees, static_cast<size_t>(r.largestAllocation),
           static_cast<size_t>(r.expectedAllocation), r.copies, r.copiedBytes,
           r.asExpected ? "ok" : "UNEXPECTED");
  }
}

void PrintProfile(const CallProfile& p) {
  printf("\nWhere the time goes: %s, %s path, one thread, %u scans; per scan\n",
         SizeLabel(p.contentBytes).c_str(), PathName(p.addressPath), p.scans);
  printf("%-28s | %8s %10s %10s | %8s %10s\n", "platform call", "prov n", "prov us",
         "us/call", "raw n", "raw us");
  double providerCalls = 0, rawCalls = 0;
  const double scans = p.scans ? static_cast<double>(p.scans) : 1.0;
  for (int k = 0; k < static_cast<int>(PlatformCall::Count); ++k) {
    if (p.provider.calls[k] == 0 && p.raw.calls[k] == 0) continue;
    const double pu = CounterMs(0, p.provider.ticks[k]) * 1000.0 / scans;
    const double ru = CounterMs(0, p.raw.ticks[k]) * 1000.0 / scans;
    providerCalls += pu;
    rawCalls += ru;
    printf("%-28s | %8.1f %10.1f %10.1f | %8.1f %10.1f\n",
           PlatformCallName(static_cast<PlatformCall>(k)),
           static_cast<double>(p.provider.calls[k]) / scans, pu,
           p.provider.calls[k] ? pu * scans / static_cast<double>(p.provider.calls[k]) : 0.0,
           static_cast<double>(p.raw.calls[k]) / scans, ru);
  }
  printf("%-28s | %8s %10.1f %10s | %8s %10.1f\n", "all timed calls", "", providerCalls, "",
         "", rawCalls);
  printf("%-28s | %8s %10.1f %10s | %8s %10.1f\n", "rest (own code)", "",
         p.providerScanUs - providerCalls, "", "", p.rawScanUs - rawCalls);
  printf("%-28s | %8s %10.1f %10s | %8s %10.1f\n", "whole scan", "", p.providerScanUs, "", "",
         p.rawScanUs);
}

void PrintOvershoot(const OvershootFigures& o) {
  printf("\nDeadline overshoot against a silent service (return - (tick base + %u ms)), %u "
         "scans\n",
         static_cast<unsigned>(ExchangeBudgetMs), o.scans);
  if (!o.serverStarted) {
    printf("  the silent service could not serve the pipe\n");
    return;
  }
  printf("  min %.2f ms, p50 %.2f ms, p99 %.2f ms, max %.2f ms; returned early %u, detected %u\n",
         o.minMs, o.p50Ms, o.p99Ms, o.maxMs, o.returnedEarly, o.detected);
}

void PrintCapacity(const std::vector<CapacityRow>& rows, const MemoryFigures& m) {
  printf("\nReference service capacity: raw 1 KiB exchanges back to back, %u instances;\n"
         "busy = opens that failed with ERROR_PIPE_BUSY (instances were free: target 0)\n",
         BenchInstances);
  printf("%8s %10s %10s %8s %8s\n", "clients", "scans/s", "scans", "failed", "busy");
  for (const CapacityRow& r : rows) {
    printf("%8u %10.1f %10lu %8lu %8lu\n", r.clients, r.scansPerSecond, r.scans, r.failed, r.busy);
  }
  printf("Service private bytes with %u concurrent %s requests: idle %.1f MiB, peak %.1f MiB "
         "(sampled %.1f MiB), failed %lu\n",
         m.clients, SizeLabel(m.requestBytes).c_str(), MiB(m.idleBytes), MiB(m.reportedPeak),
         MiB(m.sampledPeak), m.failed);
}

void PrintAtRest(const MemoryFigures& service, const IdleProgramFigures& idle) {
  printf("\nPrivate bytes at rest (PagefileUsage, settled)\n");
  printf("  service, %u instances, after one exchange: %.1f MiB\n", BenchInstances,
         MiB(service.idleBytes));
  if (!idle.started) {
    printf("  idle program: KestrovBenchIdle.exe did not start\n");
    return;
  }
  printf("  idle program (KestrovBenchIdle.exe):       %.1f MiB\n", MiB(idle.privateBytes));
  printf("  difference:                                %.1f MiB\n",
         AtRestDifferenceMiB(service, idle));
}

void PrintStop(const StopFigures& s) {
  printf("\nStop request (ControlService STOP) to the service's process ending, installed "
         "service\n");
  if (!s.measured) {
    printf("  not measured: %s\n", s.failure.c_str());
    return;
  }
  printf("%-22s %6s %9s %9s %9s\n", "", "stops", "p50", "p99", "max");
  printf("%-22s %6zu %7.1fms %7.1fms %7.1fms\n", "at rest", s.atRest.count, s.atRest.p50,
         s.atRest.p99, s.atRest.max);
  char label[32];
  snprintf(label, sizeof label, "under load (%u clients)", s.loadClients);
  printf("%-22s %6zu %7.1fms %7.1fms %7.1fms\n", label, s.underLoad.count, s.underLoad.p50,
         s.underLoad.p99, s.underLoad.max);
  printf("  exchanges served during the loaded runs: %lu\n", s.loadScans);
}

void PrintClamd(const ClamdFigures& c) {
  printf("\nScans judged by clamd: provider -> service (--clamd, cache off) -> clamd against a\n"
         "raw zINSTREAM of the same content; cache hit = cache on, same content again\n");
  if (c.port == 0) {
    printf("  skipped: %s\n", c.skipped.c_str());
    return;
  }
  printf("%-7s | %9s %9s | %9s %9s | %6s | %9s %9s | %8s | %s\n", "size", "prov p50",
         "prov p99", "raw p50", "raw p99", "ratio", "hit p50", "hit p99", "hit/miss",
         "failed p/r/hit");
  for (const ClamdLatencyRow& r : c.latency) {
    printf("%-7s | %9s %9s | %9s %9s | %6s | %9s %9s | %8s | %lu/%lu/%lu\n",
           SizeLabel(r.contentBytes).c_str(), Milliseconds(r.provider.p50).c_str(),
           Milliseconds(r.provider.p99).c_str(), Milliseconds(r.raw.p50).c_str(),
           Milliseconds(r.raw.p99).c_str(), r.ratio > 0 ? Fixed(r.ratio, 2).c_str() : "-",
           Milliseconds(r.cacheHit.p50).c_str(), Milliseconds(r.cacheHit.p99).c_str(),
           r.hitOverMiss > 0 ? Fixed(r.hitOverMiss, 2).c_str() : "-", r.providerFailed,
           r.rawFailed, r.hitFailed);
  }
  if (!c.firstFailure.empty()) {
    printf("  the service's log on the first scan clamd did not judge: %s\n",
           c.firstFailure.c_str());
  }
  printf("Provider scans per second with clamd (1 KiB, cache off)\n");
  printf("%8s %10s %10s %8s\n", "threads", "scans/s", "scans", "failed");
  for (const ClamdThroughputRow& r : c.throughput) {
    printf("%8u %10.1f %10lu %8lu\n", r.threads, r.scansPerSecond, r.scans, r.failed);
  }
}

void PrintTargets(const BenchResults& r) {
  printf("\nTargets (reported, not enforced)\n");
  const size_t small = 1024, large = MaxContentBytes;
  for (int path = 0; path < 2; ++path) {
    const MatrixCell* a = FindCell(r.matrix, small, path == 0, 1);
    if (a) {
      printf("  ratio at 1 KiB, 1 thread, %-7s %5.2f (target <= 1.20): %s\n", PathName(path == 0),
             a->ratio, a->ratio <= 1.2 ? "met" : "MISSED");
    }
    const MatrixCell* b = FindCell(r.matrix, large, path == 0, 1);
    if (b) {
      printf("  ratio at 8 MiB, 1 thread, %-7s %5.2f (target <= 1.05): %s\n", PathName(path == 0),
             b->ratio, b->ratio <= 1.05 ? "met" : "MISSED");
    }
  }
  if (r.overshoot.scans > 0) {
    printf("  overshoot p99 %.2f ms (target <= 20 ms): %s\n", r.overshoot.p99Ms,
           r.overshoot.p99Ms <= 20.0 ? "met" : "MISSED");
  }
  if (AtRestMeasured(r.memory, r.idleProgram)) {
    const double difference = AtRestDifferenceMiB(r.memory, r.idleProgram);
    printf("  service at rest over the idle program %.1f MiB (target <= %.0f MiB): %s\n",
           difference, AtRestAllowanceMiB, difference <= AtRestAllowanceMiB ? "met" : "MISSED");
  }
  for (const CapacityRow& c : r.capacity) {
    printf("  busy opens at %u clients: %lu (target 0): %s\n", c.clients, c.busy,
           c.busy == 0 ? "met" : "MISSED");
  }
  // Throughput should rise with threads until the service saturates.
  for (const MatrixCell& c : r.matrix) {
    if (c.threads != 1) continue;
    const MatrixCell* previous = &c;
    for (const MatrixCell& d : r.matrix) {
      if (d.contentBytes != c.contentBytes || d.addressPath != c.addressPath ||
          d.threads <= previous->threads) {
        continue;
      }
      if (d.provider.scansPerSecond < previous->provider.scansPerSecond) {
        printf("  throughput %s %s falls from %u to %u threads: %.1f -> %.1f scans/s\n",
               SizeLabel(c.contentBytes).c_str(), PathName(c.addressPath), previous->threads,
               d.threads, previous->provider.scansPerSecond, d.provider.scansPerSecond);
      }
      previous = &d;
    }
  }

  unsigned long providerFailed = 0, rawFailed = 0, attempted = 0;
  for (const MatrixCell& c : r.matrix) {
    providerFailed += c.provider.failed;
    attempted += c.provider.attempted;
    if (c.addressPath) rawFailed += c.raw.failed;
  }
  if (providerFailed || rawFailed) {
    printf("WARNING: %lu of %lu provider scans and %lu raw exchanges failed (see the failed "
           "column); their latencies are left out of the figures\n",
           providerFailed, attempted, rawFailed);
  }
  unsigned long capacityFailed = r.memory.failed;
  for (const CapacityRow& c : r.capacity) capacityFailed += c.failed;
  if (capacityFailed) {
    printf("WARNING: %lu raw exchanges failed in the capacity runs\n", capacityFailed);
  }
  for (const AccountingRow& a : r.accounting) {
    if (!a.asExpected) {
      printf("WARNING: the %s path at %s made %u allocations and %u copies\n",
             PathName(a.addressPath), SizeLabel(a.contentBytes).c_str(), a.allocations, a.copies);
    }
  }
  unsigned long clamdFailed = 0;
  for (const ClamdLatencyRow& c : r.clamd.latency) {
    clamdFailed += c.providerFailed + c.rawFailed + c.hitFailed;
  }
  for (const ClamdThroughputRow& c : r.clamd.throughput) clamdFailed += c.failed;
  if (clamdFailed) {
    printf("WARNING: %lu scans with clamd did not report clamd's detection\n", clamdFailed);
  }
  if (!r.smoke && !r.stop.measured) {
    printf("WARNING: the stop time was not measured: %s\n", r.stop.failure.c_str());
  }
  if (r.overshoot.returnedEarly || r.overshoot.detected) {
    printf("WARNING: against the silent service %u scans returned before the deadline and %u "
           "were detected\n",
           r.overshoot.returnedEarly, r.overshoot.detected);
  }
}

namespace {

void Variant(FILE* f, const char* name, const VariantFigures& v) {
  fprintf(f,
          "\"%s\": {\"p50_ms\": %.4f, \"p99_ms\": %.4f, \"scans_per_s\": %.2f, "
          "\"mb_per_s\": %.3f, \"attempted\": %lu, \"failed\": %lu}",
          name, v.p50Ms, v.p99Ms, v.scansPerSecond, v.megabytesPerSecond, v.attempted, v.failed);
}

}  // namespace

bool WriteJson(const BenchResults& r, const std::wstring& path) {
  FILE* f = _wfopen(path.c_str(), L"w");
  if (f == nullptr) return false;
  fprintf(f, "{\n  \"architecture\": \"%s\",\n  \"smoke\": %s,\n  \"repetitions\": %u,\n",
          r.architecture.c_str(), r.smoke ? "true" : "false", r.repetitions);
  fprintf(f, "  \"seconds\": %.1f,\n  \"matrix\": [\n", r.seconds);
  for (size_t k = 0; k < r.matrix.size(); ++k) {
    const MatrixCell& c = r.matrix[k];
    fprintf(f, "    {\"content_bytes\": %zu, \"path\": \"%s\", \"threads\": %u, ",
            c.contentBytes, PathName(c.addressPath), c.threads);
    Variant(f, "provider", c.provider);
    fprintf(f, ", ");
    Variant(f, "raw", c.raw);
    fprintf(f, ", \"ratio_p50\": %.4f}%s\n", c.ratio, k + 1 < r.matrix.size() ? "," : "");
  }
  fprintf(f, "  ],\n  \"accounting\": [\n");
  for (size_t k = 0; k < r.accounting.size(); ++k) {
    const AccountingRow& a = r.accounting[k];
    fprintf(f,
            "    {\"content_bytes\": %zu, \"path\": \"%s\", \"scans\": %u, \"allocations\": %u, "
            "\"frees\": %u, \"largest_allocation\": %zu, \"expected_allocation\": %zu, "
            "\"copies\": %u, \"copied_bytes\": %llu, \"as_expected\": %s}%s\n",
            a.contentBytes, PathName(a.addressPath), a.scans, a.allocations, a.frees,
            static_cast<size_t>(a.largestAllocation), static_cast<size_t>(a.expectedAllocation),
            a.copies, a.copiedBytes, a.asExpected ? "true" : "false",
            k + 1 < r.accounting.size() ? "," : "");
  }
  fprintf(f, "  ],\n  \"call_profiles\": [\n");
  for (size_t k = 0; k < r.profiles.size(); ++k) {
    const CallProfile& p = r.profiles[k];
    const double scans = p.scans ? static_cast<double>(p.scans) : 1.0;
    fprintf(f,
            "    {\"content_bytes\": %zu, \"path\": \"%s\", \"scans\": %u, "
            "\"provider_scan_us\": %.2f, \"raw_scan_us\": %.2f, \"calls\": [",
            p.contentBytes, PathName(p.addressPath), p.scans, p.providerScanUs, p.rawScanUs);
    bool first = true;
    for (int c = 0; c < static_cast<int>(PlatformCall::Count); ++c) {
      if (p.provider.calls[c] == 0 && p.raw.calls[c] == 0) continue;
      fprintf(f,
              "%s\n      {\"call\": \"%s\", \"provider_calls_per_scan\": %.2f, "
              "\"provider_us_per_scan\": %.2f, \"raw_calls_per_scan\": %.2f, "
              "\"raw_us_per_scan\": %.2f}",
              first ? "" : ",", PlatformCallName(static_cast<PlatformCall>(c)),
              static_cast<double>(p.provider.calls[c]) / scans,
              CounterMs(0, p.provider.ticks[c]) * 1000.0 / scans,
              static_cast<double>(p.raw.calls[c]) / scans,
              CounterMs(0, p.raw.ticks[c]) * 1000.0 / scans);
      first = false;
    }
    fprintf(f, "]}%s\n", k + 1 < r.profiles.size() ? "," : "");
  }
  const OvershootFigures& o = r.overshoot;
  fprintf(f,
          "  ],\n  \"overshoot\": {\"scans\": %u, \"min_ms\": %.3f, \"p50_ms\": %.3f, "
          "\"p99_ms\": %.3f, \"max_ms\": %.3f, \"returned_early\": %u, \"detected\": %u},\n",
          o.scans, o.minMs, o.p50Ms, o.p99Ms, o.maxMs, o.returnedEarly, o.detected);
  fprintf(f, "  \"capacity\": [\n");
  for (size_t k = 0; k < r.capacity.size(); ++k) {
    const CapacityRow& c = r.capacity[k];
    fprintf(f,
            "    {\"clients\": %u, \"scans_per_s\": %.2f, \"scans\": %lu, \"failed\": %lu, "
            "\"busy\": %lu}%s\n",
            c.clients, c.scansPerSecond, c.scans, c.failed, c.busy,
            k + 1 < r.capacity.size() ? "," : "");
  }
  const MemoryFigures& m = r.memory;
  fprintf(f,
          "  ],\n  \"service_memory\": {\"clients\": %u, \"request_bytes\": %zu, "
          "\"idle_bytes\": %zu, \"peak_bytes\": %zu, \"sampled_peak_bytes\": %zu, "
          "\"failed\": %lu},\n",
          m.clients, m.requestBytes, static_cast<size_t>(m.idleBytes),
          static_cast<size_t>(m.reportedPeak), static_cast<size_t>(m.sampledPeak), m.failed);
  const bool atRest = AtRestMeasured(m, r.idleProgram);
  fprintf(f,
          "  \"at_rest\": {\"instances\": %u, \"service_private_bytes\": %zu, "
          "\"idle_program_started\": %s, \"idle_program_private_bytes\": %zu, "
          "\"difference_mib\": %.2f, \"allowance_mib\": %.0f, \"met\": %s},\n",
          BenchInstances, static_cast<size_t>(m.idleBytes),
          r.idleProgram.started ? "true" : "false", r.idleProgram.privateBytes,
          atRest ? AtRestDifferenceMiB(m, r.idleProgram) : 0.0, AtRestAllowanceMiB,
          atRest && AtRestDifferenceMiB(m, r.idleProgram) <= AtRestAllowanceMiB ? "true"
                                                                               : "false");
  const StopFigures& s = r.stop;
  fprintf(f,
          "  \"service_stop\": {\"measured\": %s, \"failure\": \"%s\", \"load_clients\": %u, "
          "\"load_exchanges\": %lu,\n    \"at_rest\": {\"stops\": %zu, \"p50_ms\": %.2f, "
          "\"p99_ms\": %.2f, \"max_ms\": %.2f},\n    \"under_load\": {\"stops\": %zu, "
          "\"p50_ms\": %.2f, \"p99_ms\": %.2f, \"max_ms\": %.2f},\n    \"at_rest_ms\": [",
          s.measured ? "true" : "false", s.failure.c_str(), s.loadClients, s.loadScans,
          s.atRest.count, s.atRest.p50, s.atRest.p99, s.atRest.max, s.underLoad.count,
          s.underLoad.p50, s.underLoad.p99, s.underLoad.max);
  for (size_t k = 0; k < s.atRestMs.size(); ++k) {
    fprintf(f, "%s%.2f", k ? ", " : "", s.atRestMs[k]);
  }
  fprintf(f, "], \"under_load_ms\": [");
  for (size_t k = 0; k < s.underLoadMs.size(); ++k) {
    fprintf(f, "%s%.2f", k ? ", " : "", s.underLoadMs[k]);
  }
  const ClamdFigures& c = r.clamd;
  fprintf(f, "]},\n  \"clamd\": {\"measured\": %s, \"skipped\": \"%s\", \"latency\": [\n",
          c.port ? "true" : "false", c.skipped.c_str());
  for (size_t k = 0; k < c.latency.size(); ++k) {
    const ClamdLatencyRow& l = c.latency[k];
    fprintf(f,
            "    {\"content_bytes\": %zu, \"provider\": {\"p50_ms\": %.4f, \"p99_ms\": %.4f, "
            "\"scans\": %zu, \"failed\": %lu}, \"raw\": {\"p50_ms\": %.4f, \"p99_ms\": %.4f, "
            "\"scans\": %zu, \"failed\": %lu}, \"ratio_p50\": %.4f, \"cache_hit\": "
            "{\"p50_ms\": %.4f, \"p99_ms\": %.4f, \"scans\": %zu, \"failed\": %lu}, "
            "\"hit_over_miss_p50\": %.4f}%s\n",
            l.contentBytes, l.provider.p50, l.provider.p99, l.provider.count, l.providerFailed,
            l.raw.p50, l.raw.p99, l.raw.count, l.rawFailed, l.ratio, l.cacheHit.p50,
            l.cacheHit.p99, l.cacheHit.count, l.hitFailed, l.hitOverMiss,
            k + 1 < c.latency.size() ? "," : "");
  }
  fprintf(f, "  ], \"throughput\": [\n");
  for (size_t k = 0; k < c.throughput.size(); ++k) {
    const ClamdThroughputRow& t = c.throughput[k];
    fprintf(f, "    {\"threads\": %u, \"scans_per_s\": %.2f, \"scans\": %lu, \"failed\": %lu}%s\n",
            t.threads, t.scansPerSecond, t.scans, t.failed, k + 1 < c.throughput.size() ? "," : "");
  }
  fprintf(f, "  ]}\n}\n");
  return fclose(f) == 0;
}
