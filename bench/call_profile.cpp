#include "bench/call_profile.h"

#include "bench/raw_client.h"
#include "testkit/import_patch.h"

namespace {

// Only one scan runs at a time while the hooks are in place.
CallTally* gTally = nullptr;

// One timing hook per imported function: the real function is called and
// its time added to the tally under `id`.
#define TIMED_HOOK(name, id, result, params, args)             \
  decltype(&name) gReal##name = nullptr;                        \
  result WINAPI Timed##name params {                           \
    const long long start = CounterNow();                      \
    const result value = gReal##name args;                      \
    gTally->Add(PlatformCall::id, start);                       \
    return value;                                              \
  }

TIMED_HOOK(CreateFileW, CreateFile, HANDLE,
           (LPCWSTR a, DWORD b, DWORD c, LPSECURITY_ATTRIBUTES d, DWORD e, DWORD f, HANDLE g),
           (a, b, c, d, e, f, g))
TIMED_HOOK(WaitNamedPipeW, WaitNamedPipe, BOOL, (LPCWSTR a, DWORD b), (a, b))
TIMED_HOOK(GetNamedPipeServerProcessId, ServerProcessId, BOOL, (HANDLE a, PULONG b), (a, b))
TIMED_HOOK(OpenProcess, OpenProcess, HANDLE, (DWORD a, BOOL b, DWORD c), (a, b, c))
TIMED_HOOK(QueryFullProcessImageNameW, ImageQuery, BOOL, (HANDLE a, DWORD b, LPWSTR c, PDWORD d),
           (a, b, c, d))
TIMED_HOOK(lstrcmpW, CompareStrings, int, (LPCWSTR a, LPCWSTR b), (a, b))
TIMED_HOOK(CreateEventW, CreateEvent, HANDLE, (LPSECURITY_ATTRIBUTES a, BOOL b, BOOL c, LPCWSTR d),
           (a, b, c, d))
TIMED_HOOK(ResetEvent, ResetEvent, BOOL, (HANDLE a), (a))
TIMED_HOOK(WriteFile, WriteFile, BOOL, (HANDLE a, LPCVOID b, DWORD c, LPDWORD d, LPOVERLAPPED e),
           (a, b, c, d, e))
TIMED_HOOK(ReadFile, ReadFile, BOOL, (HANDLE a, LPVOID b, DWORD c, LPDWORD d, LPOVERLAPPED e),
           (a, b, c, d, e))
TIMED_HOOK(WaitForSingleObject, WaitForObject, DWORD, (HANDLE a, DWORD b), (a, b))
TIMED_HOOK(GetOverlappedResult, OverlappedResult, BOOL,
           (HANDLE a, LPOVERLAPPED b, LPDWORD c, BOOL d), (a, b, c, d))
TIMED_HOOK(CancelIoEx, CancelIo, BOOL, (HANDLE a, LPOVERLAPPED b), (a, b))
TIMED_HOOK(CloseHandle, CloseHandle, BOOL, (HANDLE a), (a))
TIMED_HOOK(GetTickCount64, TickCount, ULONGLONG, (), ())
TIMED_HOOK(GetCurrentProcessId, CurrentProcessId, DWORD, (), ())
TIMED_HOOK(HeapAlloc, HeapAlloc, LPVOID, (HANDLE a, DWORD b, SIZE_T c), (a, b, c))
TIMED_HOOK(HeapFree, HeapFree, BOOL, (HANDLE a, DWORD b, LPVOID c), (a, b, c))
#undef TIMED_HOOK

class TimingHooks {
 public:
  explicit TimingHooks(HMODULE dll) {
    Add(dll, "CreateFileW", &TimedCreateFileW, &gRealCreateFileW);
    Add(dll, "WaitNamedPipeW", &TimedWaitNamedPipeW, &gRealWaitNamedPipeW);
    Add(dll, "GetNamedPipeServerProcessId", &TimedGetNamedPipeServerProcessId,
        &gRealGetNamedPipeServerProcessId);
    Add(dll, "OpenProcess", &TimedOpenProcess, &gRealOpenProcess);
    Add(dll, "QueryFullProcessImageNameW", &TimedQueryFullProcessImageNameW,
        &gRealQueryFullProcessImageNameW);
    Add(dll, "lstrcmpW", &TimedlstrcmpW, &gReallstrcmpW);
    Add(dll, "CreateEventW", &TimedCreateEventW, &gRealCreateEventW);
    Add(dll, "ResetEvent", &TimedResetEvent, &gRealResetEvent);
    Add(dll, "WriteFile", &TimedWriteFile, &gRealWriteFile);
    Add(dll, "ReadFile", &TimedReadFile, &gRealReadFile);
    Add(dll, "WaitForSingleObject", &TimedWaitForSingleObject, &gRealWaitForSingleObject);
    Add(dll, "GetOverlappedResult", &TimedGetOverlappedResult, &gRealGetOverlappedResult);
    Add(dll, "CancelIoEx", &TimedCancelIoEx, &gRealCancelIoEx);
    Add(dll, "CloseHandle", &TimedCloseHandle, &gRealCloseHandle);
    Add(dll, "GetTickCount64", &TimedGetTickCount64, &gRealGetTickCount64);
    Add(dll, "GetCurrentProcessId", &TimedGetCurrentProcessId, &gRealGetCurrentProcessId);
    Add(dll, "HeapAlloc", &TimedHeapAlloc, &gRealHeapAlloc);
    Add(dll, "HeapFree", &TimedHeapFree, &gRealHeapFree);
  }

