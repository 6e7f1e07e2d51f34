// The service's event log messages, in-process, with the event log calls
// answered through the test program's import table.
#include "service/event_log.h"
#include "service/messages.h"
#include "tests/support/patching_test.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct Reported {
  WORD type;
  DWORD id;
  std::vector<std::wstring> strings;
};
std::vector<Reported> gReported;
const HANDLE FakeSource = reinterpret_cast<HANDLE>(0x5eed);

HANDLE WINAPI FakeRegisterEventSource(LPCWSTR server, LPCWSTR source) {
  return server == nullptr && std::wstring(source) == L"Kestrov" ? FakeSource : nullptr;
}
BOOL WINAPI FakeDeregisterEventSource(HANDLE) { return TRUE; }
BOOL WINAPI FakeReportEvent(HANDLE source, WORD type, WORD, DWORD id, PSID, WORD count, DWORD,
                            LPCWSTR* strings, LPVOID) {
  if (source != FakeSource) return FALSE;
  Reported entry{type, id, {}};
  for (WORD i = 0; i < count; ++i) entry.strings.push_back(strings[i]);
  gReported.push_back(entry);
  return TRUE;
}

ULONGLONG gFakeNow = 0;
ULONGLONG WINAPI FakeTickCount() { return gFakeNow; }

class EventLogTest : public PatchingTest {
 protected:
  void SetUp() override {
    gReported.clear();
    Patch("advapi32.dll", "RegisterEventSourceW", &FakeRegisterEventSource);
    Patch("advapi32.dll", "DeregisterEventSource", &FakeDeregisterEventSource);
    Patch("advapi32.dll", "ReportEventW", &FakeReportEvent);
    gFakeNow = 1000000;
    Patch("kernel32.dll", "GetTickCount64", &FakeTickCount);
  }
};

TEST_F(EventLogTest, ServiceEventsCarryTheirMessageAndInserts) {
  {
    EventLog events;
    events.UseEventLog();
    events.Started(L"\\\\.\\pipe\\KestrovAmsi", 128, 3);
    events.Reloaded(5);
    events.ReloadFailed(L"C:\\rules.txt:2: a rule needs a kind");
    events.StartFailed(L"cannot serve");
    events.StopIncomplete();
    events.Stopped();
  }
  ASSERT_EQ(gReported.size(), 6u);
  EXPECT_EQ(gReported[0].id, static_cast<DWORD>(MSG_SERVICE_STARTED));
  EXPECT_EQ(gReported[0].type, EVENTLOG_INFORMATION_TYPE);
  EXPECT_EQ(gReported[0].strings,
            (std::vector<std::wstring>{L"\\\\.\\pipe\\KestrovAmsi", L"128", L"3"}));
  EXPECT_EQ(gReported[1].id, static_cast<DWORD>(MSG_SERVICE_RELOADED));
  EXPECT_EQ(gReported[1].strings, (std::vector<std::wstring>{L"5"}));
  EXPECT_EQ(gReported[2].id, static_cast<DWORD>(MSG_RELOAD_FAILED));
  EXPECT_EQ(gReported[2].type, EVENTLOG_ERROR_TYPE);
  EXPECT_EQ(gReported[2].strings,
            (std::vector<std::wstring>{L"C:\\rules.txt:2: a rule needs a kind"}));
  EXPECT_EQ(gReported[3].id, static_cast<DWORD>(MSG_START_FAILED));
  EXPECT_EQ(gReported[4].id, static_cast<DWORD>(MSG_STOP_INCOMPLETE));
  EXPECT_EQ(gReported[5].id, static_cast<DWORD>(MSG_SERVICE_STOPPED));
}

TEST_F(EventLogTest, DetectionsAreRateLimitedAndTheSuppressedOnesCounted) {
  EventLog events;
  events.UseEventLog();
  const DWORD flood = EventLog::DetectionsPerWindow + 25;
  for (DWORD i = 0; i < flood; ++i) events.Detection("powershell.exe", "script-é.ps1", "Rule.X");
  ASSERT_EQ(gReported.size(), static_cast<size_t>(EventLog::DetectionsPerWindow));
  for (const Reported& entry : gReported) {
    EXPECT_EQ(entry.id, static_cast<DWORD>(MSG_DETECTION));
    EXPECT_EQ(entry.type, EVENTLOG_WARNING_TYPE);
    EXPECT_EQ(entry.strings,
              (std::vector<std::wstring>{L"powershell.exe", L"script-\u00e9.ps1", L"Rule.X"}));
  }
  // Still within the window: nothing more.
  gFakeNow += EventLog::DetectionWindowMs - 1;
  events.Detection("app", "content", "Rule.Y");
  EXPECT_EQ(gReported.size(), static_cast<size_t>(EventLog::DetectionsPerWindow));

  // The next window begins by saying how many went unreported.
  gFakeNow += 1;
  gReported.clear();
  events.Detection("app", "content", "Rule.Z");
  ASSERT_EQ(gReported.size(), 2u);
  EXPECT_EQ(gReported[0].id, static_cast<DWORD>(MSG_DETECTIONS_NOT_REPORTED));
  EXPECT_EQ(gReported[0].strings, (std::vector<std::wstring>{L"26", L"60"}));
  EXPECT_EQ(gReported[1].id, static_cast<DWORD>(MSG_DETECTION));
  EXPECT_EQ(gReported[1].strings[2], L"Rule.Z");
}

TEST_F(EventLogTest, ForegroundServiceReportsNothingToTheEventLog) {
  EventLog events;  // never told to use the event log
  events.Detection("app", "content", "Rule");
  events.Reloaded(2);
  EXPECT_TRUE(gReported.empty());
}

}  // namespace
