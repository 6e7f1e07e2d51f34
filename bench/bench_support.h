// Pieces the whole benchmark shares: the clock, the content of a
// scan, latency summaries and a start line for threads.
#pragma once

#include "platform/unique_handle.h"
#include "protocol/wire_format.h"
#include "scan/scan.h"  // ExchangeBudgetMs, the provider's deadline
#include "testkit/child_process.h"
#include "testkit/reference_service.h"

#include <windows.h>

#include <string>
#include <vector>

// Placed at the end of every benchmark content; the service is given a rule
// for it, so every successful scan is a detection and a failed one shows.
constexpr char DetectionMarker[] = "KESTROV-BENCH-MARKER-7Q2";
constexpr wchar_t BenchAppName[] = L"KestrovBench";
// The marker of the project's sample clamd signature (tools/clamd-rules,
// the .ndb file), which no rule of the service's own matches, and the name
// clamd reports for it.
constexpr char ClamdMarker[] = "KESTROV-TEST-MARKER-5E2B9C";
constexpr char ClamdSignature[] = "Kestrov.Test.Marker.UNOFFICIAL";

// Pipe instances of the benchmark's service (the service's default).
constexpr unsigned BenchInstances = 128;

// Starts the reference service from this program's directory (the
// provider's), logging to NUL, with BenchInstances instances and one rule
// for DetectionMarker.
bool StartBenchService(ReferenceService* service);

long long CounterNow();
double CounterMs(long long start, long long end);

// `bytes` bytes of ASCII text that end with DetectionMarker, or with
// `marker`.
std::vector<BYTE> MarkedContent(size_t bytes, const char* marker = DetectionMarker);
std::string SizeLabel(size_t bytes);  // "1 KiB", "8 MiB", ...

// Latencies of one run, in milliseconds.
struct LatencySummary {
  double p50 = 0, p99 = 0, max = 0;
  size_t count = 0;
};
LatencySummary Summarize(std::vector<double> samples);
double Median(std::vector<double> values);

// A line that threads wait at until the main thread lets them all go at
// once, so that concurrent scans start together.
class StartLine {
 public:
  StartLine();
  bool ok() const { return static_cast<bool>(go_); }
  void Wait() const;
  void Open() const;

 private:
  UniqueKernelHandle go_;
};

// Per-call time of a set of platform calls, for the breakdowns.
enum class PlatformCall {
  CreateFile, WaitNamedPipe, ServerProcessId, OpenProcess, ImageQuery, CompareStrings,
  CreateEvent, ResetEvent, WriteFile, ReadFile, WaitForObject, OverlappedResult, CancelIo,
  CloseHandle, TickCount, CurrentProcessId, HeapAlloc, HeapFree, StreamAttribute, StreamRead,
  Count
};
const char* PlatformCallName(PlatformCall call);

struct CallTally {
  unsigned long long calls[static_cast<int>(PlatformCall::Count)] = {};
  long long ticks[static_cast<int>(PlatformCall::Count)] = {};
  void Add(PlatformCall call, long long start) {
    const int k = static_cast<int>(call);
    ++calls[k];
    ticks[k] += CounterNow() - start;
  }
};
