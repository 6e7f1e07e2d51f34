#include "bench/capacity.h"

#include "bench/at_rest.h"
#include "bench/bench_support.h"
#include "bench/raw_client.h"
#include "testkit/process_metrics.h"

#include <atomic>
#include <thread>

std::vector<CapacityRow> MeasureCapacity(const std::vector<unsigned>& clients, double seconds) {
  std::vector<CapacityRow> rows;
  const std::vector<BYTE> request =
      BuildRawRequest(BenchAppName, L"bench-capacity", MarkedContent(1024));
  for (const unsigned count : clients) {
    CapacityRow row;
    row.clients = count;
    StartLine line;
    std::atomic<unsigned long> ok{0}, failed{0}, busy{0};
    std::atomic<long long> end{0};
    std::vector<std::thread> threads;
    for (unsigned c = 0; c < count; ++c) {
      threads.emplace_back([&] {
        line.Wait();
        while (CounterNow() < end.load()) {
          const RawOutcome outcome = RawExchange(request);
          if (outcome == RawOutcome::Detected) {
            ++ok;
          } else {
            ++failed;
            // A client that finds every instance taken waits for one, as
            // the provider does, rather than knocking again at once.
            if (outcome == RawOutcome::Busy) {
              ++busy;
              WaitNamedPipeW(ServicePipeName, 300);
            }
          }
        }
      });
    }
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    const long long start = CounterNow();
    end = start + static_cast<long long>(seconds * static_cast<double>(frequency.QuadPart));
    line.Open();
    for (std::thread& thread : threads) thread.join();
    const double wallMs = CounterMs(start, CounterNow());
    row.scans = ok.load();
    row.failed = failed.load();
    row.busy = busy.load();
    row.scansPerSecond = wallMs > 0 ? static_cast<double>(row.scans) * 1000.0 / wallMs : 0;
    rows.push_back(row);
  }
  return rows;
}

MemoryFigures MeasurePeakMemory(const ReferenceService& service, unsigned clients,
                                size_t requestBytes) {
  MemoryFigures figures;
  figures.clients = clients;
  figures.requestBytes = requestBytes;
  const std::vector<BYTE> request =
      BuildRawRequest(BenchAppName, L"bench-memory", MarkedContent(requestBytes));
  // One exchange first, so that the idle figure is that of a service that
  // has started all of its instances and served.
  RawExchange(BuildRawRequest(BenchAppName, L"bench-memory", MarkedContent(1024)));
  figures.idleBytes = SettledPrivateBytes(service.process());
  figures.sampledPeak = figures.idleBytes;

  StartLine line;
  std::atomic<unsigned> running{clients};
  std::atomic<unsigned long> failed{0};
  std::vector<std::thread> threads;
  for (unsigned c = 0; c < clients; ++c) {
    threads.emplace_back([&] {
      line.Wait();
      if (RawExchange(request) != RawOutcome::Detected) ++failed;
      --running;
    });
  }
  line.Open();
  // Samples the service's memory while the requests are under way; the
  // sleep only spaces the samples.
  while (running.load() > 0) {
    const SIZE_T now = PrivateBytes(service.process());
    if (now > figures.sampledPeak) figures.sampledPeak = now;
    Sleep(2);
  }
  for (std::thread& thread : threads) thread.join();
  figures.reportedPeak = PeakPrivateBytes(service.process());
  figures.failed = failed.load();
  return figures;
}
