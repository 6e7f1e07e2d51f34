#include "bench/overshoot.h"

#include "bench/bench_support.h"
#include "testkit/dll_hooks.h"

#include <algorithm>
#include <memory>
#include <thread>

namespace {

// Accepts connections, reads whatever comes until the client goes, and
// never writes a byte.
class SilentServer {
 public:
  ~SilentServer() { Stop(); }

  bool Start(unsigned instances) {
    stop_.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!stop_) return false;
    for (unsigned i = 0; i < instances; ++i) {
      UniqueFileHandle pipe(CreateNamedPipeW(
          ServicePipeName,
          PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | (i == 0 ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0),
          PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, instances, 4096, 64 * 1024, 0,
          nullptr));
      UniqueKernelHandle io(CreateEventW(nullptr, TRUE, FALSE, nullptr));
      if (!pipe || !io) return false;
      auto instance = std::make_unique<Instance>();
      instance->pipe = std::move(pipe);
      instance->io = std::move(io);
      instances_.push_back(std::move(instance));
    }
    for (auto& instance : instances_) {
      Instance* self = instance.get();
      threads_.emplace_back([this, self] { Serve(self); });
    }
    return true;
  }

  void Stop() {
    if (stop_) SetEvent(stop_.get());
    for (std::thread& thread : threads_) thread.join();
    threads_.clear();
    instances_.clear();
  }

 private:
  struct Instance {
    UniqueFileHandle pipe;
    UniqueKernelHandle io;
    OVERLAPPED overlapped = {};
    BYTE buffer[64 * 1024];
  };

  // True when the request completed; false when it failed or the server
  // stops. Waits with no time-out but the stop event: a connection that
  // idles is exactly what this server is for.
  bool Finish(Instance* instance, BOOL started, DWORD* bytes) {
    if (!started && GetLastError() != ERROR_IO_PENDING) return false;
    const HANDLE waits[2] = {instance->io.get(), stop_.get()};
    if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0) {
      // The request must be over before the instance goes.
      CancelIoEx(instance->pipe.get(), &instance->overlapped);
      GetOverlappedResult(instance->pipe.get(), &instance->overlapped, bytes, TRUE);
      return false;
    }
    return GetOverlappedResult(instance->pipe.get(), &instance->overlapped, bytes, FALSE) !=
           FALSE;
  }

  void Prepare(Instance* instance) {
    instance->overlapped = OVERLAPPED();
    instance->overlapped.hEvent = instance->io.get();
  }

  void Serve(Instance* instance) {
    while (WaitForSingleObject(stop_.get(), 0) != WAIT_OBJECT_0) {
      Prepare(instance);
      DWORD bytes = 0;
      const BOOL connected = ConnectNamedPipe(instance->pipe.get(), &instance->overlapped);
      const DWORD error = connected ? 0 : GetLastError();
      if (error != 0 && error != ERROR_PIPE_CONNECTED && error != ERROR_NO_DATA) {
        SetLastError(error);
        if (!Finish(instance, FALSE, &bytes)) continue;
      }
      for (;;) {
        Prepare(instance);
        const BOOL started = ReadFile(instance->pipe.get(), instance->buffer,
                                      sizeof instance->buffer, nullptr, &instance->overlapped);
        if (!Finish(instance, started, &bytes) || bytes == 0) break;
      }
      DisconnectNamedPipe(instance->pipe.get());
    }
  }

  UniqueKernelHandle stop_;
  std::vector<std::unique_ptr<Instance>> instances_;
  std::vector<std::thread> threads_;
};

}  // namespace

OvershootFigures MeasureOvershoot(const ProviderRunner& provider, unsigned scans) {
  OvershootFigures figures;
  SilentServer server;
  figures.serverStarted = server.Start(2);
  if (!figures.serverStarted) return figures;

  const std::vector<BYTE> bytes = MarkedContent(1024);
  ScanContent content;
  if (FAILED(content.Assign(bytes.data(), bytes.size()))) return figures;
  BenchStream stream(content, L"bench-overshoot", true);
  std::vector<double> late;
  for (unsigned n = 0; n < scans; ++n) {
    ArmFaults(PlatformFaults());  // no faults: only the tick base is noted
    const AMSI_RESULT result = provider.Scan(stream.get());
    const long long returned = CounterNow();
    DisarmFaults();
    ++figures.scans;
    if (result == AMSI_RESULT_DETECTED) ++figures.detected;
    const HookCounters& counted = Counters();
    if (!counted.tickBaseSeen) {
      ++figures.returnedEarly;
      continue;
    }
    const double overshoot = CounterMs(counted.tickBaseCounter.QuadPart, returned) -
                             static_cast<double>(ExchangeBudgetMs);
    // The tick clock counts whole milliseconds and may lag the performance
    // counter by a few of them, so a scan can seem to end a little before
    // the exact 1500 ms; a scan that really ended early (a failed open or
    // transfer) ends hundreds of milliseconds before.
    if (overshoot < -50.0) {
      ++figures.returnedEarly;
      continue;
    }
    late.push_back(overshoot);
  }
  server.Stop();
  const LatencySummary summary = Summarize(late);
  figures.p50Ms = summary.p50;
  figures.p99Ms = summary.p99;
  figures.maxMs = summary.max;
  if (!late.empty()) figures.minMs = *std::min_element(late.begin(), late.end());
  return figures;
}
