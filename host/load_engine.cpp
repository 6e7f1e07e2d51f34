#include "host/load_engine.h"

#include "host/latency.h"
#include "platform/unique_handle.h"

#include <objbase.h>

#include <algorithm>
#include <memory>

namespace {

constexpr DWORD ProgressIntervalMs = 1000;

long long Now() {
  LARGE_INTEGER counter;
  QueryPerformanceCounter(&counter);
  return counter.QuadPart;
}

// Shared by the workers of a run.
struct Shared {
  explicit Shared(const LoadSettings& loadSettings)
      : settings(loadSettings),
        malware(loadSettings.providers->size()),
        clean(loadSettings.providers->size()),
        failed(loadSettings.providers->size()) {}

  const LoadSettings& settings;
  long long frequency = 1;
  std::atomic<long> next{0};
  std::atomic<long> done{0};
  std::vector<double> latencyMs;  // one per scan, by scan number
  std::vector<std::atomic<long>> malware, clean, failed;
};

DWORD WINAPI Worker(void* parameter) {
  Shared& shared = *static_cast<Shared*>(parameter);
  const LoadSettings& settings = shared.settings;
  const std::vector<LoadedProvider>& providers = *settings.providers;
  const HRESULT initialized = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  for (;;) {
    const long index = shared.next.fetch_add(1);
    if (index >= static_cast<long>(settings.scans)) break;
    const auto scan = static_cast<unsigned long>(index);
    // Each scan has its own stream over the shared content.
    IAmsiStream* stream = nullptr;
    if (FAILED(CreateFileStream(settings.stream, &stream))) {
      for (size_t p = 0; p < providers.size(); ++p) ++shared.failed[p];
      ++shared.done;
      continue;
    }
    if (settings.observer != nullptr) settings.observer->BeforeScan(scan);
    const long long start = Now();
    for (size_t p = 0; p < providers.size(); ++p) {
      IAntimalwareProvider* provider = providers[p].provider();
      AMSI_RESULT result = AMSI_RESULT_NOT_DETECTED;
      const HRESULT hr = provider->lpVtbl->Scan(provider, stream, &result);
      if (settings.observer != nullptr) settings.observer->AfterScan(scan, p, hr, result);
      if (FAILED(hr)) {
        ++shared.failed[p];
      } else if (IsMalware(result)) {
        ++shared.malware[p];
      } else {
        ++shared.clean[p];
      }
    }
    shared.latencyMs[scan] = ElapsedMs(start, Now(), shared.frequency);
    stream->lpVtbl->Release(stream);
    ++shared.done;
  }
  if (SUCCEEDED(initialized)) CoUninitialize();
  return 0;
}

}  // namespace

bool IsMalware(AMSI_RESULT result) { return result >= AMSI_RESULT_DETECTED; }

bool RunLoad(const LoadSettings& settings, LoadFigures* figures) {
  auto shared = std::make_unique<Shared>(settings);
  LARGE_INTEGER frequency;
  QueryPerformanceFrequency(&frequency);
  shared->frequency = frequency.QuadPart;
  shared->latencyMs.assign(settings.scans, 0.0);
  const unsigned long threads = settings.threads > settings.scans ? settings.scans : settings.threads;

  const long long start = Now();
  std::vector<UniqueKernelHandle> workers;
  std::vector<HANDLE> waits;
  for (unsigned long i = 0; i < threads; ++i) {
    UniqueKernelHandle worker(CreateThread(nullptr, 0, Worker, shared.get(), 0, nullptr));
    if (!worker) break;
    waits.push_back(worker.get());
    workers.push_back(std::move(worker));
  }
  *figures = LoadFigures();
  if (workers.empty()) return false;
  // Every scan ends within its provider's own bound, so the workers end;
  // the wait wakes up every second only to report progress.
  while (WaitForMultipleObjects(static_cast<DWORD>(waits.size()), waits.data(), TRUE,
                                ProgressIntervalMs) == WAIT_TIMEOUT) {
    if (settings.progress != nullptr) {
      settings.progress(shared->done.load(), static_cast<long>(settings.scans));
    }
  }
  figures->seconds = ElapsedMs(start, Now(), shared->frequency) / 1000.0;
  figures->threadsStarted = static_cast<unsigned long>(workers.size());
  for (size_t p = 0; p < settings.providers->size(); ++p) {
    figures->providers.push_back(
        {shared->malware[p].load(), shared->clean[p].load(), shared->failed[p].load()});
  }
  figures->latencyMs = std::move(shared->latencyMs);
  std::sort(figures->latencyMs.begin(), figures->latencyMs.end());
  return true;
}
