// The service's settings: the configuration file, its errors, and the
// command line overriding it, seen through the running service.
#include "tests/service/service_harness.h"

#include <gtest/gtest.h>

namespace {

TEST(OptionsTest, ConfigurationFileSetsEverythingAndTheCommandLineOverridesIt) {
  ReferenceService service;
  ASSERT_TRUE(WriteTextFile(service.PathOf(L"rules.txt"), "From.File text file-rule-4410\n"));
  ASSERT_TRUE(WriteTextFile(service.PathOf(L"other.txt"), "From.Command text command-rule-7120\n"));
  // A byte order mark, comments, blanks around keys and values, CRLF line
  // ends, and relative paths taken from the file's own directory.
  ASSERT_TRUE(WriteTextFile(service.PathOf(L"service.conf"),
                            "\xEF\xBB\xBF# settings\r\n\r\n  signatures   =  rules.txt  \r\n"
                            "log=file.log\r\n   # indented comment\r\ninstances = 3\r\n"));
  ASSERT_TRUE(service.Start({L"--config", service.PathOf(L"service.conf")}));
  ScanRequest request;
  request.content = AsBytes("x file-rule-4410 x");
  EXPECT_EQ(Scan(request), 1);
  const auto lines = WaitForLogLines([&] { return ReadTextFile(service.PathOf(L"file.log")); }, 1);
  EXPECT_EQ(lines.size(), 1u);

  // The command line wins over the file, key by key.
  ReferenceService overridden;
  ASSERT_TRUE(WriteTextFile(overridden.PathOf(L"other.txt"), "From.Command text command-rule-7120\n"));
  service.Kill();
  ASSERT_TRUE(overridden.Start({L"--config", service.PathOf(L"service.conf"), L"--signatures",
                                overridden.PathOf(L"other.txt")}));
  request.content = AsBytes("x command-rule-7120 x");
  EXPECT_EQ(Scan(request), 1);
  request.content = AsBytes("x file-rule-4410 x");
  EXPECT_EQ(Scan(request), 0);
  // Still the file's log: only the signatures were overridden.
  EXPECT_EQ(WaitForLogLines([&] { return ReadTextFile(service.PathOf(L"file.log")); }, 3).size(),
            3u);
}

struct BadConfigCase {
  const char* name;
  std::string text;
  std::string message;  // what standard error must say
};

class BadConfigTest : public testing::TestWithParam<BadConfigCase> {};

TEST_P(BadConfigTest, StopsStartUpNamingTheLine) {
  ReferenceService service;
  const std::wstring config = service.PathOf(L"bad.conf");
  ASSERT_TRUE(WriteTextFile(config, GetParam().text));
  ASSERT_TRUE(service.Launch({L"--config", config}));
  DWORD exitCode = 0;
  ASSERT_TRUE(service.WaitForExit(ClientWaitMs, &exitCode)) << "the service kept running";
  EXPECT_EQ(exitCode, 2u);
  EXPECT_NE(service.Stderr().find(GetParam().message), std::string::npos)
      << service.Stderr();
  EXPECT_FALSE(ServicePipeExists());
}

INSTANTIATE_TEST_SUITE_P(
    Lines, BadConfigTest,
    testing::Values(
        BadConfigCase{"UnknownKey", "instances = 4\ncolour = blue\n", "bad.conf:2: unknown key \"colour\""},
        BadConfigCase{"NoEquals", "instances 4\n", "bad.conf:1: expected key = value"},
        BadConfigCase{"BadNumber", "# c\n\ninstances = 4x\n", "bad.conf:3: instances needs a number"},
        BadConfigCase{"OutOfRange", "connection-timeout-ms = 0\n",
                      "bad.conf:1: connection-timeout-ms needs a number from 1 to 600000"},
        BadConfigCase{"GivenTwice", "log = a.log\nlog = b.log\n", "bad.conf:2: log is given twice"},
        BadConfigCase{"EmptyPath", "signatures =\n", "bad.conf:1: signatures needs a file name"},
        BadConfigCase{"NotUtf8", "log = a\xff.log\n", "bad.conf:1: not UTF-8 text"},
        BadConfigCase{"BadSignatureFile", "signatures = missing.txt\n", "missing.txt"}),
    [](const testing::TestParamInfo<BadConfigCase>& info) { return info.param.name; });

TEST(OptionsTest, MissingConfigurationFileStopsStartUp) {
  ReferenceService service;
  ASSERT_TRUE(service.Launch({L"--config", service.PathOf(L"absent.conf")}));
  DWORD exitCode = 0;
  ASSERT_TRUE(service.WaitForExit(ClientWaitMs, &exitCode));
  EXPECT_EQ(exitCode, 2u);
  EXPECT_NE(service.Stderr().find("absent.conf: cannot open the configuration file"),
            std::string::npos)
      << service.Stderr();
}

TEST(OptionsTest, StopCommandEndsAForegroundServiceAfterWritingItsLog) {
  ReferenceService service;
  ASSERT_TRUE(service.Start({L"--log", service.PathOf(L"scans.log")}));
  ScanRequest request;
  request.content = AsBytes(EicarText());
  for (int i = 0; i < 5; ++i) ASSERT_EQ(Scan(request), 1);
  ReferenceService stopper;
  ASSERT_TRUE(stopper.Launch({L"--stop"}));
  DWORD stopperExit = 99;
  ASSERT_TRUE(stopper.WaitForExit(ClientWaitMs, &stopperExit));
  EXPECT_EQ(stopperExit, 0u) << stopper.Stderr();
  DWORD exitCode = 99;
  // --stop returns once the pipe is gone; the process ends right after.
  ASSERT_TRUE(service.WaitForExit(ClientWaitMs, &exitCode));
  EXPECT_EQ(exitCode, 0u);
  EXPECT_EQ(LogLines(ReadTextFile(service.PathOf(L"scans.log"))).size(), 5u);

  // Nothing left to stop.
  ReferenceService again;
  ASSERT_TRUE(again.Launch({L"--stop"}));
  ASSERT_TRUE(again.WaitForExit(ClientWaitMs, &exitCode));
  EXPECT_EQ(exitCode, 1u);
}

TEST(OptionsTest, ReloadCommandReloadsAForegroundServiceAndABadFileKeepsTheOldRules) {
  ReferenceService service;
  const std::wstring rules = service.PathOf(L"rules.txt");
  ASSERT_TRUE(WriteTextFile(rules, "Old.Rule text old-rule-3318\n"));
  ASSERT_TRUE(service.Start({L"--signatures", rules, L"--log", service.PathOf(L"scans.log")}));
  ScanRequest request;
  request.content = AsBytes("x new-rule-9052 x");
  ASSERT_EQ(Scan(request), 0);

  auto reload = [] {
    ReferenceService command;
    DWORD exitCode = 99;
    if (!command.Launch({L"--reload"}) || !command.WaitForExit(ClientWaitMs, &exitCode)) return 99ul;
    return exitCode;
  };
  ASSERT_TRUE(WriteTextFile(rules, "Old.Rule text old-rule-3318\nNew.Rule text new-rule-9052\n"));
  ASSERT_EQ(reload(), 0u);
  // The reload happens a moment after the command returns: polled.
  const ULONGLONG giveUp = GetTickCount64() + ClientWaitMs;
  while (Scan(request) != 1 && GetTickCount64() < giveUp) Sleep(20);
  EXPECT_EQ(Scan(request), 1) << "the new rule never took effect";
  EXPECT_NE(service.Stderr().find("reloaded: 4 rules"), std::string::npos) << service.Stderr();

  // A bad file: the service says so and keeps what it had.
  ASSERT_TRUE(WriteTextFile(rules, "Old.Rule text old-rule-3318\nBroken\n"));
  ASSERT_EQ(reload(), 0u);
  const ULONGLONG saidBy = GetTickCount64() + ClientWaitMs;
  while (service.Stderr().find("reload failed") == std::string::npos && GetTickCount64() < saidBy) {
    Sleep(20);
  }
  EXPECT_NE(service.Stderr().find("reload failed, keeping the configuration and rules in force: " +
                                  std::string("")),
            std::string::npos)
      << service.Stderr();
  EXPECT_NE(service.Stderr().find("rules.txt:2:"), std::string::npos) << service.Stderr();
  EXPECT_EQ(Scan(request), 1);
}

}  // namespace
