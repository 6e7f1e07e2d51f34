// The scan service as a Windows service, under Wine's real service control
// manager: installed with --install, started, reloaded and stopped through
// the manager (and sc.exe), scanned through the provider, uninstalled.
#include "tests/service/service_harness.h"

#include "protocol/provider_identity.h"
#include "testkit/child_process.h"
#include "testkit/test_service.h"

#include <gtest/gtest.h>

#include <atomic>

namespace {

// A started service is running within this on a slow machine.
constexpr DWORD StartWaitMs = 20000;
// The service's promise: a stop ends within 2 s. The slack covers the
// process's own exit and the manager noticing it under Wine.
constexpr DWORD StopBoundMs = 2000;
constexpr DWORD StopSlackMs = 1500;

std::wstring HostProgram() { return ProgramDirectory() + L"amsiscan.exe"; }
std::wstring ProviderDll() {
  return ProgramDirectory() + (sizeof(void*) == 8 ? L"KestrovAmsi64.dll" : L"KestrovAmsi32.dll");
}

class InstalledServiceTest : public testing::Test {
 protected:
  void SetUp() override {
    // A service left behind by an earlier run would make --install fail.
    RunProgram(ReferenceServiceProgram(), L"--uninstall");
    directory = files.directory();
  }
  void TearDown() override { RunProgram(ReferenceServiceProgram(), L"--uninstall"); }

  std::wstring Path(const wchar_t* name) const { return files.PathOf(name); }

  // The installed service, or nothing with `openError` set.
  UniqueServiceHandle Open(DWORD access) {
    UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    openError = manager ? 0 : GetLastError();
    if (!manager) return UniqueServiceHandle();
    UniqueServiceHandle service(OpenServiceW(manager.get(), ScanServiceName, access));
    if (!service) openError = GetLastError();
    return service;
  }

  SERVICE_STATUS_PROCESS Status() {
    SERVICE_STATUS_PROCESS status = {};
    status.dwCurrentState = 0xdeadbeef;
    UniqueServiceHandle service = Open(SERVICE_QUERY_STATUS);
    DWORD needed = 0;
    if (service) {
      QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO,
                           reinterpret_cast<BYTE*>(&status), sizeof status, &needed);
    }
    return status;
  }

  // Starts the installed service and waits until it runs and serves.
  bool Start() {
    UniqueServiceHandle service = Open(SERVICE_START | SERVICE_QUERY_STATUS);
    if (!service || !StartServiceW(service.get(), 0, nullptr)) {
      ADD_FAILURE() << "cannot start the service, error " << GetLastError();
      return false;
    }
    // Polled: the manager offers no wait for a state.
    const ULONGLONG giveUp = GetTickCount64() + StartWaitMs;
    while (Status().dwCurrentState != SERVICE_RUNNING || !ServicePipeExists()) {
      if (GetTickCount64() >= giveUp) {
        ADD_FAILURE() << "the service is not running; state " << Status().dwCurrentState;
        return false;
      }
      Sleep(20);
    }
    return true;
  }

  // Stops the service through the manager; returns the milliseconds until
  // its process had ended, or a value above every bound when it did not.
  ULONGLONG StopAndTime() {
    const DWORD processId = Status().dwProcessId;
    UniqueKernelHandle process(OpenProcess(SYNCHRONIZE, FALSE, processId));
    UniqueServiceHandle service = Open(SERVICE_STOP);
    SERVICE_STATUS status = {};
    const ULONGLONG asked = GetTickCount64();
    if (!process || !service || !ControlService(service.get(), SERVICE_CONTROL_STOP, &status)) {
      ADD_FAILURE() << "cannot stop the service, error " << GetLastError();
      return ~0ULL;
    }
    if (WaitForSingleObject(process.get(), ClientWaitMs) != WAIT_OBJECT_0) return ~0ULL;
    return GetTickCount64() - asked;
  }

  // amsiscan through the built provider, which trusts the service since
  // both lie in the build directory: 1 detected, 0 clean, 2 error.
  DWORD HostScan(const std::string& content) {
    const std::wstring sample = Path(L"sample.txt");
    WriteTextFile(sample, content);
    return RunProgram(HostProgram(), L"--provider " + Quoted(ProviderDll()) + L" " + Quoted(sample));
  }

  std::vector<std::string> LogLinesOf(size_t count) {
    return WaitForLogLines([&] { return ReadTextFile(Path(L"scans.log")); }, count);
  }

  ReferenceService files;  // its private directory only; never launched
  std::wstring directory;
  DWORD openError = 0;
};

