// Many scans of one content at once, as a busy host makes them: T threads
// take scans from a shared count until N are done; each scan has a stream
// of its own over the shared content and goes through every provider.
#pragma once

#include "host/file_stream.h"
#include "host/provider_host.h"
#include "platform/amsi.h"

#include <atomic>
#include <vector>

// Told about every scan on the thread that makes it, so that a caller can
// watch what one scan did (the load run's host watches the DLL's pipe opens).
class ScanObserver {
 public:
  virtual ~ScanObserver() = default;
  // Before the scan's first provider is called.
  virtual void BeforeScan(unsigned long /*scan*/) {}
  // After each provider's Scan returned `hr` and stored `result`.
  virtual void AfterScan(unsigned long /*scan*/, size_t /*provider*/, HRESULT /*hr*/,
                         AMSI_RESULT /*result*/) {}
};

struct LoadSettings {
  const std::vector<LoadedProvider>* providers = nullptr;
  FileStreamSettings stream;
  unsigned long scans = 1;
  unsigned long threads = 1;  // at most MAXIMUM_WAIT_OBJECTS
  ScanObserver* observer = nullptr;
  // Called about every second while the run lasts, with the scans done.
  void (*progress)(long done, long total) = nullptr;
};

struct ProviderCounts {
  long malware = 0, clean = 0, failed = 0;  // failed: Scan failed, or no stream
};

struct LoadFigures {
  std::vector<ProviderCounts> providers;  // in the order of the settings
  std::vector<double> latencyMs;          // one per scan, in ascending order
  unsigned long threadsStarted = 0;
  double seconds = 0;
};

bool IsMalware(AMSI_RESULT result);

// Runs the load and fills `figures`. False when not one thread could start;
// the run is then empty.
bool RunLoad(const LoadSettings& settings, LoadFigures* figures);
