#include "bench/bench_support.h"

#include "host/latency.h"
#include "testkit/temp_files.h"

#include <algorithm>
#include <cstring>

namespace {
long long CounterFrequency() {
  static const long long frequency = [] {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return f.QuadPart;
  }();
  return frequency;
}
}  // namespace

bool StartBenchService(ReferenceService* service) {
  const std::wstring rules = service->PathOf(L"rules.txt");
  return WriteTextFile(rules, std::string("BENCH text ") + DetectionMarker + "\n") &&
         service->Start(
             {L"--log", L"NUL", L"--max-seconds", L"3600", L"--signatures", rules,
              L"--instances", std::to_wstring(BenchInstances)});
}

long long CounterNow() {
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  return now.QuadPart;
}

double CounterMs(long long start, long long end) {
  return ElapsedMs(start, end, CounterFrequency());
}

std::vector<BYTE> MarkedContent(size_t bytes, const char* marker) {
  static const char text[] = "Write-Output 'benchmark content line';\r\n";
  std::vector<BYTE> content(bytes);
  for (size_t k = 0; k < bytes; ++k) content[k] = static_cast<BYTE>(text[k % (sizeof text - 1)]);
  const size_t length = strlen(marker);
  if (bytes >= length) memcpy(content.data() + bytes - length, marker, length);
  return content;
}

std::string SizeLabel(size_t bytes) {
  if (bytes >= 1024 * 1024 && bytes % (1024 * 1024) == 0) {
    return std::to_string(bytes / (1024 * 1024)) + " MiB";
  }
  if (bytes >= 1024 && bytes % 1024 == 0) return std::to_string(bytes / 1024) + " KiB";
  return std::to_string(bytes) + " B";
}

LatencySummary Summarize(std::vector<double> samples) {
  LatencySummary summary;
  summary.count = samples.size();
  if (samples.empty()) return summary;
  std::sort(samples.begin(), samples.end());
  summary.p50 = NearestRankPercentile(samples.data(), samples.size(), 50);
  summary.p99 = NearestRankPercentile(samples.data(), samples.size(), 99);
  summary.max = samples.back();
  return summary;
}

double Median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const size_t middle = values.size() / 2;
  return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

StartLine::StartLine() : go_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}

// The main thread opens the line right after starting the threads; the wait
// is unbounded only in the sense that the opener is this program itself.
void StartLine::Wait() const { WaitForSingleObject(go_.get(), INFINITE); }

void StartLine::Open() const { SetEvent(go_.get()); }

const char* PlatformCallName(PlatformCall call) {
  switch (call) {
    case PlatformCall::CreateFile: return "CreateFileW";
    case PlatformCall::WaitNamedPipe: return "WaitNamedPipeW";
    case PlatformCall::ServerProcessId: return "GetNamedPipeServerProcessId";
    case PlatformCall::OpenProcess: return "OpenProcess";
    case PlatformCall::ImageQuery: return "QueryFullProcessImageNameW";
    case PlatformCall::CompareStrings: return "lstrcmpW";
    case PlatformCall::CreateEvent: return "CreateEventW";
    case PlatformCall::ResetEvent: return "ResetEvent";
    case PlatformCall::WriteFile: return "WriteFile";
    case PlatformCall::ReadFile: return "ReadFile";
    case PlatformCall::WaitForObject: return "WaitForSingleObject";
    case PlatformCall::OverlappedResult: return "GetOverlappedResult";
    case PlatformCall::CancelIo: return "CancelIoEx";
    case PlatformCall::CloseHandle: return "CloseHandle";
    case PlatformCall::TickCount: return "GetTickCount64";
    case PlatformCall::CurrentProcessId: return "GetCurrentProcessId";
    case PlatformCall::HeapAlloc: return "HeapAlloc";
    case PlatformCall::HeapFree: return "HeapFree";
    case PlatformCall::StreamAttribute: return "IAmsiStream::GetAttribute";
    case PlatformCall::StreamRead: return "IAmsiStream::Read";
    case PlatformCall::Count: break;
  }
  return "?";
}
