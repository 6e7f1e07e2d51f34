#include "service/scan_log.h"

#include "service/text.h"

#include <cstdio>

std::string FormatScanRecord(const ScanRecord& record) {
  char time[40];
  snprintf(time, sizeof time, "%04u-%02u-%02uT%02u:%02u:%02u.%03uZ", record.time.wYear,
           record.time.wMonth, record.time.wDay, record.time.wHour, record.time.wMinute,
           record.time.wSecond, record.time.wMilliseconds);
  std::string line = "{\"time\":\"";
  line += time;
  line += "\",\"pid\":" + std::to_string(record.processId);
  line += ",\"app\":\"";
  AppendJsonString(&line, record.appName);
  line += "\",\"contentName\":\"";
  AppendJsonString(&line, record.contentName);
  line += "\",\"contentBytes\":" + std::to_string(record.contentBytes);
  line += record.truncated ? ",\"truncated\":true" : ",\"truncated\":false";
  line += record.detected ? ",\"verdict\":1" : ",\"verdict\":0";
  if (record.rule != nullptr) {
    line += ",\"rule\":\"";
    AppendJsonString(&line, *record.rule);
    line += "\"";
  } else {
    line += ",\"rule\":null";
  }
  line += ",\"us\":" + std::to_string(record.microseconds) + "}\n";
  return line;
}

ScanLog::ScanLog() {
  InitializeSRWLock(&lock_);
  InitializeConditionVariable(&queued_);
  InitializeConditionVariable(&drained_);
}

ScanLog::~ScanLog() { Close(); }

bool ScanLog::Open(const std::wstring& path, std::wstring* error) {
  if (path.empty()) {
    handle_ = GetStdHandle(STD_OUTPUT_HANDLE);
  } else {
  // Appending: a restarted service adds to the log instead of replacing it.
  file_.reset(CreateFileW(path.c_str(), FILE_APPEND_DATA | SYNCHRONIZE,
                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                          OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file_) {
      *error =
          path + L": cannot open the log file (error " + std::to_wstring(GetLastError()) + L")";
      return false;
    }
    handle_ = file_.get();
  }
  DWORD mode = 0;
  console_ = handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE && GetConsoleMode(handle_, &mode);
  writer_.reset(CreateThread(nullptr, 64 * 1024, WriterThread, this,
                             STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr));
  if (!writer_) {
    *error = L"cannot start the log writer (error " + std::to_wstring(GetLastError()) + L")";
    return false;
  }
  return true;
}

void ScanLog::Write(const ScanRecord& record) {
  const std::string line = FormatScanRecord(record);
  AcquireSRWLockExclusive(&lock_);
  // Waits for the writer to catch up rather than queueing without bound:
  // an output slower than the scans holds the connections back instead.
  while (!closing_ && pending_.size() >= MaxPendingBytes) {
    SleepConditionVariableSRW(&drained_, &lock_, INFINITE, 0);
  }
  const bool queue = !closing_;
  if (queue) pending_ += line;
  ReleaseSRWLockExclusive(&lock_);
  if (queue) WakeConditionVariable(&queued_);
}

void ScanLog::Close() {
  if (!writer_) return;
  AcquireSRWLockExclusive(&lock_);
  closing_ = true;
  ReleaseSRWLockExclusive(&lock_);
  WakeConditionVariable(&queued_);
  WakeAllConditionVariable(&drained_);
  // The writer ends once the queue is written; the bound keeps an output
  // that blocks for good (a console nobody reads) from holding up the exit.
  WaitForSingleObject(writer_.get(), 5000);
  writer_.reset();
}

DWORD WINAPI ScanLog::WriterThread(void* log) {
  static_cast<ScanLog*>(log)->WriteQueued();
  return 0;
}

void ScanLog::WriteQueued() {
  std::string lines;
  for (;;) {
    AcquireSRWLockExclusive(&lock_);
    while (pending_.empty() && !closing_) {
      SleepConditionVariableSRW(&queued_, &lock_, INFINITE, 0);
    }
    // The written buffer, cleared, becomes the next queue.
    lines.swap(pending_);
    const bool last = closing_;
    ReleaseSRWLockExclusive(&lock_);
    WakeAllConditionVariable(&drained_);
    // A log that cannot be written (a closed stdout) must not stop the scans.
    if (!lines.empty()) WriteUtf8(handle_, lines, console_);
    lines.clear();
    if (last) return;
  }
}
