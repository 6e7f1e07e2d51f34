// amsiscan.exe run as a child process against the built provider DLL and the
// scripted scan service.

#include "protocol/provider_identity.h"
#include "protocol/wire_format.h"
#include "testkit/child_process.h"
#include "testkit/fake_amsi_stream.h"
#include "testkit/request_bytes.h"
#include "testkit/test_service.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr char ProviderName[] = "Kestrov Antivirus";
constexpr REGSAM OwnView = sizeof(void*) == 8 ? KEY_WOW64_64KEY : KEY_WOW64_32KEY;

std::wstring ProviderDll() {
  return ProgramDirectory() +
         (sizeof(void*) == 8 ? L"KestrovAmsi64.dll" : L"KestrovAmsi32.dll");
}
std::wstring SystemDll(const wchar_t* name) {
  wchar_t system[MAX_PATH];
  const UINT length = GetSystemDirectoryW(system, MAX_PATH);
  return std::wstring(system, length) + L"\\" + name;
}
std::wstring HostProgram() { return ProgramDirectory() + L"amsiscan.exe"; }

struct HostRun {
  DWORD exitCode = 0xFFFFFFFF;
  std::string out, err;
  bool Has(const std::string& text) const { return out.find(text) != std::string::npos; }
  // The first line of standard output that starts with `prefix`; empty if none.
  std::string Line(const std::string& prefix) const {
    size_t at = 0;
    while (at < out.size()) {
      size_t end = out.find('\n', at);
      if (end == std::string::npos) end = out.size();
      std::string line = out.substr(at, end - at);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (line.compare(0, prefix.size(), prefix) == 0) return line;
      at = end + 1;
    }
    return std::string();
  }
};

std::string ReadAll(const std::wstring& path) {
  std::string text;
  const HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return text;
  char chunk[4096];
  DWORD count = 0;
  while (ReadFile(file, chunk, sizeof chunk, &count, nullptr) && count > 0) {
    text.append(chunk, count);
  }
  CloseHandle(file);
  return text;
}

void WriteAll(const std::wstring& path, const std::vector<BYTE>& bytes) {
  const HANDLE file =
      CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  DWORD written = 0;
  if (!bytes.empty()) {
    EXPECT_TRUE(WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr));
  }
  CloseHandle(file);
}

class AmsiscanTest : public ::testing::Test {
 protected:
  void SetUp() override {
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    static int counter = 0;
    directory = std::wstring(temp) + L"amsiscan-test-" + std::to_wstring(GetCurrentProcessId()) +
                L"-" + std::to_wstring(++counter);
    CreateDirectoryW(directory.c_str(), nullptr);
  }
  void TearDown() override {
    service.Stop();
    RemoveTestDirectory(directory);
  }

  std::wstring Sample(size_t size, const wchar_t* name = L"sample.ps1") {
    const std::wstring path = directory + L"\\" + name;
    content = PatternBytes(size, static_cast<unsigned>(size));
    WriteAll(path, content);
    return path;
  }

  bool StartService(const std::wstring& reply, DWORD instances = 1) {
    TestServiceScript script;
    script.reply = reply;
    script.instances = instances;
    script.maxSeconds = 120;
    return service.Start(script);
  }

