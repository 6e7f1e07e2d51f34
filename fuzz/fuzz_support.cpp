#include "fuzz/fuzz_support.h"

#include "platform/unique_handle.h"
#include "protocol/wire_format.h"

#include <psapi.h>

std::wstring ProgramDirectory() {
  wchar_t path[MAX_PATH];
  const std::wstring program(path, GetModuleFileNameW(nullptr, path, MAX_PATH));
  return program.substr(0, program.rfind(L'\\') + 1);
}

size_t PrivateBytes(HANDLE process) {
  PROCESS_MEMORY_COUNTERS counters = {};
  counters.cb = sizeof counters;
  return K32GetProcessMemoryInfo(process, &counters, sizeof counters) ? counters.PagefileUsage : 0;
}

std::wstring WriteRuleFile(const wchar_t* fileName, const std::string& rule) {
  wchar_t temp[MAX_PATH];
  const DWORD length = GetTempPathW(MAX_PATH, temp);
  if (length == 0 || length >= MAX_PATH) return std::wstring();
  const std::wstring path = std::wstring(temp) + fileName;
  UniqueFileHandle file(
      CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
  const std::string line = rule + "\n";
  DWORD written = 0;
  if (!file ||
      !WriteFile(file.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr) ||
      written != line.size()) {
    return std::wstring();
  }
  return path;
}

HANDLE StartReferenceService(const std::wstring& rulesPath, const std::wstring& moreArguments) {
  const std::wstring program = ProgramDirectory() + L"KestrovScanService.exe";
  std::wstring command = L"\"" + program + L"\" --log NUL --max-seconds 3600 --signatures \"" +
                         rulesPath + L"\" " + moreArguments;
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info = {};
  if (!CreateProcessW(program.c_str(), &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                      &startup, &info)) {
    return nullptr;
  }
  CloseHandle(info.hThread);
  // The service needs a moment to create its instances: polls for the pipe
  // for up to 30 s, giving up early if the service exits.
  for (int attempt = 0; attempt < 300; ++attempt) {
    if (WaitNamedPipeW(ServicePipeName, 100)) return info.hProcess;
    if (WaitForSingleObject(info.hProcess, 100) == WAIT_OBJECT_0) break;
  }
  TerminateProcess(info.hProcess, 1);
  CloseHandle(info.hProcess);
  return nullptr;
}