TEST_F(InstalledServiceTest, InstallsStartsScansStopsAndUninstalls) {
  ASSERT_TRUE(WriteTextFile(Path(L"rules.txt"), "Kestrov.Marker text kestrov-marker-7731\n"));
  ASSERT_TRUE(WriteTextFile(Path(L"service.conf"),
                            "# written by the test\nsignatures = rules.txt\nlog = scans.log\n"));
  ASSERT_EQ(RunProgram(ReferenceServiceProgram(), L"--install --config " + Quoted(Path(L"service.conf"))),
            0u);

  // What the manager holds: an automatic LocalSystem service running this
  // program with --service and the configuration file.
  {
    UniqueServiceHandle service = Open(SERVICE_QUERY_CONFIG);
    ASSERT_TRUE(service) << GetLastError();
    std::vector<BYTE> buffer(8192);
    DWORD needed = 0;
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
    ASSERT_TRUE(QueryServiceConfigW(service.get(), config, static_cast<DWORD>(buffer.size()),
                                    &needed))
        << GetLastError();
    EXPECT_EQ(config->dwStartType, static_cast<DWORD>(SERVICE_AUTO_START));
    EXPECT_EQ(config->dwServiceType & SERVICE_WIN32_OWN_PROCESS,
              static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
    EXPECT_EQ(std::wstring(config->lpDisplayName), L"Kestrov Scan Service");
    const std::wstring command = config->lpBinaryPathName;
    EXPECT_NE(command.find(ReferenceServiceProgram()), std::wstring::npos);
    EXPECT_NE(command.find(L"--service --config"), std::wstring::npos);
    EXPECT_NE(command.find(Path(L"service.conf")), std::wstring::npos);
    const std::wstring account = config->lpServiceStartName ? config->lpServiceStartName : L"";
    EXPECT_TRUE(account.empty() || account == L"LocalSystem") << "runs as " << account.c_str();
  }
  // The event log source names the program as its message file.
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE,
                          L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Kestrov",
                          0, KEY_READ, &key),
            ERROR_SUCCESS);
  wchar_t messageFile[MAX_PATH] = {};
  DWORD bytes = sizeof messageFile - sizeof(wchar_t);
  EXPECT_EQ(RegQueryValueExW(key, L"EventMessageFile", nullptr, nullptr,
                             reinterpret_cast<BYTE*>(messageFile), &bytes),
            ERROR_SUCCESS);
  RegCloseKey(key);
  EXPECT_EQ(std::wstring(messageFile), ReferenceServiceProgram());

  // A second install is refused and changes nothing.
  EXPECT_NE(RunProgram(ReferenceServiceProgram(), L"--install"), 0u);

  ASSERT_TRUE(Start());
  EXPECT_EQ(HostScan(EicarText()), 1u);
  EXPECT_EQ(HostScan("Write-Output 'nothing to see here'\n"), 0u);
  EXPECT_EQ(HostScan("payload kestrov-marker-7731 payload"), 1u);
  const std::vector<std::string> lines = LogLinesOf(3);
  ASSERT_EQ(lines.size(), 3u);
  std::map<std::string, JsonValue> last;
  ASSERT_TRUE(ParseFlatJson(lines[2], &last)) << lines[2];
  EXPECT_EQ(last["rule"].text, "Kestrov.Marker");
  EXPECT_EQ(last["verdict"].text, "1");

  const ULONGLONG stopMs = StopAndTime();
  EXPECT_LE(stopMs, StopBoundMs + StopSlackMs);
  EXPECT_EQ(Status().dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
  EXPECT_FALSE(ServicePipeExists());

  ASSERT_EQ(RunProgram(ReferenceServiceProgram(), L"--uninstall"), 0u);
  EXPECT_FALSE(Open(SERVICE_QUERY_STATUS));
  EXPECT_EQ(openError, static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));
  EXPECT_NE(RegOpenKeyExW(HKEY_LOCAL_MACHINE,
                          L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Kestrov",
                          0, KEY_READ, &key),
            ERROR_SUCCESS);
}