  // Runs amsiscan.exe with `args`; standard input is `input` through a pipe
  // when given, the NUL device otherwise.
  HostRun Run(const std::vector<std::wstring>& args, const std::vector<BYTE>* input = nullptr) {
    HostRun run;
    std::wstring command = L"\"" + HostProgram() + L"\"";
    for (const std::wstring& arg : args) command += L" \"" + arg + L"\"";
    const std::wstring outPath = directory + L"\\stdout.txt";
    const std::wstring errPath = directory + L"\\stderr.txt";
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    const HANDLE out = CreateFileW(outPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                                   CREATE_ALWAYS, 0, nullptr);
    const HANDLE err = CreateFileW(errPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                                   CREATE_ALWAYS, 0, nullptr);
    HANDLE in = INVALID_HANDLE_VALUE;
    HANDLE inWriter = nullptr;
    if (input != nullptr) {
      // The pipe holds the whole input, so it is written before the child starts.
      CreatePipe(&in, &inWriter, &inherit, static_cast<DWORD>(input->size() + 4096));
      SetHandleInformation(inWriter, HANDLE_FLAG_INHERIT, 0);
      DWORD written = 0;
      if (!input->empty()) {
        WriteFile(inWriter, input->data(), static_cast<DWORD>(input->size()), &written, nullptr);
      }
      EXPECT_EQ(written, input->size());
      CloseHandle(inWriter);
    } else {
      in = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                       OPEN_EXISTING, 0, nullptr);
    }
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = in;
    startup.hStdOutput = out;
    startup.hStdError = err;
    PROCESS_INFORMATION info = {};
    std::vector<wchar_t> line(command.begin(), command.end());
    line.push_back(0);
    const BOOL started = CreateProcessW(HostProgram().c_str(), line.data(), nullptr, nullptr,
                                        TRUE, 0, nullptr, directory.c_str(), &startup, &info);
    CloseHandle(in);
    CloseHandle(out);
    CloseHandle(err);
    if (!started) {
      ADD_FAILURE() << "cannot start amsiscan.exe, error " << GetLastError();
      return run;
    }
    CloseHandle(info.hThread);
    // Only a guard against a wedged child; a slow one under emulation is fine.
    if (WaitForSingleObject(info.hProcess, 180000) != WAIT_OBJECT_0) {
      ADD_FAILURE() << "amsiscan.exe did not end";
      TerminateProcess(info.hProcess, 99);
      WaitForSingleObject(info.hProcess, 10000);
    }
    GetExitCodeProcess(info.hProcess, &run.exitCode);
    CloseHandle(info.hProcess);
    run.out = ReadAll(outPath);
    run.err = ReadAll(errPath);
    return run;
  }

  std::wstring directory;
  std::vector<BYTE> content;
  TestService service;
};

std::string Narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

TEST_F(AmsiscanTest, VerdictOfTheServiceDecidesTheResultAndExitCode) {
  struct Case {
    const wchar_t* reply;
    DWORD exitCode;
    AMSI_RESULT result;
    const char* verdict;
  };
  const Case cases[] = {{L"01000000", 1, AMSI_RESULT_DETECTED, "malware"},
                        {L"00000000", 0, AMSI_RESULT_NOT_DETECTED, "clean"},
                        {L"02000000", 0, AMSI_RESULT_NOT_DETECTED, "clean"}};
  const std::wstring file = Sample(3000);
  for (const Case& c : cases) {
    SCOPED_TRACE(Narrow(c.reply));
    ASSERT_TRUE(StartService(c.reply));
    const HostRun run = Run({L"--provider", ProviderDll(), file});
    EXPECT_EQ(run.exitCode, c.exitCode) << run.out << run.err;
    const std::string expected = std::string("provider \"") + ProviderName + "\": result " +
                                 std::to_string(c.result) + " (" + c.verdict + ") in ";
    EXPECT_EQ(run.Line("provider ").rfind(expected, 0), 0u) << run.out;
    EXPECT_EQ(run.Line("provider ").substr(run.Line("provider ").size() - 3), " ms") << run.out;
    EXPECT_EQ(run.Line("overall: "), std::string("overall: ") + c.verdict) << run.out;
    EXPECT_EQ(run.Line("loaded "), std::string("loaded \"") + ProviderName + "\" " +
                                       Narrow(ProviderClassIdText) + " from " +
                                       Narrow(ProviderDll()))
        << run.out;
    EXPECT_TRUE(service.WaitForEndedConnections(1));
    EXPECT_EQ(service.Connections().size(), 1u);
    service.Stop();
  }
}

