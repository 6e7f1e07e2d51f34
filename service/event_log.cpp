#include "service/event_log.h"

#include "service/messages.h"
#include "service/text.h"

#include <vector>

const wchar_t EventSourceName[] = L"Kestrov";

namespace {

std::wstring Wide(const std::string& utf8) {
  std::wstring wide;
  // Names come from the wire as UTF-16 and were turned into UTF-8, so they
  // convert back; anything else is reported as it can be.
  if (!Utf8ToWide(utf8, &wide)) wide.assign(utf8.begin(), utf8.end());
  return wide;
}

}  // namespace

EventLog::~EventLog() {
  if (source_ != nullptr) DeregisterEventSource(source_);
}

void EventLog::UseEventLog() {
  if (source_ == nullptr) source_ = RegisterEventSourceW(nullptr, EventSourceName);
}

void EventLog::Report(WORD type, DWORD id, std::initializer_list<std::wstring> strings,
                      const std::wstring& consoleText) {
  if (source_ == nullptr) {
    PrintError(consoleText);
    return;
  }
  std::vector<const wchar_t*> pointers;
  for (const std::wstring& text : strings) pointers.push_back(text.c_str());
  ReportEventW(source_, type, 0, id, nullptr, static_cast<WORD>(pointers.size()), 0,
               pointers.empty() ? nullptr : pointers.data(), nullptr);
}

void EventLog::Started(const std::wstring& pipe, DWORD instances, size_t rules) {
  Report(EVENTLOG_INFORMATION_TYPE, MSG_SERVICE_STARTED,
         {pipe, std::to_wstring(instances), std::to_wstring(rules)},
         L"serving " + pipe + L" with " + std::to_wstring(instances) + L" instances and " +
             std::to_wstring(rules) + L" rules");
}

void EventLog::Stopped() { Report(EVENTLOG_INFORMATION_TYPE, MSG_SERVICE_STOPPED, {}, L"stopped"); }

void EventLog::Reloaded(size_t rules) {
  Report(EVENTLOG_INFORMATION_TYPE, MSG_SERVICE_RELOADED, {std::to_wstring(rules)},
         L"reloaded: " + std::to_wstring(rules) + L" rules");
}

void EventLog::ReloadFailed(const std::wstring& why) {
  Report(EVENTLOG_ERROR_TYPE, MSG_RELOAD_FAILED, {why},
         L"reload failed, keeping the configuration and rules in force: " + why);
}

void EventLog::StartFailed(const std::wstring& why) {
  Report(EVENTLOG_ERROR_TYPE, MSG_START_FAILED, {why}, why);
}

void EventLog::StopIncomplete() {
  Report(EVENTLOG_ERROR_TYPE, MSG_STOP_INCOMPLETE, {},
         L"connections did not finish within the time to stop; the log was written, "
         L"ending now");
}

void EventLog::Detection(const std::string& app, const std::string& contentName,
                         const std::string& rule) {
  // In the foreground the scan log on stdout already shows every detection.
  if (source_ == nullptr) return;
  const ULONGLONG now = GetTickCount64();
  DWORD suppressedBefore = 0;
  AcquireSRWLockExclusive(&lock_);
  if (now - windowStart_ >= DetectionWindowMs || windowStart_ == 0) {
    windowStart_ = now;
    reportedInWindow_ = 0;
    suppressedBefore = suppressed_;
    suppressed_ = 0;
  }
  const bool report = reportedInWindow_ < DetectionsPerWindow;
  if (report) {
    ++reportedInWindow_;
  } else {
    ++suppressed_;
  }
  ReleaseSRWLockExclusive(&lock_);
  if (suppressedBefore > 0) {
    Report(EVENTLOG_WARNING_TYPE, MSG_DETECTIONS_NOT_REPORTED,
           {std::to_wstring(suppressedBefore), std::to_wstring(DetectionWindowMs / 1000)}, L"");
  }
  if (report) {
    Report(EVENTLOG_WARNING_TYPE, MSG_DETECTION, {Wide(app), Wide(contentName), Wide(rule)}, L"");
  }
}
