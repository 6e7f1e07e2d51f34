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
  ReferenceService first;
  ASSERT_TRUE(first.Start({}));
  ReferenceService second;
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
  ReferenceService service;
  ASSERT_TRUE(service.Start({L"--max-seconds", L"1"}));
  EXPECT_EQ(1, Scan(EicarRequest()));
  DWORD exitCode = 99;
  ASSERT_TRUE(service.WaitForExit(ClientWaitMs, &exitCode)) << "the service did not stop";
  EXPECT_EQ(0u, exitCode);
  EXPECT_FALSE(ServicePipeExists());
  // Once stopped, the name is free for the next service.
  ReferenceService next;
  ASSERT_TRUE(next.Start({}));
  EXPECT_EQ(1, Scan(EicarRequest()));
}

// Clients that scan until the service goes away, counting the verdicts
// they got.
struct UntilStopped {
  long answered = 0;
};

DWORD WINAPI ScanUntilStopped(void* parameter) {
  auto* work = static_cast<UntilStopped*>(parameter);
  const Bytes request = RequestBytes(EicarRequest());
  // Bounded by the service's --max-seconds: once it is gone, the open fails
  // with an error other than busy.
  for (;;) {
    PipeClient client;
    const DWORD error = client.TryConnect();
    if (error == ERROR_PIPE_BUSY) continue;
    if (error != 0) return 0;
    if (!client.Write(request)) continue;
    const PipeClient::ReadResult verdict = client.Read(4);
    if (verdict.bytes == Bytes{1, 0, 0, 0}) ++work->answered;
  }
}

TEST(ServiceProcessTest, StoppingWritesTheLogLineOfEveryAnsweredScan) {
  ReferenceService service;
  ASSERT_TRUE(service.Start({L"--max-seconds", L"2", L"--log", service.PathOf(L"log.txt")}));
  // Clients scan right up to the stop, so that lines are still waiting to
  // be written when it comes.
  constexpr int Threads = 8;
  std::vector<UntilStopped> work(Threads);
  std::vector<HANDLE> threads;
  for (UntilStopped& w : work) {
    threads.push_back(CreateThread(nullptr, 0, ScanUntilStopped, &w, 0, nullptr));
    ASSERT_NE(nullptr, threads.back());
  }
  DWORD exitCode = 99;
  ASSERT_TRUE(service.WaitForExit(ClientWaitMs, &exitCode)) << "the service did not stop";
  EXPECT_EQ(0u, exitCode);
  long answered = 0;
  for (size_t i = 0; i < threads.size(); ++i) {
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(threads[i], ClientWaitMs));
    CloseHandle(threads[i]);
    answered += work[i].answered;
  }
  // A verdict can be lost in the disconnect at the stop after its line was
  // queued, never the other way round.
  const size_t logged = LogLines(ReadTextFile(service.PathOf(L"log.txt"))).size();
  EXPECT_GT(answered, 0);
  EXPECT_GE(logged, static_cast<size_t>(answered));
}

TEST(ServiceProcessTest, HelpDocumentsEveryOption) {
  ReferenceService service;
  ASSERT_TRUE(service.Launch({L"--help"}));
  DWORD exitCode = 99;
  ASSERT_TRUE(service.WaitForExit(ClientWaitMs, &exitCode));
  EXPECT_EQ(0u, exitCode);
  const std::string help = service.Stdout();
  for (const char* option : {"--instances N", "--connection-timeout-ms MS", "--signatures FILE",
                             "--log FILE", "--max-seconds S", "--help"}) {
    EXPECT_NE(std::string::npos, help.find(option)) << option << " is not documented";
  }
  EXPECT_FALSE(ServicePipeExists());
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
  ReferenceService service;
  ASSERT_TRUE(service.Launch(GetParam().arguments));
  DWORD exitCode = 0;
  ASSERT_TRUE(service.WaitForExit(ClientWaitMs, &exitCode)) << "the service started anyway";
  EXPECT_NE(0u, exitCode);
  EXPECT_NE(std::string::npos, service.Stderr().find(GetParam().named)) << service.Stderr();
  EXPECT_FALSE(ServicePipeExists());
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
