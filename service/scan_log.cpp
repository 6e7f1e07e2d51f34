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

bool ScanLog::OpenFile(const LogFileSettings& settings, UniqueFileHandle* file, ULONGLONG* size,
                       std::wstring* error) {
  *size = 0;
  if (settings.path.empty()) return true;
  // Appending: a restarted service adds to the log instead of replacing it.
  file->reset(CreateFileW(settings.path.c_str(), FILE_APPEND_DATA | SYNCHRONIZE,
                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                          OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!*file) {
    *error = settings.path + L": cannot open the log file (error " +
             std::to_wstring(GetLastError()) + L")";
    return false;
  }
  LARGE_INTEGER bytes = {};
  if (GetFileSizeEx(file->get(), &bytes)) *size = static_cast<ULONGLONG>(bytes.QuadPart);
  return true;
}

void ScanLog::Use(const LogFileSettings& settings, UniqueFileHandle file, ULONGLONG size) {
  settings_ = settings;
  file_ = std::move(file);
  size_ = size;
  handle_ = settings_.path.empty() ? GetStdHandle(STD_OUTPUT_HANDLE) : file_.get();
  DWORD mode = 0;
  console_ = handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE && GetConsoleMode(handle_, &mode);
}

bool ScanLog::Open(const LogFileSettings& settings, std::wstring* error) {
  UniqueFileHandle file;
  ULONGLONG size = 0;
  if (!OpenFile(settings, &file, &size, error)) return false;
  Use(settings, std::move(file), size);
  writer_.reset(CreateThread(nullptr, 64 * 1024, WriterThread, this,
                             STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr));
  if (!writer_) {
    *error = L"cannot start the log writer (error " + std::to_wstring(GetLastError()) + L")";
    return false;
  }
  return true;
}

bool ScanLog::Reopen(const LogFileSettings& settings, std::wstring* error) {
  UniqueFileHandle file;
  ULONGLONG size = 0;
  if (!OpenFile(settings, &file, &size, error)) return false;
  AcquireSRWLockExclusive(&lock_);
  reopen_ = true;
  nextSettings_ = settings;
  nextFile_ = std::move(file);
  nextSize_ = size;
  ReleaseSRWLockExclusive(&lock_);
  WakeConditionVariable(&queued_);
  return true;
}

void ScanLog::RotateIfFull(size_t adding) {
  if (!file_ || settings_.maxBytes == 0 || size_ == 0 || size_ + adding <= settings_.maxBytes) {
    return;
  }
  file_.reset();
  const std::wstring& path = settings_.path;
  auto numbered = [&](DWORD n) { return n == 0 ? path : path + L"." + std::to_wstring(n); };
  // The oldest goes; every other moves one up; the current becomes .1.
  DeleteFileW(numbered(settings_.files > 0 ? settings_.files - 1 : 0).c_str());
  for (DWORD n = settings_.files > 1 ? settings_.files - 1 : 0; n > 0; --n) {
    MoveFileExW(numbered(n - 1).c_str(), numbered(n).c_str(), MOVEFILE_REPLACE_EXISTING);
  }
  std::wstring ignored;
  UniqueFileHandle fresh;
  ULONGLONG size = 0;
  // A file that cannot be begun again leaves the lines without a place; the
  // next write tries once more.
  OpenFile(settings_, &fresh, &size, &ignored);
  file_ = std::move(fresh);
  size_ = size;
  handle_ = file_ ? file_.get() : INVALID_HANDLE_VALUE;
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

bool ScanLog::Close(DWORD timeoutMs) {
  if (!writer_) return true;
  AcquireSRWLockExclusive(&lock_);
  closing_ = true;
  ReleaseSRWLockExclusive(&lock_);
  WakeConditionVariable(&queued_);
  WakeAllConditionVariable(&drained_);
  // The writer ends once the queue is written; the bound keeps an output
  // that blocks for good (a console nobody reads) from holding up the exit.
  if (WaitForSingleObject(writer_.get(), timeoutMs) != WAIT_OBJECT_0) return false;
  writer_.reset();
  return true;
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
    bool reopen = false;
    LogFileSettings settings;
    UniqueFileHandle file;
    ULONGLONG size = 0;
    if (reopen_) {
      reopen = true;
      reopen_ = false;
      settings = nextSettings_;
      file = std::move(nextFile_);
      size = nextSize_;
    }
    ReleaseSRWLockExclusive(&lock_);
    WakeAllConditionVariable(&drained_);
    if (reopen) Use(settings, std::move(file), size);
    if (!lines.empty()) {
      if (file_ || settings_.path.empty()) {
        RotateIfFull(lines.size());
      } else {
        // The file could not be begun again at the last rotation.
        UniqueFileHandle again;
        std::wstring ignored;
        if (OpenFile(settings_, &again, &size_, &ignored)) Use(settings_, std::move(again), size_);
      }
      // A log that cannot be written (a closed stdout) must not stop the scans.
      if (handle_ != INVALID_HANDLE_VALUE && WriteUtf8(handle_, lines, console_)) {
        size_ += lines.size();
      }
    }
    lines.clear();
    if (last) return;
  }
}