 private:
  // A function the DLL does not import is simply not timed.
  template <typename F>
  void Add(HMODULE dll, const char* function, F hook, F* real) {
    hooks_.Add(dll, "KERNEL32.dll", function, hook, real);
  }
  // The slots go back newest first when the profile ends.
  ImportHookSet hooks_;
};

// A stream that forwards to the host's stream and times its two working
// calls, which are not platform imports of the DLL.
struct TimedStream {
  IAmsiStream stream;
  IAmsiStream* inner;

  static IAmsiStream* Inner(IAmsiStream* self) {
    return reinterpret_cast<TimedStream*>(self)->inner;
  }
  static HRESULT STDMETHODCALLTYPE QueryInterface(IAmsiStream* self, REFIID riid, void** object) {
    if (object == nullptr) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IAmsiStream)) {
      *object = self;
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  // Lives on the profiler's stack, for the length of the scans.
  static ULONG STDMETHODCALLTYPE AddRef(IAmsiStream*) { return 2; }
  static ULONG STDMETHODCALLTYPE Release(IAmsiStream*) { return 1; }
  static HRESULT STDMETHODCALLTYPE GetAttribute(IAmsiStream* self, AMSI_ATTRIBUTE attribute,
                                                ULONG dataSize, unsigned char* data,
                                                ULONG* retData) {
    IAmsiStream* inner = Inner(self);
    const long long start = CounterNow();
    const HRESULT hr = inner->lpVtbl->GetAttribute(inner, attribute, dataSize, data, retData);
    gTally->Add(PlatformCall::StreamAttribute, start);
    return hr;
  }
  static HRESULT STDMETHODCALLTYPE Read(IAmsiStream* self, ULONGLONG position, ULONG size,
                                        unsigned char* buffer, ULONG* readSize) {
    IAmsiStream* inner = Inner(self);
    const long long start = CounterNow();
    const HRESULT hr = inner->lpVtbl->Read(inner, position, size, buffer, readSize);
    gTally->Add(PlatformCall::StreamRead, start);
    return hr;
  }
};
const IAmsiStreamVtbl timedStreamVtable = {&TimedStream::QueryInterface, &TimedStream::AddRef,
                                           &TimedStream::Release, &TimedStream::GetAttribute,
                                           &TimedStream::Read};

}  // namespace

CallProfile ProfileCalls(const ProviderRunner& provider, size_t contentBytes, bool addressPath,
                         unsigned scans) {
  CallProfile profile;
  profile.contentBytes = contentBytes;
  profile.addressPath = addressPath;
  const std::wstring contentName = L"bench-" + std::to_wstring(contentBytes);
  const std::vector<BYTE> bytes = MarkedContent(contentBytes);
  ScanContent content;
  if (FAILED(content.Assign(bytes.data(), bytes.size()))) return profile;
  const std::vector<BYTE> request = BuildRawRequest(BenchAppName, contentName, bytes);
  BenchStream stream(content, contentName.c_str(), addressPath);
  TimedStream timed = {{&timedStreamVtable}, stream.get()};

  // Untimed first scans, so that both start warm.
  provider.Scan(stream.get());
  RawExchange(request);

  long long providerTicks = 0, rawTicks = 0;
  {
    gTally = &profile.provider;
    TimingHooks hooks(provider.module());
    for (unsigned n = 0; n < scans; ++n) {
      const long long start = CounterNow();
      provider.Scan(&timed.stream);
      providerTicks += CounterNow() - start;
    }
  }
  for (unsigned n = 0; n < scans; ++n) {
    const long long start = CounterNow();
    RawExchange(request, &profile.raw);
    rawTicks += CounterNow() - start;
  }
  gTally = nullptr;
  profile.scans = scans;
  profile.providerScanUs = CounterMs(0, providerTicks) * 1000.0 / scans;
  profile.rawScanUs = CounterMs(0, rawTicks) * 1000.0 / scans;
  return profile;
}