TEST_F(InstalledServiceTest, InstallChecksEverythingFirstAndCreatesNothingOnError) {
  ASSERT_TRUE(WriteTextFile(Path(L"bad.txt"), "Good text fine\nBad nonsense here\n"));
  ASSERT_TRUE(WriteTextFile(Path(L"bad.conf"), "instances = 0\n"));
  struct Case {
    const char* name;
    std::wstring arguments;
  };
  const Case cases[] = {
      {"bad signature file", L"--install --signatures " + Quoted(Path(L"bad.txt"))},
      {"bad configuration file", L"--install --config " + Quoted(Path(L"bad.conf"))},
      {"missing configuration file", L"--install --config " + Quoted(Path(L"none.conf"))},
      {"bad option value", L"--install --instances 300"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(RunProgram(ReferenceServiceProgram(), c.arguments), 2u);
    EXPECT_FALSE(Open(SERVICE_QUERY_STATUS)) << "a service was created";
  }
}

TEST_F(InstalledServiceTest, ParamchangeReloadsRulesAndABadFileKeepsTheOldOnes) {
  const std::string first = "Kestrov.First text first-marker-1029\n";
  ASSERT_TRUE(WriteTextFile(Path(L"rules.txt"), first));
  ASSERT_EQ(RunProgram(ReferenceServiceProgram(), L"--install --signatures " + Quoted(Path(L"rules.txt")) +
                                             L" --log " + Quoted(Path(L"scans.log"))),
            0u);
  ASSERT_TRUE(Start());
  ASSERT_EQ(HostScan("x first-marker-1029 x"), 1u);
  ASSERT_EQ(HostScan("x second-marker-5501 x"), 0u);

  // A new rule takes effect after --reload, which sends the service
  // paramchange through the manager.
  ASSERT_TRUE(WriteTextFile(Path(L"rules.txt"), first + "Kestrov.Second text second-marker-5501\n"));
  ASSERT_EQ(RunProgram(ReferenceServiceProgram(), L"--reload"), 0u);
  // The reload happens on the service's own thread, a moment after the
  // control returns: polled within a generous bound.
  const ULONGLONG giveUp = GetTickCount64() + ClientWaitMs;
  DWORD verdict = 0;
  while ((verdict = HostScan("x second-marker-5501 x")) != 1 && GetTickCount64() < giveUp) Sleep(100);
  EXPECT_EQ(verdict, 1u) << "the new rule never took effect";

  // A rules file with an error: the rules in force stay, the new one in the
  // bad file does not come in. This time paramchange comes straight from the
  // manager's interface, as `sc control ... paramchange` sends it.
  ASSERT_TRUE(WriteTextFile(Path(L"rules.txt"), first + "Kestrov.Third text third-marker-8862\n" +
                                                     "Broken line without a kind\n"));
  UniqueServiceHandle service = Open(SERVICE_PAUSE_CONTINUE);
  SERVICE_STATUS status = {};
  ASSERT_TRUE(ControlService(service.get(), SERVICE_CONTROL_PARAMCHANGE, &status))
      << GetLastError();
  // A reload takes milliseconds; one that wrongly took the bad file would
  // show well within this pause.
  Sleep(1500);
  EXPECT_EQ(HostScan("x third-marker-8862 x"), 0u);
  EXPECT_EQ(HostScan("x second-marker-5501 x"), 1u);
  EXPECT_EQ(HostScan("x first-marker-1029 x"), 1u);
  EXPECT_EQ(Status().dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
}

// Clients that scan until the service goes away, counting their verdicts.
struct Load {
  std::atomic<long> answered{0};
  std::atomic<bool> quit{false};
};

DWORD WINAPI ScanUntilGone(void* parameter) {
  auto* load = static_cast<Load*>(parameter);
  ScanRequest request;
  request.content = AsBytes(EicarText());
  const Bytes bytes = RequestBytes(request);
  // Ends when the service is gone (an open fails with anything but busy),
  // or when the test says so.
  while (!load->quit.load()) {
    PipeClient client;
    const DWORD error = client.TryConnect();
    if (error == ERROR_PIPE_BUSY) continue;
    if (error != 0) return 0;
    if (!client.Write(bytes)) continue;
    if (client.Read(4).bytes == Bytes{1, 0, 0, 0}) ++load->answered;
  }
  return 0;
}

TEST_F(InstalledServiceTest, StopUnderLoadEndsWithinTheBoundAndLogsEveryAnsweredScan) {
  ASSERT_EQ(RunProgram(ReferenceServiceProgram(), L"--install --log " + Quoted(Path(L"scans.log"))), 0u);
  ASSERT_TRUE(Start());
  Load load;
  std::vector<HANDLE> threads;
  for (int i = 0; i < 8; ++i) {
    threads.push_back(CreateThread(nullptr, 0, ScanUntilGone, &load, 0, nullptr));
    ASSERT_NE(threads.back(), nullptr);
  }
  // Lets the clients get going, so that scans are under way when the stop
  // comes.
  while (load.answered.load() < 50) Sleep(10);
  const ULONGLONG stopMs = StopAndTime();
  load.quit.store(true);
  WaitForMultipleObjects(static_cast<DWORD>(threads.size()), threads.data(), TRUE, ClientWaitMs);
  for (HANDLE thread : threads) CloseHandle(thread);
  EXPECT_LE(stopMs, StopBoundMs + StopSlackMs);
  const size_t answered = static_cast<size_t>(load.answered.load());
  const std::vector<std::string> lines = LogLinesOf(answered);
  // Every verdict a client read is logged. The log may hold one more per
  // client: a verdict the service sent (and logged) just as the stop ended
  // the connection, before the client could read it.
  EXPECT_GE(lines.size(), answered);
  EXPECT_LE(lines.size(), answered + threads.size());
}

TEST_F(InstalledServiceTest, StopCommandStopsTheInstalledService) {
  ASSERT_EQ(RunProgram(ReferenceServiceProgram(), L"--install --log " + Quoted(Path(L"scans.log"))), 0u);
  ASSERT_TRUE(Start());
  EXPECT_EQ(RunProgram(ReferenceServiceProgram(), L"--stop"), 0u);
  EXPECT_FALSE(ServicePipeExists());
  EXPECT_EQ(Status().dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
  // Nothing left to stop.
  EXPECT_EQ(RunProgram(ReferenceServiceProgram(), L"--stop"), 1u);
}

}  // namespace
