// Fixture for tests that run scans against the scripted service on the real
// pipe name: the module directory key is the test program's own directory,
// where the service program is built, and platform calls along the scan's
// road can be recorded or made to fail.
#pragma once

#include "scan/scan_request.h"
#include "testkit/fake_amsi_stream.h"
#include "testkit/request_bytes.h"
#include "testkit/test_service.h"
#include "tests/support/patching_test.h"

#include <string>
#include <vector>

// What the hooks saw and how they behave; reset before every test.
struct ScanHooks {
  // CreateFileW and WaitNamedPipeW on the service pipe name.
  struct Open {
    DWORD access, share, disposition, flags;
    bool securityAttributes, templateFile;
  };
  std::vector<Open> opens;
  size_t tickCallsAtFirstOpen = 0;
  std::vector<DWORD> pipeWaits;  // time-outs
  // After the first successful wait, open the pipe as another client so that
  // the scan finds it busy again.
  bool stealFreedInstance = false;
  HANDLE stolen = INVALID_HANDLE_VALUE;

  std::vector<ULONGLONG> ticks;  // GetTickCount64 answers in turn; empty: real
  size_t tickCalls = 0;
  size_t streamCallsAtTickBase = 0;
  const FakeAmsiStream* stream = nullptr;

  size_t heapAllocs = 0;
  std::vector<SIZE_T> heapAllocSizes;
  bool failHeapAlloc = false;

  DWORD fakeProcessId = 0;  // 0: real GetCurrentProcessId

  bool failServerProcessId = false;
  bool zeroServerProcessId = false;
  bool failOpenProcess = false;
  std::vector<HANDLE> processesOpened;
  std::vector<DWORD> processAccess;
  size_t imageQueries = 0;
  std::vector<HANDLE> handlesClosed;
};
extern ScanHooks gScanHooks;

class ScanPathTest : public PatchingTest {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Hooks; each forwards to the real function unless told otherwise.
  void RecordPipeOpens();       // CreateFileW, WaitNamedPipeW
  void ScriptTicks(std::vector<ULONGLONG> ticks);
  void WatchHeap();             // HeapAlloc: counted, may fail
  void FakeProcessId(DWORD id);
  void WatchServerChecks();     // the server identity calls, and CloseHandle

  bool StartService(const TestServiceScript& script = TestServiceScript()) {
    return service.Start(script);
  }
  // Stops the service and returns what each connection sent, parsed, in
  // connection order.
  std::vector<ParsedRequest> StopAndTakeRequests();
  // Runs Scan with *result preset to a sentinel; returns what it stored.
  AMSI_RESULT RunScan(FakeAmsiStream& stream, HRESULT* hr = nullptr);

  TestService service;
};