TEST_F(AmsiscanTest, RequestCarriesTheNamesAndContentFromTheStream) {
  struct Case {
    const char* name;
    std::vector<std::wstring> options;
    std::wstring appName;
    size_t size;
  };
  const Case cases[] = {
      {"defaults", {}, L"amsiscan", 3000},
      {"--app", {L"--app", L"Nightly Build Runner"}, L"Nightly Build Runner", 3000},
      {"--no-address", {L"--no-address"}, L"amsiscan", 100000},
      {"over 8 MiB by address", {}, L"amsiscan", MaxContentBytes + 12345},
      {"over 8 MiB through Read", {L"--no-address"}, L"amsiscan", MaxContentBytes + 12345},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::wstring file = Sample(c.size);
    ASSERT_TRUE(StartService(L"00000000"));
    std::vector<std::wstring> args = c.options;
    args.insert(args.end(), {L"--provider", ProviderDll(), file});
    const HostRun run = Run(args);
    EXPECT_EQ(run.exitCode, 0u) << run.out << run.err;
    ASSERT_TRUE(service.WaitForEndedConnections(1));
    service.Stop();
    const std::vector<std::vector<BYTE>> connections = service.Connections();
    ASSERT_EQ(connections.size(), 1u);
    const ParsedRequest request = ParseRequest(connections[0]);
    ASSERT_TRUE(request.headerComplete);
    EXPECT_EQ(request.appName, Utf16Bytes(c.appName));
    EXPECT_EQ(request.contentName, Utf16Bytes(file));
    const size_t sent = c.size < MaxContentBytes ? c.size : MaxContentBytes;
    ASSERT_EQ(request.content.size(), sent);
    EXPECT_TRUE(std::equal(request.content.begin(), request.content.end(), content.begin()));
    EXPECT_EQ(request.header.truncated, c.size > MaxContentBytes ? 1u : 0u);
  }
}

TEST_F(AmsiscanTest, StandardInputIsScannedUnderTheNameStdin) {
  const std::vector<std::vector<std::wstring>> forms = {{L"-"}, {}};
  for (const std::vector<std::wstring>& form : forms) {
    SCOPED_TRACE(form.empty() ? "no file" : "-");
    const std::vector<BYTE> input = PatternBytes(20000, static_cast<unsigned>(form.size()) + 3);
    ASSERT_TRUE(StartService(L"01000000"));
    std::vector<std::wstring> args = {L"--provider", ProviderDll()};
    args.insert(args.end(), form.begin(), form.end());
    const HostRun run = Run(args, &input);
    EXPECT_EQ(run.exitCode, 1u) << run.out << run.err;
    ASSERT_TRUE(service.WaitForEndedConnections(1));
    service.Stop();
    const std::vector<std::vector<BYTE>> connections = service.Connections();
    ASSERT_EQ(connections.size(), 1u);
    const ParsedRequest request = ParseRequest(connections[0]);
    EXPECT_EQ(request.contentName, Utf16Bytes(L"stdin"));
    EXPECT_EQ(request.content, input);
  }
}

