#include "scan/service_channel.h"

#include "scan/directory_key.h"
#include "testkit/child_process.h"
#include "tests/scan/scan_path_test.h"

#include <gtest/gtest.h>

namespace {

class ServiceChannelTest : public ScanPathTest {
 protected:
  // Opens the channel and, if it opened, writes one byte on it, so that a
  // test can tell what the server received from an accepted client.
  bool OpenAndClose() {
    const HANDLE pipe = OpenServiceChannel();
    if (pipe == INVALID_HANDLE_VALUE) return false;
    CloseHandle(pipe);
    return true;
  }
};

TEST_F(ServiceChannelTest, OpensPipeWithExactArguments) {
  ASSERT_TRUE(StartService());
  RecordPipeOpens();
  const HANDLE pipe = OpenServiceChannel();
  ASSERT_NE(pipe, INVALID_HANDLE_VALUE);
  CloseHandle(pipe);
  ASSERT_EQ(gScanHooks.opens.size(), 1u);
  const ScanHooks::Open& open = gScanHooks.opens[0];
  EXPECT_EQ(open.access, 0xC0000000u);
  EXPECT_EQ(open.share, 0u);
  EXPECT_FALSE(open.securityAttributes);
  EXPECT_EQ(open.disposition, static_cast<DWORD>(OPEN_EXISTING));
  EXPECT_EQ(open.flags, 0x40110000u);
  EXPECT_FALSE(open.templateFile);
  EXPECT_TRUE(gScanHooks.pipeWaits.empty());
}

TEST_F(ServiceChannelTest, NoServerFailsAtOnceWithoutWaiting) {
  RecordPipeOpens();
  const ULONGLONG start = GetTickCount64();
  EXPECT_EQ(OpenServiceChannel(), INVALID_HANDLE_VALUE);
  EXPECT_LT(GetTickCount64() - start, 250u);
  EXPECT_EQ(gScanHooks.opens.size(), 1u);
  EXPECT_TRUE(gScanHooks.pipeWaits.empty());
}

TEST_F(ServiceChannelTest, BusyPipeThatFreesInTimeIsOpenedOnSecondTry) {
  TestServiceScript script;
  script.busyMs = 250;  // freed within the first 300 ms wait
  ASSERT_TRUE(StartService(script));
  RecordPipeOpens();
  const HANDLE pipe = OpenServiceChannel();
  EXPECT_NE(pipe, INVALID_HANDLE_VALUE);
  if (pipe != INVALID_HANDLE_VALUE) CloseHandle(pipe);
  EXPECT_EQ(gScanHooks.opens.size(), 2u);
  EXPECT_EQ(gScanHooks.pipeWaits, (std::vector<DWORD>{300}));
}

TEST_F(ServiceChannelTest, BusyPipeThatStaysBusyFailsAfterOneWait) {
  TestServiceScript script;
  script.busyMs = 5000;
  ASSERT_TRUE(StartService(script));
  RecordPipeOpens();
  const ULONGLONG start = GetTickCount64();
  EXPECT_EQ(OpenServiceChannel(), INVALID_HANDLE_VALUE);
  const ULONGLONG elapsed = GetTickCount64() - start;
  EXPECT_EQ(gScanHooks.opens.size(), 1u);
  EXPECT_EQ(gScanHooks.pipeWaits, (std::vector<DWORD>{300}));
  // The protocol's own wait: one time-out of 300 ms, then nothing more.
  EXPECT_GE(elapsed, 280u);
  EXPECT_LT(elapsed, 900u);
}

TEST_F(ServiceChannelTest, FreedInstanceTakenByAnotherClientMeansSecondWaitAndFailure) {
  TestServiceScript script;
  script.busyMs = 250;
  ASSERT_TRUE(StartService(script));
  RecordPipeOpens();
  gScanHooks.stealFreedInstance = true;
  EXPECT_EQ(OpenServiceChannel(), INVALID_HANDLE_VALUE);
  EXPECT_NE(gScanHooks.stolen, INVALID_HANDLE_VALUE) << "the other client got no instance";
  EXPECT_EQ(gScanHooks.opens.size(), 2u);
  EXPECT_EQ(gScanHooks.pipeWaits, (std::vector<DWORD>{300, 300}));
}

TEST_F(ServiceChannelTest, ServerInModuleDirectorySpelledInOtherCaseIsAccepted) {
  // The module's path as an installer might spell it: capitals throughout.
  std::wstring path = ProgramDirectory() + L"KESTROVAMSI.DLL";
  for (wchar_t& unit : path) {
    if (unit >= L'a' && unit <= L'z') unit = static_cast<wchar_t>(unit - 0x20);
  }
  MakeDirectoryKey(path.c_str(), moduleDirectoryKey);
  ASSERT_TRUE(StartService());
  EXPECT_TRUE(OpenAndClose());
}

// Servers outside the module's directory: each is started from a copy of
// the service program and must receive no byte.
struct RogueCase {
  const char* name;
  std::wstring (*directory)();
};

void PrintTo(const RogueCase& c, std::ostream* out) { *out << c.name; }

std::wstring ProgramDirectoryWithout(const wchar_t* suffix) {
  std::wstring directory = ProgramDirectory();
  directory.pop_back();  // the trailing backslash
  return directory + suffix;
}

const RogueCase rogueCases[] = {
    {"Subdirectory", [] { return ProgramDirectory() + L"rogue"; }},
    {"Parent",
     [] {
       std::wstring directory = ProgramDirectory();
       directory.pop_back();
       return directory.substr(0, directory.rfind(L'\\'));
     }},
    {"NameWithSoftHyphen", [] { return ProgramDirectoryWithout(L"\u00AD"); }},
    {"NameWithZeroWidthJoiner", [] { return ProgramDirectoryWithout(L"\u200D"); }},
};

class RogueServerTest : public ServiceChannelTest,
                        public testing::WithParamInterface<RogueCase> {};

TEST_P(RogueServerTest, IsRejectedBeforeAnyByteIsSent) {
  const std::wstring directory = GetParam().directory();
  const std::wstring copy = CopyTestServiceTo(directory);
  ASSERT_TRUE(service.Start(TestServiceScript(), copy));
  WatchServerChecks();

  FakeAmsiStream stream;
  stream.SetName(AMSI_ATTRIBUTE_APP_NAME, L"app");
  stream.SetContent(PatternBytes(64), true);
  HRESULT hr = E_FAIL;
  EXPECT_EQ(RunScan(stream, &hr), AMSI_RESULT_NOT_DETECTED);
  EXPECT_EQ(hr, S_OK);
  EXPECT_EQ(gScanHooks.imageQueries, 1u) << "the server was not reached and checked";
  EXPECT_TRUE(service.WaitForEndedConnections(1));
  service.Stop();
  RestorePatches();

  const auto connections = service.Connections();
  EXPECT_LE(connections.size(), 1u);
  EXPECT_EQ(service.TotalBytesReceived(), 0u);
  DeleteFileW(copy.c_str());
  if (GetParam().name != std::string("Parent")) RemoveDirectoryW(directory.c_str());
}

INSTANTIATE_TEST_SUITE_P(Directories, RogueServerTest, testing::ValuesIn(rogueCases),
                         [](const testing::TestParamInfo<RogueCase>& info) {
                           return std::string(info.param.name);
                         });

TEST_F(ServiceChannelTest, NonAsciiCaseDifferenceIsRejected) {
  // The service runs from ...\bin\ä\ while the module claims ...\bin\Ä\.
  const std::wstring directory = ProgramDirectory() + L"\u00E4";
  const std::wstring copy = CopyTestServiceTo(directory);
  const std::wstring modulePath = ProgramDirectory() + L"\u00C4\\KestrovAmsi.dll";
  MakeDirectoryKey(modulePath.c_str(), moduleDirectoryKey);
  ASSERT_TRUE(service.Start(TestServiceScript(), copy));
  EXPECT_FALSE(OpenAndClose());
  EXPECT_TRUE(service.WaitForEndedConnections(1));
  service.Stop();
  EXPECT_EQ(service.TotalBytesReceived(), 0u);
  DeleteFileW(copy.c_str());
  RemoveDirectoryW(directory.c_str());
}

TEST_F(ServiceChannelTest, EmptyModuleKeyRejectsServerAfterQueryingAndClosingItsProcess) {
  for (wchar_t& unit : moduleDirectoryKey) unit = 0;
  ASSERT_TRUE(StartService());
  WatchServerChecks();
  EXPECT_EQ(OpenServiceChannel(), INVALID_HANDLE_VALUE);
  ASSERT_EQ(gScanHooks.processesOpened.size(), 1u);
  EXPECT_EQ(gScanHooks.imageQueries, 1u);
  EXPECT_EQ(gScanHooks.processAccess, (std::vector<DWORD>{PROCESS_QUERY_LIMITED_INFORMATION}));
  // The process handle is closed, and then the pipe.
  ASSERT_EQ(gScanHooks.handlesClosed.size(), 2u);
  EXPECT_EQ(gScanHooks.handlesClosed[0], gScanHooks.processesOpened[0]);
}

TEST_F(ServiceChannelTest, ServerIdentityFailuresRejectTheServer) {
  struct Case {
    const char* name;
    bool ScanHooks::*fault;
  };
  const Case cases[] = {
      {"server process id fails", &ScanHooks::failServerProcessId},
      {"server process id is 0", &ScanHooks::zeroServerProcessId},
      {"process cannot be opened", &ScanHooks::failOpenProcess},
  };
  ASSERT_TRUE(StartService());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    WatchServerChecks();
    gScanHooks.*c.fault = true;
    const size_t closesBefore = gScanHooks.handlesClosed.size();
    EXPECT_EQ(OpenServiceChannel(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(gScanHooks.imageQueries, 0u);
    EXPECT_EQ(gScanHooks.handlesClosed.size(), closesBefore + 1) << "the pipe was not closed";
    gScanHooks.*c.fault = false;
    RestorePatches();
  }
  // The same service is accepted once nothing fails.
  EXPECT_TRUE(OpenAndClose());
  EXPECT_TRUE(service.WaitForEndedConnections(std::size(cases) + 1));
  service.Stop();
  EXPECT_EQ(service.TotalBytesReceived(), 0u);
}

}  // namespace
