#include "tests/scan/scan_path_test.h"

#include "scan/directory_key.h"
#include "scan/scan.h"
#include "scan/service_channel.h"

#include <cstring>

ScanHooks gScanHooks;

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
} gReal;

bool IsServicePipe(LPCWSTR name) { return name != nullptr && lstrcmpW(name, ServicePipeName) == 0; }

HANDLE WINAPI RecordingCreateFile(LPCWSTR name, DWORD access, DWORD share,
                                  LPSECURITY_ATTRIBUTES attributes, DWORD disposition,
                                  DWORD flags, HANDLE templateFile) {
  if (IsServicePipe(name)) {
    if (gScanHooks.opens.empty()) gScanHooks.tickCallsAtFirstOpen = gScanHooks.tickCalls;
    gScanHooks.opens.push_back({access, share, disposition, flags, attributes != nullptr,
                               templateFile != nullptr});
  }
  return gReal.createFile(name, access, share, attributes, disposition, flags, templateFile);
}

BOOL WINAPI RecordingWaitNamedPipe(LPCWSTR name, DWORD timeout) {
  if (IsServicePipe(name)) gScanHooks.pipeWaits.push_back(timeout);
  const BOOL freed = gReal.waitNamedPipe(name, timeout);
  if (freed && gScanHooks.stealFreedInstance && gScanHooks.stolen == INVALID_HANDLE_VALUE) {
    gScanHooks.stolen = gReal.createFile(ServicePipeName, GENERIC_READ | GENERIC_WRITE, 0,
                                       nullptr, OPEN_EXISTING, 0, nullptr);
  }
  return freed;
}

ULONGLONG WINAPI ScriptedTickCount() {
  const size_t call = gScanHooks.tickCalls++;
  if (call == 0 && gScanHooks.stream != nullptr) {
    gScanHooks.streamCallsAtTickBase = gScanHooks.stream->callCount;
  }
  const auto& ticks = gScanHooks.ticks;
  if (ticks.empty()) return gReal.tickCount();
  return ticks[call < ticks.size() ? call : ticks.size() - 1];
}

LPVOID WINAPI WatchedHeapAlloc(HANDLE heap, DWORD flags, SIZE_T bytes) {
  ++gScanHooks.heapAllocs;
  gScanHooks.heapAllocSizes.push_back(bytes);
  if (gScanHooks.failHeapAlloc) return nullptr;
  return gReal.heapAlloc(heap, flags, bytes);
}

DWORD WINAPI FakedProcessId() {
  return gScanHooks.fakeProcessId != 0 ? gScanHooks.fakeProcessId : gReal.processId();
}

BOOL WINAPI WatchedServerProcessId(HANDLE pipe, PULONG id) {
  if (gScanHooks.failServerProcessId) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  const BOOL ok = gReal.serverProcessId(pipe, id);
  if (ok && gScanHooks.zeroServerProcessId) *id = 0;
  return ok;
}

HANDLE WINAPI WatchedOpenProcess(DWORD access, BOOL inherit, DWORD id) {
  gScanHooks.processAccess.push_back(access);
  if (gScanHooks.failOpenProcess) {
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  const HANDLE process = gReal.openProcess(access, inherit, id);
  gScanHooks.processesOpened.push_back(process);
  return process;
}

BOOL WINAPI WatchedQueryImage(HANDLE process, DWORD flags, LPWSTR path, PDWORD size) {
  ++gScanHooks.imageQueries;
  return gReal.queryImage(process, flags, path, size);
}

BOOL WINAPI WatchedCloseHandle(HANDLE handle) {
  gScanHooks.handlesClosed.push_back(handle);
  return gReal.closeHandle(handle);
}

}  // namespace

void ScanPathTest::SetUp() {
  gScanHooks = ScanHooks();
  for (wchar_t& unit : moduleDirectoryKey) unit = 0;
  InitModuleDirectoryKey(nullptr);  // the test program's own directory
}

void ScanPathTest::TearDown() {
  RestorePatches();
  if (gScanHooks.stolen != INVALID_HANDLE_VALUE) CloseHandle(gScanHooks.stolen);
  gScanHooks.stolen = INVALID_HANDLE_VALUE;
  service.Stop();
}

void ScanPathTest::RecordPipeOpens() {
  gReal.createFile = Patch("kernel32.dll", "CreateFileW", &RecordingCreateFile);
  gReal.waitNamedPipe = Patch("kernel32.dll", "WaitNamedPipeW", &RecordingWaitNamedPipe);
}

void ScanPathTest::ScriptTicks(std::vector<ULONGLONG> ticks) {
  gScanHooks.ticks = std::move(ticks);
  gReal.tickCount = Patch("kernel32.dll", "GetTickCount64", &ScriptedTickCount);
}

void ScanPathTest::WatchHeap() {
  gReal.heapAlloc = Patch("kernel32.dll", "HeapAlloc", &WatchedHeapAlloc);
}

void ScanPathTest::FakeProcessId(DWORD id) {
  gScanHooks.fakeProcessId = id;
  gReal.processId = Patch("kernel32.dll", "GetCurrentProcessId", &FakedProcessId);
}

void ScanPathTest::WatchServerChecks() {
  gReal.serverProcessId =
      Patch("kernel32.dll", "GetNamedPipeServerProcessId", &WatchedServerProcessId);
  gReal.openProcess = Patch("kernel32.dll", "OpenProcess", &WatchedOpenProcess);
  gReal.queryImage = Patch("kernel32.dll", "QueryFullProcessImageNameW", &WatchedQueryImage);
  gReal.closeHandle = Patch("kernel32.dll", "CloseHandle", &WatchedCloseHandle);
}

AMSI_RESULT ScanPathTest::RunScan(FakeAmsiStream& stream, HRESULT* hr) {
  gScanHooks.stream = &stream;
  AMSI_RESULT result = static_cast<AMSI_RESULT>(0xdeadbeef);
  const HRESULT returned = Scan(nullptr, stream.get(), &result);
  if (hr != nullptr) *hr = returned;
  gScanHooks.stream = nullptr;
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
