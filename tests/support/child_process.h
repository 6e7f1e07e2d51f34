// Running other programs of the build from a test.
#pragma once

#include <windows.h>

#include <string>

// Starts `program` with `arguments` (already quoted as needed) and returns
// its process handle, owned by the caller, or null with a test failure.
HANDLE StartProgram(const std::wstring& program, const std::wstring& arguments);

// Runs `program` to its end and returns its exit code: 0xdeadbeef when it
// could not be started, or did not end within `timeoutMs` (it is then
// terminated).
DWORD RunProgram(const std::wstring& program, const std::wstring& arguments,
                 DWORD timeoutMs = 60000);

std::wstring Quoted(const std::wstring& text);