TEST_F(AmsiscanTest, UnusableCommandLinesAndProvidersExitWithTwo) {
  const std::wstring file = Sample(100);
  const std::wstring dll = ProviderDll();
  struct Case {
    const char* name;
    std::vector<std::wstring> args;
  };
  const Case cases[] = {
      {"missing file", {L"--provider", dll, directory + L"\\absent.txt"}},
      {"unknown option", {L"--provider", dll, L"--frobnicate", file}},
      {"option without its value", {L"--provider", dll, file, L"--app"}},
      {"two files", {L"--provider", dll, file, file}},
      {"repeat zero", {L"--provider", dll, L"--repeat", L"0", file}},
      {"repeat not a number", {L"--provider", dll, L"--repeat", L"5x", file}},
      {"too many threads", {L"--provider", dll, L"--threads", L"65", file}},
      {"malformed class id", {L"--provider", dll, L"--clsid", L"5D3A9C71", file}},
      {"class id without provider", {L"--clsid", ProviderClassIdText, file}},
      {"missing DLL", {L"--provider", directory + L"\\absent.dll", file}},
      {"class the DLL does not serve",
       {L"--provider", dll, L"--clsid", L"{00000000-0000-0000-0000-000000000001}", file}},
      {"a DLL that is no provider", {L"--provider", SystemDll(L"kernel32.dll"), file}},
  };
  // A service that says "detected": a command line that scanned anyway
  // would end with 1, not 2.
  ASSERT_TRUE(StartService(L"01000000"));
  for (const Case& c : cases) {
    const HostRun run = Run(c.args);
    EXPECT_EQ(run.exitCode, 2u) << c.name << "\n" << run.out << run.err;
    EXPECT_EQ(run.err.rfind("amsiscan: ", 0), 0u) << c.name << ": " << run.err;
    EXPECT_FALSE(run.Has("overall: ")) << c.name << "\n" << run.out;
  }
  service.Stop();
  EXPECT_TRUE(service.Connections().empty());
}

TEST_F(AmsiscanTest, LoadRunPrintsCountsAndLatencySummary) {
  struct Case {
    unsigned long repeat, threads, threadsUsed;
  };
  const Case cases[] = {{5, 1, 1}, {12, 3, 3}, {2, 6, 2}};
  const std::wstring file = Sample(5000);
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.repeat) + " scans on " + std::to_string(c.threads));
    // Twice as many instances as threads, so that no scan finds them all busy.
    ASSERT_TRUE(StartService(L"01000000", 2 * c.threads));
    const HostRun run = Run({L"--provider", ProviderDll(), L"--repeat", std::to_wstring(c.repeat),
                             L"--threads", std::to_wstring(c.threads), file});
    EXPECT_EQ(run.exitCode, 1u) << run.out << run.err;
    const std::string n = std::to_string(c.repeat);
    EXPECT_EQ(run.Line("provider "), std::string("provider \"") + ProviderName + "\": " + n +
                                         " scans, " + n + " malware, 0 clean, 0 failed")
        << run.out;
    EXPECT_EQ(run.Line("scans: ").rfind("scans: " + n + " on " +
                                            std::to_string(c.threadsUsed) + " threads in ",
                                        0),
              0u)
        << run.out;
    double perSecond = -1;
    EXPECT_EQ(sscanf(run.Line("scans: ").c_str() + run.Line("scans: ").find(", ") + 2,
                     "%lf scans/s", &perSecond),
              1)
        << run.out;
    EXPECT_GT(perSecond, 0.0);
    double p50 = -1, p99 = -1, max = -1;
    ASSERT_EQ(sscanf(run.Line("latency: ").c_str(), "latency: p50 %lf ms, p99 %lf ms, max %lf ms",
                     &p50, &p99, &max),
              3)
        << run.out;
    EXPECT_LE(0.0, p50);
    EXPECT_LE(p50, p99);
    EXPECT_LE(p99, max);
    EXPECT_EQ(run.Line("overall: "), "overall: malware");
    ASSERT_TRUE(service.WaitForEndedConnections(c.repeat));
    service.Stop();
    EXPECT_EQ(service.Connections().size(), c.repeat);
  }
}

TEST_F(AmsiscanTest, HelpDocumentsEveryOption) {
  const HostRun run = Run({L"--help"});
  EXPECT_EQ(run.exitCode, 0u);
  for (const char* option : {"--provider DLL", "--clsid {GUID}", "--app NAME", "--no-address",
                             "--repeat N", "--threads T", "--help", "exit codes"}) {
    EXPECT_TRUE(run.Has(option)) << option;
  }
}

