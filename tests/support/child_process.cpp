#include "tests/support/child_process.h"

#include <gtest/gtest.h>

#include <vector>

HANDLE StartProgram(const std::wstring& program, const std::wstring& arguments) {
  const std::wstring command = Quoted(program) + L" " + arguments;
  std::vector<wchar_t> line(command.begin(), command.end());
  line.push_back(0);
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info = {};
  if (!CreateProcessW(program.c_str(), line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                      &startup, &info)) {
    ADD_FAILURE() << "cannot start a program, error " << GetLastError();
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
    ADD_FAILURE() << "a program did not end in time";
    TerminateProcess(process, 1);
  }
  CloseHandle(process);
  return code;
}

std::wstring Quoted(const std::wstring& text) { return L"\"" + text + L"\""; }
