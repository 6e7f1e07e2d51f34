#include "testkit/test_service.h"

#include "testkit/child_process.h"
#include "testkit/failure.h"

#include <algorithm>

namespace {

std::wstring UniqueName(const wchar_t* prefix) {
  static LONG counter = 0;
  wchar_t name[96];
  swprintf(name, 96, L"%ls-%lu-%ld-%llu", prefix, GetCurrentProcessId(),
           InterlockedIncrement(&counter), GetTickCount64());
  return name;
}

std::vector<BYTE> ReadWholeFile(const std::wstring& path) {
  std::vector<BYTE> bytes;
  const HANDLE file = CreateFileW(path.c_str(), GENERIC_READ,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return bytes;
  BYTE chunk[64 * 1024];
  DWORD count = 0;
  while (ReadFile(file, chunk, sizeof chunk, &count, nullptr) && count > 0) {
    bytes.insert(bytes.end(), chunk, chunk + count);
  }
  CloseHandle(file);
  return bytes;
}

std::vector<std::wstring> FilesIn(const std::wstring& directory,
                                  const wchar_t* pattern = L"*") {
  std::vector<std::wstring> names;
  WIN32_FIND_DATAW found;
  const HANDLE search = FindFirstFileW((directory + L"\\" + pattern).c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return names;
  do {
    if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) names.push_back(found.cFileName);
  } while (FindNextFileW(search, &found));
  FindClose(search);
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace

std::wstring TestServiceProgram() { return ProgramDirectory() + L"TestScanService.exe"; }

TestService::~TestService() {
  Stop();
  if (!recordDir_.empty()) RemoveTestDirectory(recordDir_);
}

bool TestService::Start(const TestServiceScript& script, const std::wstring& program) {
  // A test may run several services one after the other.
  Stop();
  if (!recordDir_.empty()) RemoveTestDirectory(recordDir_);
  wchar_t temp[MAX_PATH];
  GetTempPathW(MAX_PATH, temp);
  recordDir_ = std::wstring(temp) + UniqueName(L"kestrov-record");
  CreateDirectoryW(recordDir_.c_str(), nullptr);

  const std::wstring readyName = L"Local\\" + UniqueName(L"KestrovTestReady");
  const std::wstring stopName = L"Local\\" + UniqueName(L"KestrovTestStop");
  const HANDLE ready = CreateEventW(nullptr, TRUE, FALSE, readyName.c_str());
  stopEvent_ = CreateEventW(nullptr, TRUE, FALSE, stopName.c_str());

  std::wstring command = L"\"" + program + L"\"";
  auto flag = [&](const wchar_t* name) {
    command += L" ";
    command += name;
  };
  auto add = [&](const wchar_t* name, const std::wstring& value) {
    flag(name);
    command += L" \"" + value + L"\"";
  };
  add(L"--instances", std::to_wstring(script.instances));
  add(L"--record", recordDir_);
  add(L"--ready-event", readyName);
  add(L"--stop-event", stopName);
  add(L"--max-seconds", std::to_wstring(script.maxSeconds));
  add(L"--reply", script.reply);
  if (script.delayMs) add(L"--delay-ms", std::to_wstring(script.delayMs));
  if (script.noReply) flag(L"--no-reply");
  if (script.closeAfterReply) flag(L"--close-after-reply");
  if (script.readLimit) add(L"--read-limit", std::to_wstring(script.readLimit));
  if (script.closeAfter) add(L"--close-after", std::to_wstring(script.closeAfter));
  if (script.busyMs) add(L"--busy-ms", std::to_wstring(script.busyMs));

  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info = {};
  std::vector<wchar_t> line(command.begin(), command.end());
  line.push_back(0);
  if (!CreateProcessW(program.c_str(), line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                      nullptr, &startup, &info)) {
    ReportKitFailure("cannot start the test service, error " + std::to_string(GetLastError()));
    CloseHandle(ready);
    return false;
  }
  CloseHandle(info.hThread);
  process_ = info.hProcess;

  // Either the service is ready or it died (for example, the pipe name was
  // taken); a generous bound covers a slow Wine start.
  const HANDLE waits[2] = {ready, process_};
  const DWORD woke = WaitForMultipleObjects(2, waits, FALSE, 20000);
  CloseHandle(ready);
  if (woke != WAIT_OBJECT_0) {
    ReportKitFailure("the test service did not get ready (wait result " + std::to_string(woke) +
                     ")");
    Stop();
    return false;
  }
  return true;
}

void TestService::Stop() {
  if (process_ != nullptr) {
    // Let connections that are still being read to their end finish first:
    // the client has closed its end by now, and the service records what was
    // left in the pipe before it marks the connection ended.
    const ULONGLONG giveUp = GetTickCount64() + 5000;
    while (FilesIn(recordDir_, L"*.end").size() < FilesIn(recordDir_, L"*.bin").size() &&
           GetTickCount64() < giveUp) {
      Sleep(5);
    }
    SetEvent(stopEvent_);
    // The service exits at once when signalled; the bound only guards
    // against a wedged process.
    if (WaitForSingleObject(process_, 10000) != WAIT_OBJECT_0) TerminateProcess(process_, 1);
    WaitForSingleObject(process_, 5000);
    CloseHandle(process_);
    process_ = nullptr;
  }
  if (stopEvent_ != nullptr) {
    CloseHandle(stopEvent_);
    stopEvent_ = nullptr;
  }
}

bool TestService::WaitForEndedConnections(size_t count, DWORD timeoutMs) const {
  // Polled: the records are files the service writes.
  const ULONGLONG giveUp = GetTickCount64() + timeoutMs;
  while (FilesIn(recordDir_, L"*.end").size() < count) {
    if (GetTickCount64() >= giveUp) return false;
    Sleep(5);
  }
  return true;
}

std::vector<std::vector<BYTE>> TestService::Connections() const {
  std::vector<std::vector<BYTE>> connections;
  for (const std::wstring& name : FilesIn(recordDir_, L"*.bin")) {
    connections.push_back(ReadWholeFile(recordDir_ + L"\\" + name));
  }
  return connections;
}

size_t TestService::TotalBytesReceived() const {
  size_t total = 0;
  for (const auto& connection : Connections()) total += connection.size();
  return total;
}

std::wstring CopyTestServiceTo(const std::wstring& directory) {
  CreateDirectoryW(directory.c_str(), nullptr);
  const std::wstring copy = directory + L"\\TestScanService.exe";
  if (!CopyFileW(TestServiceProgram().c_str(), copy.c_str(), FALSE)) {
    ReportKitFailure("cannot copy the test service, error " + std::to_string(GetLastError()));
  }
  return copy;
}
