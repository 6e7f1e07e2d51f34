// Messages of the running service: the Application event log under the
// source "Kestrov" when it runs under the service control manager, standard
// error in the foreground. Detections are rate-limited in the event log, so
// that a flood of them cannot fill it; the scan log has every one.
#pragma once

#include <windows.h>

#include <string>

extern const wchar_t EventSourceName[];

class EventLog {
 public:
  EventLog() { InitializeSRWLock(&lock_); }
  ~EventLog();
  EventLog(const EventLog&) = delete;
  EventLog& operator=(const EventLog&) = delete;

  // Reports to the event log from now on; without it (or when the source
  // cannot be registered) messages go to standard error.
  void UseEventLog();

  void Started(const std::wstring& pipe, DWORD instances, size_t rules);
  void Stopped();
  void Reloaded(size_t rules);
  void ReloadFailed(const std::wstring& why);
  void StartFailed(const std::wstring& why);
  void StopIncomplete();
  // Safe to call from every connection at once.
  void Detection(const std::string& app, const std::string& contentName, const std::string& rule);

  // At most this many detections are reported per window; the first one
  // after a window with suppressed detections says how many there were.
  static constexpr DWORD DetectionsPerWindow = 10;
  static constexpr ULONGLONG DetectionWindowMs = 60000;

 private:
  void Report(WORD type, DWORD id, std::initializer_list<std::wstring> strings,
              const std::wstring& consoleText);

  HANDLE source_ = nullptr;
  SRWLOCK lock_;
  ULONGLONG windowStart_ = 0;  // under lock_
  DWORD reportedInWindow_ = 0;
  DWORD suppressed_ = 0;
};
