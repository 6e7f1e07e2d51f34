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

ScanLog::ScanLog() { InitializeSRWLock(&lock_); }

bool ScanLog::Open(const std::wstring& path, std::wstring* error) {
  if (path.empty()) {
    handle_ = GetStdHandle(STD_OUTPUT_HANDLE);
    return true;
  }
  // Appending: a restarted service adds to the log instead of replacing it.
  file_.reset(CreateFileW(path.c_str(), FILE_APPEND_DATA | SYNCHRONIZE,
                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                          OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file_) {
    *error = path + L": cannot open the log file (error " + std::to_wstring(GetLastError()) + L")";
    return false;
  }
  handle_ = file_.get();
  return true;
}

void ScanLog::Write(const ScanRecord& record) {
  const std::string line = FormatScanRecord(record);
  AcquireSRWLockExclusive(&lock_);
  // A log that cannot be written (a closed stdout) must not stop the scans.
  WriteUtf8(handle_, line);
  ReleaseSRWLockExclusive(&lock_);
}
