// The scan log: one JSON object per line and per answered scan, written to
// stdout or appended to a file, each line in one write so that readers never
// see half a line and nothing waits in a buffer.
//
//   {"time":"2024-05-01T12:00:00.123Z","pid":1234,"app":"...","contentName":"...",
//    "contentBytes":68,"truncated":false,"verdict":1,"rule":"EICAR-Test-File","us":57}
//
// time is UTC when the verdict was sent; pid is the process id the request
// names; app and contentName are the request's UTF-16LE names as UTF-8 (""
// when absent); verdict is what was sent (1 detected, 0 not); rule is the
// name of the matching rule or null; us is the microseconds from accepting
// the connection to sending the verdict.
#pragma once

#include "platform/unique_handle.h"

#include <windows.h>

#include <cstdint>
#include <string>

struct ScanRecord {
  SYSTEMTIME time;  // UTC
  uint32_t processId;
  std::string appName;      // UTF-8
  std::string contentName;  // UTF-8
  uint32_t contentBytes;
  bool truncated;
  bool detected;
  const std::string* rule;  // null when nothing matched
  ULONGLONG microseconds;
};

std::string FormatScanRecord(const ScanRecord& record);

class ScanLog {
 public:
  ScanLog();
  ScanLog(const ScanLog&) = delete;
  ScanLog& operator=(const ScanLog&) = delete;

  // An empty path logs to stdout. Returns false with `error` set if the file
  // cannot be opened.
  bool Open(const std::wstring& path, std::wstring* error);
  // Safe to call from every connection at once.
  void Write(const ScanRecord& record);

 private:
  UniqueFileHandle file_;                // the --log file, when there is one
  HANDLE handle_ = INVALID_HANDLE_VALUE;  // where lines go: file_ or stdout
  SRWLOCK lock_;
};
