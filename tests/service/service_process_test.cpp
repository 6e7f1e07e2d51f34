// The service as a process: one per pipe name, its command line, stopping.
#include "tests/service/service_harness.h"

#include <gtest/gtest.h>

namespace {

ScanRequest EicarRequest() {
  ScanRequest request;
  request.content = AsBytes(EicarText());
  return request;
}

TEST(ServiceProcessTest, SecondServiceRefusesToStartWhileOneRuns) {
  ServiceProcess first;
  ASSERT_TRUE(first.Start({}));
  ServiceProcess second;
  ASSERT_TRUE(second.Launch({L"--max-seconds", L"60"}));
  DWORD exitCode = 0;
  ASSERT_TRUE(second.WaitForExit(ClientWaitMs, &exitCode)) << "the second service kept running";
  EXPECT_NE(0u, exitCode);
  EXPECT_NE(std::string::npos, second.Stderr().find("is already being served"))
      << second.Stderr();
  // The first goes on serving.
  EXPECT_EQ(1, Scan(EicarRequest()));
}

TEST(ServiceProcessTest, StopsCleanlyAfterMaxSeconds) {
  ServiceProcess service;
  ASSERT_TRUE(service.Start({L"--max-seconds", L"1"}));
  EXPECT_EQ(1, Scan(EicarRequest()));
  DWORD exitCode = 99;
  ASSERT_TRUE(service.WaitForExit(ClientWaitMs, &exitCode)) << "the service did not stop";
  EXPECT_EQ(0u, exitCode);
  EXPECT_FALSE(PipeExists());
  // Once stopped, the name is free for the next service.
  ServiceProcess next;
  ASSERT_TRUE(next.Start({}));
  EXPECT_EQ(1, Scan(EicarRequest()));
}

TEST(ServiceProcessTest, HelpDocumentsEveryOption) {
  ServiceProcess service;
  ASSERT_TRUE(service.Launch({L"--help"}));
  DWORD exitCode = 99;
  ASSERT_TRUE(service.WaitForExit(ClientWaitMs, &exitCode));
  EXPECT_EQ(0u, exitCode);
  const std::string help = service.Stdout();
  for (const char* option : {"--instances N", "--connection-timeout-ms MS", "--signatures FILE",
                             "--log FILE", "--max-seconds S", "--help"}) {
    EXPECT_NE(std::string::npos, help.find(option)) << option << " is not documented";
  }
  EXPECT_FALSE(PipeExists());
}

struct BadCommandCase {
  const char* name;
  std::vector<std::wstring> arguments;
  const char* named;  // what the message must mention
};
// Test names say which case failed; the bytes of the case would not.
void PrintTo(const BadCommandCase& c, std::ostream* out) { *out << c.name; }

class BadCommandLineTest : public ::testing::TestWithParam<BadCommandCase> {};

TEST_P(BadCommandLineTest, IsRefusedNamingTheOption) {
  ServiceProcess service;
  ASSERT_TRUE(service.Launch(GetParam().arguments));
  DWORD exitCode = 0;
  ASSERT_TRUE(service.WaitForExit(ClientWaitMs, &exitCode)) << "the service started anyway";
  EXPECT_NE(0u, exitCode);
  EXPECT_NE(std::string::npos, service.Stderr().find(GetParam().named)) << service.Stderr();
  EXPECT_FALSE(PipeExists());
}

INSTANTIATE_TEST_SUITE_P(
    Arguments, BadCommandLineTest,
    ::testing::Values(
        BadCommandCase{"UnknownOption", {L"--verbose"}, "--verbose"},
        BadCommandCase{"NoInstances", {L"--instances", L"0"}, "--instances"},
        BadCommandCase{"TooManyInstances", {L"--instances", L"255"}, "--instances"},
        BadCommandCase{"InstancesNotANumber", {L"--instances", L"8x"}, "--instances"},
        BadCommandCase{"ZeroTimeout", {L"--connection-timeout-ms", L"0"},
                       "--connection-timeout-ms"},
        BadCommandCase{"MaxSecondsMissing", {L"--max-seconds"}, "--max-seconds"},
        BadCommandCase{"LogWithoutFile", {L"--log"}, "--log"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
