#include "tests/support/scan_path_test.h"

#include "scan/directory_key.h"
#include "scan/scan.h"
#include "scan/service_channel.h"

#include <cstring>

ScanHooks scanHooks;

namespace {

struct Real {
  decltype(&CreateFileW) createFile;
  decltype(&WaitNamedPipeW) waitNamedPipe;
  decltype(&GetTickCount64) tickCount;
  decltype(&HeapAlloc) heapAlloc;
  decltype(&GetCurrentProcessId) processId;
  decltype(&GetNamedPipeServerProcessId) serverProcessId;
  decltype(&OpenProcess) openProcess;
  decltype(&QueryFullProcessImageNameW) queryImage;
  decltype(&CloseHandle) closeHandle;
} real;

bool IsServicePipe(LPCWSTR name) { return name != nullptr && lstrcmpW(name, ServicePipeName) == 0; }

HANDLE WINAPI RecordingCreateFile(LPCWSTR name, DWORD access, DWORD share,
                                  LPSECURITY_ATTRIBUTES attributes, DWORD disposition,
                                  DWORD flags, HANDLE templateFile) {
  if (IsServicePipe(name)) {
    if (scanHooks.opens.empty()) scanHooks.tickCallsAtFirstOpen = scanHooks.tickCalls;
    scanHooks.opens.push_back({access, share, disposition, flags, attributes != nullptr,
                               templateFile != nullptr});
  }
  return real.createFile(name, access, share, attributes, disposition, flags, templateFile);
}

BOOL WINAPI RecordingWaitNamedPipe(LPCWSTR name, DWORD timeout) {
  if (IsServicePipe(name)) scanHooks.pipeWaits.push_back(timeout);
  const BOOL freed = real.waitNamedPipe(name, timeout);
  if (freed && scanHooks.stealFreedInstance && scanHooks.stolen == INVALID_HANDLE_VALUE) {
    scanHooks.stolen = real.createFile(ServicePipeName, GENERIC_READ | GENERIC_WRITE, 0,
                                       nullptr, OPEN_EXISTING, 0, nullptr);
  }
  return freed;
}

ULONGLONG WINAPI ScriptedTickCount() {
  const size_t call = scanHooks.tickCalls++;
  if (call == 0 && scanHooks.stream != nullptr) {
    scanHooks.streamCallsAtTickBase = scanHooks.stream->callCount;
  }
  const auto& ticks = scanHooks.ticks;
  if (ticks.empty()) return real.tickCount();
  return ticks[call < ticks.size() ? call : ticks.size() - 1];
}

LPVOID WINAPI WatchedHeapAlloc(HANDLE heap, DWORD flags, SIZE_T bytes) {
  ++scanHooks.heapAllocs;
  scanHooks.heapAllocSizes.push_back(bytes);
  if (scanHooks.failHeapAlloc) return nullptr;
  return real.heapAlloc(heap, flags, bytes);
}

DWORD WINAPI FakedProcessId() {
  return scanHooks.fakeProcessId != 0 ? scanHooks.fakeProcessId : real.processId();
}

BOOL WINAPI WatchedServerProcessId(HANDLE pipe, PULONG id) {
  if (scanHooks.failServerProcessId) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  const BOOL ok = real.serverProcessId(pipe, id);
  if (ok && scanHooks.zeroServerProcessId) *id = 0;
  return ok;
}

HANDLE WINAPI WatchedOpenProcess(DWORD access, BOOL inherit, DWORD id) {
  scanHooks.processAccess.push_back(access);
  if (scanHooks.failOpenProcess) {
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  const HANDLE process = real.openProcess(access, inherit, id);
  scanHooks.processesOpened.push_back(process);
  return process;
}

BOOL WINAPI WatchedQueryImage(HANDLE process, DWORD flags, LPWSTR path, PDWORD size) {
  ++scanHooks.imageQueries;
  return real.queryImage(process, flags, path, size);
}

BOOL WINAPI WatchedCloseHandle(HANDLE handle) {
  scanHooks.handlesClosed.push_back(handle);
  return real.closeHandle(handle);
}

}  // namespace

void ScanPathTest::SetUp() {
  scanHooks = ScanHooks();
  for (wchar_t& unit : moduleDirectoryKey) unit = 0;
  InitModuleDirectoryKey(nullptr);  // the test program's own directory
}

void ScanPathTest::TearDown() {
  RestorePatches();
  if (scanHooks.stolen != INVALID_HANDLE_VALUE) CloseHandle(scanHooks.stolen);
  scanHooks.stolen = INVALID_HANDLE_VALUE;
  service.Stop();
}

void ScanPathTest::RecordPipeOpens() {
  real.createFile = Patch("kernel32.dll", "CreateFileW", &RecordingCreateFile);
  real.waitNamedPipe = Patch("kernel32.dll", "WaitNamedPipeW", &RecordingWaitNamedPipe);
}

void ScanPathTest::ScriptTicks(std::vector<ULONGLONG> ticks) {
  scanHooks.ticks = std::move(ticks);
  real.tickCount = Patch("kernel32.dll", "GetTickCount64", &ScriptedTickCount);
}

void ScanPathTest::WatchHeap() {
  real.heapAlloc = Patch("kernel32.dll", "HeapAlloc", &WatchedHeapAlloc);
}

void ScanPathTest::FakeProcessId(DWORD id) {
  scanHooks.fakeProcessId = id;
  real.processId = Patch("kernel32.dll", "GetCurrentProcessId", &FakedProcessId);
}

void ScanPathTest::WatchServerChecks() {
  real.serverProcessId =
      Patch("kernel32.dll", "GetNamedPipeServerProcessId", &WatchedServerProcessId);
  real.openProcess = Patch("kernel32.dll", "OpenProcess", &WatchedOpenProcess);
  real.queryImage = Patch("kernel32.dll", "QueryFullProcessImageNameW", &WatchedQueryImage);
  real.closeHandle = Patch("kernel32.dll", "CloseHandle", &WatchedCloseHandle);
}

AMSI_RESULT ScanPathTest::RunScan(FakeAmsiStream& stream, HRESULT* hr) {
  scanHooks.stream = &stream;
  AMSI_RESULT result = static_cast<AMSI_RESULT>(0xdeadbeef);
  const HRESULT returned = Scan(nullptr, stream.get(), &result);
  if (hr != nullptr) *hr = returned;
  scanHooks.stream = nullptr;
  return result;
}

std::vector<ParsedRequest> ScanPathTest::StopAndTakeRequests() {
  service.Stop();
  std::vector<ParsedRequest> requests;
  for (const auto& connection : service.Connections()) {
    requests.push_back(ParseRequest(connection));
  }
  return requests;
}

ParsedRequest ParseRequest(const std::vector<BYTE>& bytes) {
  ParsedRequest request;
  if (bytes.size() < sizeof(ScanRequestHeader)) return request;
  request.headerComplete = true;
  memcpy(&request.header, bytes.data(), sizeof request.header);
  size_t at = sizeof request.header;
  auto take = [&](uint32_t length, std::vector<BYTE>* piece) {
    const size_t available = at < bytes.size() ? bytes.size() - at : 0;
    const size_t count = length < available ? length : available;
    piece->assign(bytes.begin() + static_cast<ptrdiff_t>(at),
                  bytes.begin() + static_cast<ptrdiff_t>(at + count));
    at += count;
  };
  take(request.header.appNameBytes, &request.appName);
  take(request.header.contentNameBytes, &request.contentName);
  take(request.header.contentBytes, &request.content);
  request.trailing = bytes.size() - at;
  return request;
}

std::vector<BYTE> PatternBytes(size_t size, unsigned seed) {
  std::vector<BYTE> bytes(size);
  unsigned state = seed * 2654435761u + 1;
  for (size_t i = 0; i < size; ++i) {
    state = state * 1103515245u + 12345u;
    bytes[i] = static_cast<BYTE>(state >> 16);
  }
  return bytes;
}
