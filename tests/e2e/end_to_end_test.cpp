// The whole road: amsiscan (the host) loads the provider DLL, which sends
// the content to KestrovScanService running beside it, and the verdict comes
// back as the host's exit code.
#include "protocol/provider_identity.h"
#include "testkit/child_process.h"
#include "testkit/reference_service.h"
#include "testkit/test_service.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

namespace {

const bool Is64Bit = sizeof(void*) == 8;
const wchar_t* const OwnDll = ProviderDllName;

// The bin directory of the other architecture's build tree, beside this one.
std::wstring OtherArchitectureBin() {
  std::wstring bin = ProgramDirectory();
  const std::wstring own = Is64Bit ? L"\\x64\\bin\\" : L"\\x86\\bin\\";
  const std::wstring other = Is64Bit ? L"\\x86\\bin\\" : L"\\x64\\bin\\";
  const size_t at = bin.rfind(own);
  if (at == std::wstring::npos) return std::wstring();
  return bin.replace(at, own.size(), other);
}

bool Exists(const std::wstring& path) {
  return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

void WriteFileBytes(const std::wstring& path, const std::string& bytes) {
  const HANDLE file =
      CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  DWORD written = 0;
  WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  CloseHandle(file);
}

std::string Utf16(const std::string& ascii) {
  std::string bytes = "\xff\xfe";  // byte order mark, as script files have it
  for (char c : ascii) {
    bytes.push_back(c);
    bytes.push_back('\0');
  }
  return bytes;
}

class EndToEndTest : public testing::Test {
 protected:
  void SetUp() override {
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    work = std::wstring(temp) + L"kestrov-e2e-" + std::to_wstring(GetCurrentProcessId());
    installDir = work + L"\\install";
    CreateDirectoryW(work.c_str(), nullptr);
    CreateDirectoryW(installDir.c_str(), nullptr);
    // The samples are put together here, so that no test binary holds them.
    const std::string eicar = std::string("X5O!P%@AP[4\\PZX54(P^)7CC)7}$") +
                              "EICAR-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*";
    const std::string sample =
        std::string("Write-Host 'AMSI Test Sample: ") + "7e72c3ce-861b-4339-8740-0ac1484c1386'\r\n";
    WriteFileBytes(work + L"\\eicar.com", eicar);
    WriteFileBytes(work + L"\\sample.ps1", Utf16(sample));
    WriteFileBytes(work + L"\\clean.ps1", Utf16("Get-ChildItem | Measure-Object\r\n"));
  }
  void TearDown() override {
    StopService();
    if (registered) RunProgram(Regsvr32(), L"/s /u " + Quoted(installDir + L"\\" + OwnDll));
    for (const wchar_t* name : {L"eicar.com", L"sample.ps1", L"clean.ps1"}) {
      DeleteFileW((work + L"\\" + name).c_str());
    }
    for (const wchar_t* name : {OwnDll, L"KestrovScanService.exe", L"scans.jsonl"}) {
      DeleteFileW((installDir + L"\\" + name).c_str());
    }
    RemoveDirectoryW(installDir.c_str());
    RemoveDirectoryW(work.c_str());
  }

  static std::wstring Regsvr32() {
    wchar_t system[MAX_PATH];
    GetSystemDirectoryW(system, MAX_PATH);
    return std::wstring(system) + L"\\regsvr32.exe";
  }

  // Installs this architecture's DLL and the service from `serviceBin` into
  // the install directory and starts the service there.
  void Install(const std::wstring& serviceBin) {
    ASSERT_TRUE(CopyFileW((ProgramDirectory() + OwnDll).c_str(),
                          (installDir + L"\\" + OwnDll).c_str(), FALSE));
    ASSERT_TRUE(CopyFileW((serviceBin + L"KestrovScanService.exe").c_str(),
                          (installDir + L"\\KestrovScanService.exe").c_str(), FALSE));
    const std::wstring log = installDir + L"\\scans.jsonl";
    // The bound covers a slow emulated start.
    ASSERT_TRUE(service.Start({L"--max-seconds", L"60", L"--log", log}, 30000,
                              installDir + L"\\KestrovScanService.exe"));
  }
  void StopService() { service.Kill(); }
  size_t LoggedScans() {
    std::ifstream log(std::string(installDir.begin(), installDir.end()) + "\\scans.jsonl");
    size_t lines = 0;
    for (std::string line; std::getline(log, line);) lines += line.empty() ? 0 : 1;
    return lines;
  }
  // The service writes its log behind the verdicts: polls for `count`
  // lines, within a bound far above what the writer needs.
  size_t WaitForLoggedScans(size_t count) {
    const ULONGLONG giveUp = GetTickCount64() + 20000;
    size_t lines = LoggedScans();
    while (lines < count && GetTickCount64() < giveUp) {
      Sleep(50);
      lines = LoggedScans();
    }
    return lines;
  }

  // Each sample through `host`, with `arguments` before the file name.
  void ExpectVerdicts(const std::wstring& host, const std::wstring& arguments) {
    struct Case {
      const wchar_t* file;
      DWORD exitCode;  // 1 detected, 0 clean
    };
    const Case cases[] = {{L"eicar.com", 1}, {L"sample.ps1", 1}, {L"clean.ps1", 0}};
    for (const Case& c : cases) {
      EXPECT_EQ(RunProgram(host, arguments + L" " + Quoted(work + L"\\" + c.file)), c.exitCode)
          << testing::PrintToString(std::wstring(c.file));
    }
  }

  std::wstring work;
  std::wstring installDir;
  ReferenceService service;
  bool registered = false;
};

TEST_F(EndToEndTest, RegisteredProviderDetectsBothSamplesAndPassesCleanContent) {
  Install(ProgramDirectory());
  ASSERT_EQ(RunProgram(Regsvr32(), L"/s " + Quoted(installDir + L"\\" + OwnDll)), 0u);
  registered = true;
  ExpectVerdicts(ProgramDirectory() + L"amsiscan.exe", L"--app e2e");
  EXPECT_EQ(WaitForLoggedScans(3), 3u);
  StopService();
}

TEST_F(EndToEndTest, HostAndServiceOfDifferentArchitecturesWorkTogether) {
  // This build's host and provider, the other build's service: run in both
  // build trees, this covers a 32-bit host with a 64-bit service and the
  // reverse.
  const std::wstring otherBin = OtherArchitectureBin();
  if (otherBin.empty() || !Exists(otherBin + L"KestrovScanService.exe")) {
    GTEST_SKIP() << "the other architecture is not built (make build builds both)";
  }
  Install(otherBin);
  ExpectVerdicts(ProgramDirectory() + L"amsiscan.exe",
                 L"--provider " + Quoted(installDir + L"\\" + OwnDll));
  EXPECT_EQ(WaitForLoggedScans(3), 3u);
  StopService();
}

}  // namespace
