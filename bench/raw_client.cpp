#include "bench/raw_client.h"

#include "protocol/wire_format.h"
#include "testkit/request_bytes.h"

#include <cstring>

std::vector<BYTE> BuildRawRequest(const std::wstring& appName, const std::wstring& contentName,
                                  const std::vector<BYTE>& content) {
  const size_t sent = content.size() < MaxContentBytes ? content.size() : MaxContentBytes;
  ScanRequest request;
  request.processId = GetCurrentProcessId();
  request.appName = Utf16Bytes(appName);
  request.contentName = Utf16Bytes(contentName);
  request.content.assign(content.begin(), content.begin() + static_cast<ptrdiff_t>(sent));
  request.truncated = content.size() > MaxContentBytes;
  return RequestBytes(request);
}

namespace {

// Calls timed only when a tally is given.
struct Timer {
  CallTally* tally;
  PlatformCall call;
  long long start;
  Timer(CallTally* t, PlatformCall c) : tally(t), call(c), start(t ? CounterNow() : 0) {}
  ~Timer() {
    if (tally) tally->Add(call, start);
  }
};

// The raw client has no deadline of its own; this bound only keeps a
// wedged service from hanging the benchmark.
constexpr DWORD TransferBoundMs = 10000;

bool Finish(HANDLE pipe, OVERLAPPED* overlapped, BOOL started, DWORD* bytes, CallTally* tally) {
  if (!started && GetLastError() != ERROR_IO_PENDING) return false;
  DWORD woke;
  {
    Timer t(tally, PlatformCall::WaitForObject);
    woke = WaitForSingleObject(overlapped->hEvent, TransferBoundMs);
  }
  if (woke != WAIT_OBJECT_0) {
    // The request must have ended before its OVERLAPPED goes out of scope.
    CancelIoEx(pipe, overlapped);
    GetOverlappedResult(pipe, overlapped, bytes, TRUE);
    return false;
  }
  Timer t(tally, PlatformCall::OverlappedResult);
  return GetOverlappedResult(pipe, overlapped, bytes, FALSE) != FALSE;
}

}  // namespace

RawOutcome RawExchange(const std::vector<BYTE>& request, CallTally* tally) {
  UniqueFileHandle pipe;
  {
    Timer t(tally, PlatformCall::CreateFile);
    pipe.reset(CreateFileW(ServicePipeName, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                           OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr));
  }
  if (!pipe) return GetLastError() == ERROR_PIPE_BUSY ? RawOutcome::Busy : RawOutcome::Failed;
  UniqueKernelHandle event;
  {
    Timer t(tally, PlatformCall::CreateEvent);
    event.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  }
  if (!event) return RawOutcome::Failed;

  OVERLAPPED overlapped = {};
  overlapped.hEvent = event.get();
  BOOL started;
  {
    Timer t(tally, PlatformCall::WriteFile);
    started = WriteFile(pipe.get(), request.data(), static_cast<DWORD>(request.size()), nullptr,
                        &overlapped);
  }
  DWORD written = 0;
  if (!Finish(pipe.get(), &overlapped, started, &written, tally) || written != request.size()) {
    return RawOutcome::Failed;
  }

  overlapped = OVERLAPPED();
  overlapped.hEvent = event.get();
  BYTE verdict[4] = {};
  {
    Timer t(tally, PlatformCall::ReadFile);
    started = ReadFile(pipe.get(), verdict, sizeof verdict, nullptr, &overlapped);
  }
  DWORD read = 0;
  if (!Finish(pipe.get(), &overlapped, started, &read, tally) || read != sizeof verdict) {
    return RawOutcome::Failed;
  }
  {
    Timer t(tally, PlatformCall::CloseHandle);
    pipe.reset();
  }
  {
    Timer t(tally, PlatformCall::CloseHandle);
    event.reset();
  }
  uint32_t value;
  memcpy(&value, verdict, sizeof value);
  return value == ScanVerdictDetected ? RawOutcome::Detected : RawOutcome::NotDetected;
}
