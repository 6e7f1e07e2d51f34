// Running other programs of the build.
#pragma once

#include <windows.h>

#include <string>

// Directory of the running program, with a trailing backslash: the build's
// bin directory, where the DLL, the services and the host lie beside it.
std::wstring ProgramDirectory();

// Starts `program` with `arguments` (already quoted as needed) and returns
// its process handle, owned by the caller, or null (reported). Standard
// output and error go to the given handles when they are not null.
HANDLE StartProgram(const std::wstring& program, const std::wstring& arguments,
                    HANDLE output = nullptr, HANDLE error = nullptr);

// Runs `program` to its end and returns its exit code: 0xdeadbeef when it
// could not be started, or did not end within `timeoutMs` (it is then
// terminated, and the failure reported).
DWORD RunProgram(const std::wstring& program, const std::wstring& arguments,
                 DWORD timeoutMs = 60000);

std::wstring Quoted(const std::wstring& text);
