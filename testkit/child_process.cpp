#include "testkit/child_process.h"

#include "testkit/failure.h"

#include <vector>

std::wstring ProgramDirectory() {
  wchar_t path[MAX_PATH];
  const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
  const std::wstring program(path, length);
  return program.substr(0, program.rfind(L'\\') + 1);
}

HANDLE StartProgram(const std::wstring& program, const std::wstring& arguments, HANDLE output,
                    HANDLE error) {
  const std::wstring command = Quoted(program) + L" " + arguments;
  std::vector<wchar_t> line(command.begin(), command.end());
  line.push_back(0);
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  const bool redirected = output != nullptr || error != nullptr;
  if (redirected) {
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = nullptr;
    startup.hStdOutput = output;
    startup.hStdError = error;
  }
  PROCESS_INFORMATION info = {};
  if (!CreateProcessW(program.c_str(), line.data(), nullptr, nullptr, redirected ? TRUE : FALSE,
                      0, nullptr, nullptr, &startup, &info)) {
    ReportKitFailure("cannot start a program, error " + std::to_string(GetLastError()));
    return nullptr;
  }
  CloseHandle(info.hThread);
  return info.hProcess;
}

DWORD RunProgram(const std::wstring& program, const std::wstring& arguments, DWORD timeoutMs) {
  const HANDLE process = StartProgram(program, arguments);
  if (process == nullptr) return 0xdeadbeef;
  DWORD code = 0xdeadbeef;
  // Bounded, so that a wedged program fails the test instead of hanging it.
  if (WaitForSingleObject(process, timeoutMs) == WAIT_OBJECT_0) {
    GetExitCodeProcess(process, &code);
  } else {
    ReportKitFailure("a program did not end in time");
    TerminateProcess(process, 1);
  }
  CloseHandle(process);
  return code;
}

std::wstring Quoted(const std::wstring& text) { return L"\"" + text + L"\""; }
