#include "bench/matrix.h"

#include "bench/bench_support.h"
#include "bench/raw_client.h"

#include <cstdio>
#include <memory>
#include <thread>

RunFigures RunConcurrent(unsigned threads, unsigned perThread,
                         const std::function<bool(unsigned thread)>& scan) {
  RunFigures figures;
  StartLine line;
  if (!line.ok()) return figures;
  std::vector<std::vector<double>> latencies(threads);
  std::vector<unsigned long> failed(threads, 0);
  std::vector<std::thread> workers;
  for (unsigned t = 0; t < threads; ++t) {
    latencies[t].reserve(perThread);
    workers.emplace_back([&, t] {
      line.Wait();
      for (unsigned n = 0; n < perThread; ++n) {
        const long long start = CounterNow();
        const bool ok = scan(t);
        const long long end = CounterNow();
        if (ok) {
          latencies[t].push_back(CounterMs(start, end));
        } else {
          ++failed[t];
        }
      }
    });
  }
  const long long start = CounterNow();
  line.Open();
  for (std::thread& worker : workers) worker.join();
  figures.wallMs = CounterMs(start, CounterNow());
  for (unsigned t = 0; t < threads; ++t) {
    figures.latencies.insert(figures.latencies.end(), latencies[t].begin(), latencies[t].end());
    figures.failed += failed[t];
  }
  figures.attempted = static_cast<unsigned long>(threads) * perThread;
  return figures;
}

namespace {

// Scans per repetition of one cell, over all threads: enough for a p99 on
// small contents, few on large ones, where one scan takes long.
unsigned ScansPerRepetition(size_t bytes, unsigned scale) {
  if (scale == 0) return 8;
  unsigned scans = 16;
  if (bytes <= 1024) {
    scans = 256;
  } else if (bytes <= 64 * 1024) {
    scans = 192;
  } else if (bytes <= 1024 * 1024) {
    scans = 64;
  }
  return scans * scale;
}

struct Repetitions {
  std::vector<double> p50, p99, scansPerSecond, megabytesPerSecond;
  unsigned long attempted = 0, failed = 0;

  void Add(const RunFigures& run, size_t bytes) {
    // A repetition in which every scan failed has no latency to offer; its
    // failures are counted, and its throughput of 0 stands.
    if (!run.latencies.empty()) {
      const LatencySummary summary = Summarize(run.latencies);
      p50.push_back(summary.p50);
      p99.push_back(summary.p99);
    }
    const double seconds = run.wallMs / 1000.0;
    const double ok = static_cast<double>(run.latencies.size());
    scansPerSecond.push_back(seconds > 0 ? ok / seconds : 0);
    megabytesPerSecond.push_back(seconds > 0 ? ok * static_cast<double>(bytes) / 1e6 / seconds
                                             : 0);
    attempted += run.attempted;
    failed += run.failed;
  }
  VariantFigures Figures() const {
    VariantFigures figures;
    figures.p50Ms = Median(p50);
    figures.p99Ms = Median(p99);
    figures.scansPerSecond = Median(scansPerSecond);
    figures.megabytesPerSecond = Median(megabytesPerSecond);
    figures.attempted = attempted;
    figures.failed = failed;
    return figures;
  }
};

}  // namespace

std::vector<MatrixCell> RunMatrix(const ProviderRunner& provider, const MatrixSettings& settings) {
  std::vector<MatrixCell> cells;
  for (const size_t bytes : settings.sizes) {
    const std::wstring contentName = L"bench-" + std::to_wstring(bytes);
    const std::vector<BYTE> bytesOfContent = MarkedContent(bytes);
    ScanContent content;
    if (FAILED(content.Assign(bytesOfContent.data(), bytesOfContent.size()))) continue;
    const std::vector<BYTE> request = BuildRawRequest(BenchAppName, contentName, bytesOfContent);

    for (const unsigned threads : settings.threads) {
      // Every thread scans its own streams, as every host thread would.
      std::vector<std::unique_ptr<BenchStream>> byAddress, byRead;
      for (unsigned t = 0; t < threads; ++t) {
        byAddress.push_back(std::make_unique<BenchStream>(content, contentName.c_str(), true));
        byRead.push_back(std::make_unique<BenchStream>(content, contentName.c_str(), false));
      }
      auto scanAddress = [&](unsigned t) {
        return provider.Scan(byAddress[t]->get()) == AMSI_RESULT_DETECTED;
      };
      auto scanRead = [&](unsigned t) {
        return provider.Scan(byRead[t]->get()) == AMSI_RESULT_DETECTED;
      };
      auto scanRaw = [&](unsigned) { return RawExchange(request) == RawOutcome::Detected; };

      const unsigned total = ScansPerRepetition(bytes, settings.scansScale);
      // A large content makes one scan long: there a single scan per thread
      // and repetition already fills the run.
      const unsigned least = bytes >= 1024 * 1024 ? 1 : 2;
      unsigned perThread = (total + threads - 1) / threads;
      if (perThread < least) perThread = least;

      // Warm-up: the first scans of a size pay for the service's first
      // touch of its buffers and the platform's first use of the path.
      const unsigned warmUp = perThread / 4 < least ? least : perThread / 4;
      RunConcurrent(threads, warmUp, scanAddress);
      RunConcurrent(threads, warmUp, scanRead);
      RunConcurrent(threads, warmUp, scanRaw);

      // The three kinds take turns, so that a load that comes and goes on
      // the machine falls on all of them alike.
      Repetitions address, read, raw;
      for (unsigned r = 0; r < settings.repetitions; ++r) {
        address.Add(RunConcurrent(threads, perThread, scanAddress), bytes);
        read.Add(RunConcurrent(threads, perThread, scanRead), bytes);
        raw.Add(RunConcurrent(threads, perThread, scanRaw), bytes);
      }
      for (int path = 0; path < 2; ++path) {
        MatrixCell cell;
        cell.contentBytes = bytes;
        cell.addressPath = path == 0;
        cell.threads = threads;
        cell.provider = (path == 0 ? address : read).Figures();
        cell.raw = raw.Figures();
        cell.ratio = cell.raw.p50Ms > 0 ? cell.provider.p50Ms / cell.raw.p50Ms : 0;
        cells.push_back(cell);
      }
      fprintf(stderr, "  measured %s x %u threads\n", SizeLabel(bytes).c_str(), threads);
    }
  }
  return cells;
}