// Registry keys of a provider registered for this test, removed again after.
class RegisteredAmsiscanTest : public AmsiscanTest {
 protected:
  void SetUp() override {
    AmsiscanTest::SetUp();
    Unregister();
  }
  void TearDown() override {
    Unregister();
    AmsiscanTest::TearDown();
  }
  static std::wstring ProviderKey() {
    return std::wstring(L"Software\\Microsoft\\AMSI\\Providers\\") + ProviderClassIdText;
  }
  static std::wstring ClassKey() {
    return std::wstring(L"Software\\Classes\\CLSID\\") + ProviderClassIdText;
  }
  static void SetDefault(const std::wstring& path, const std::wstring* value, DWORD type) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0,
                              KEY_SET_VALUE | OwnView, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    if (value != nullptr) {
      EXPECT_EQ(RegSetValueExW(key, nullptr, 0, type, reinterpret_cast<const BYTE*>(value->c_str()),
                               static_cast<DWORD>((value->size() + 1) * sizeof(wchar_t))),
                ERROR_SUCCESS);
    }
    RegCloseKey(key);
  }
  static void Unregister() {
    RegDeleteKeyExW(HKEY_LOCAL_MACHINE, ProviderKey().c_str(), OwnView, 0);
    RegDeleteKeyExW(HKEY_LOCAL_MACHINE, (ClassKey() + L"\\InprocServer32").c_str(), OwnView, 0);
    RegDeleteKeyExW(HKEY_LOCAL_MACHINE, ClassKey().c_str(), OwnView, 0);
  }
};

TEST_F(RegisteredAmsiscanTest, RegisteredProviderIsFoundThroughItsInprocServer) {
  struct Case {
    const char* name;
    DWORD type;
    std::wstring path;
  };
  // TestProgramDirectory is where the DLL lies; expanding %KESTROV_BIN% needs the
  // variable, which the child inherits.
  SetEnvironmentVariableW(L"KESTROV_BIN", ProgramDirectory().c_str());
  const std::wstring name = sizeof(void*) == 8 ? L"KestrovAmsi64.dll" : L"KestrovAmsi32.dll";
  const Case cases[] = {{"REG_SZ", REG_SZ, ProviderDll()},
                        {"REG_EXPAND_SZ", REG_EXPAND_SZ, L"%KESTROV_BIN%" + name}};
  const std::wstring file = Sample(400);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SetDefault(ProviderKey(), nullptr, REG_SZ);
    SetDefault(ClassKey() + L"\\InprocServer32", &c.path, c.type);
    ASSERT_TRUE(StartService(L"01000000"));
    const HostRun run = Run({file});
    EXPECT_EQ(run.exitCode, 1u) << run.out << run.err;
    EXPECT_EQ(run.Line("loaded "), std::string("loaded \"") + ProviderName + "\" " +
                                       Narrow(ProviderClassIdText) + " from " +
                                       Narrow(c.type == REG_SZ ? ProviderDll()
                                                               : ProgramDirectory() + name))
        << run.out;
    EXPECT_EQ(run.Line("overall: "), "overall: malware") << run.out;
    service.Stop();
    EXPECT_EQ(service.Connections().size(), 1u);
    Unregister();
  }
  SetEnvironmentVariableW(L"KESTROV_BIN", nullptr);
}

TEST_F(RegisteredAmsiscanTest, NoUsableRegistrationExitsWithTwo) {
  struct Case {
    const char* name;
    bool providerKey, serverKey;
    std::wstring path;
    const char* message;
  };
  const Case cases[] = {
      {"nothing registered", false, false, L"", "no provider found"},
      {"no InprocServer32", true, false, L"", "no InprocServer32 path"},
      {"server DLL missing", true, true, L"C:\\absent\\provider.dll", "LoadLibraryExW failed"},
  };
  const std::wstring file = Sample(400);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.providerKey) SetDefault(ProviderKey(), nullptr, REG_SZ);
    if (c.serverKey) SetDefault(ClassKey() + L"\\InprocServer32", &c.path, REG_SZ);
    const HostRun run = Run({file});
    EXPECT_EQ(run.exitCode, 2u) << run.out << run.err;
    EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
    Unregister();
  }
}

}  // namespace
