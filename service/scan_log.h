// The scan log: one JSON object per line and per answered scan, written to
// stdout or appended to a file. A file is rotated by size: when a write
// would take it past its limit, scans.log becomes scans.log.1 (scans.log.1
// becomes scans.log.2, and so on; the oldest beyond the file count is
// deleted) and a new scans.log is begun. A writer thread of its own does the writing,
// so that a connection never waits for the log's output (and for the other
// connections' lines) before it can take the next client; lines that come in
// while a write is under way go out together in the next one. Every write
// holds whole lines only, so readers never see half a line.
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

struct LogFileSettings {
  std::wstring path;               // empty: stdout, never rotated
  ULONGLONG maxBytes = 10 << 20;   // rotate before passing this; 0: never
  DWORD files = 5;                 // the current file and its older ones
};

class ScanLog {
 public:
  ScanLog();
  ~ScanLog();  // closes the log
  ScanLog(const ScanLog&) = delete;
  ScanLog& operator=(const ScanLog&) = delete;

  // Starts the writer. Returns false with `error` set if the file cannot be
  // opened or the writer cannot start.
  bool Open(const LogFileSettings& settings, std::wstring* error);
  // Moves the log to other settings (a reload): the file is opened here,
  // and lines go there from the writer's next write on. On failure the log
  // stays as it was.
  bool Reopen(const LogFileSettings& settings, std::wstring* error);
  // Queues the record's line; safe to call from every connection at once.
  // Waits only while more than MaxPendingBytes are still unwritten.
  void Write(const ScanRecord& record);
  // Writes what is queued and stops the writer; later lines are dropped.
  // False when the writer did not finish within `timeoutMs`: it still runs,
  // and the log must then be left alone until the process ends.
  bool Close(DWORD timeoutMs = 5000);

  static constexpr size_t MaxPendingBytes = 4 * 1024 * 1024;

 private:
  static DWORD WINAPI WriterThread(void* log);
  void WriteQueued();
  static bool OpenFile(const LogFileSettings& settings, UniqueFileHandle* file,
                       ULONGLONG* size, std::wstring* error);
  void Use(const LogFileSettings& settings, UniqueFileHandle file, ULONGLONG size);
  void RotateIfFull(size_t adding);

  // Owned by the writer thread once it runs.
  LogFileSettings settings_;
  UniqueFileHandle file_;                // the log file, when there is one
  HANDLE handle_ = INVALID_HANDLE_VALUE;  // where lines go: file_ or stdout
  bool console_ = false;                 // handle_ is a console: written as UTF-16
  ULONGLONG size_ = 0;                   // bytes in file_

  // A reopened file waiting for the writer to take it; under lock_.
  bool reopen_ = false;
  LogFileSettings nextSettings_;
  UniqueFileHandle nextFile_;
  ULONGLONG nextSize_ = 0;
  UniqueKernelHandle writer_;
  SRWLOCK lock_;
  CONDITION_VARIABLE queued_;   // lines were added, or the log closes
  CONDITION_VARIABLE drained_;  // the writer took the queued lines
  std::string pending_;         // whole lines not yet written; under lock_
  bool closing_ = false;        // under lock_
};
