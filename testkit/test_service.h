// Starting and stopping the scripted test scan service (tests/test_service),
// and reading what it received. Failures are reported (testkit/failure.h).
#pragma once

#include "testkit/temp_files.h"

#include <windows.h>

#include <string>
#include <vector>

struct TestServiceScript {
  DWORD instances = 1;
  std::wstring reply = L"01000000";  // hex bytes sent after a complete request
  DWORD delayMs = 0;
  bool noReply = false;
  bool closeAfterReply = false;
  DWORD readLimit = 0;    // 0: no limit
  DWORD closeAfter = 0;   // 0: never
  DWORD busyMs = 0;
  DWORD maxSeconds = 30;  // the service exits by itself after this
};

// The service program built beside the tests.
std::wstring TestServiceProgram();

class TestService {
 public:
  TestService() = default;
  ~TestService();
  TestService(const TestService&) = delete;
  TestService& operator=(const TestService&) = delete;

  // Starts `program` with `script` and waits until every pipe instance
  // exists. Returns false (with a test failure added) if it did not start.
  bool Start(const TestServiceScript& script, const std::wstring& program = TestServiceProgram());
  // Signals the service to exit and waits for it; idempotent.
  void Stop();

  // Waits until the service has seen `count` connections end, so that
  // everything their clients sent is recorded. A client's close reaches the
  // service only after the client's call has returned.
  bool WaitForEndedConnections(size_t count, DWORD timeoutMs = 5000) const;
  // What each connection sent, in connection order; one entry per
  // connection, empty for a client that sent nothing.
  std::vector<std::vector<BYTE>> Connections() const;
  // All bytes received over all connections.
  size_t TotalBytesReceived() const;

 private:
  HANDLE process_ = nullptr;
  HANDLE stopEvent_ = nullptr;
  std::wstring recordDir_;
};

// Copies the service program into `directory` (created if needed) and
// returns the copy's path.
std::wstring CopyTestServiceTo(const std::wstring& directory);
