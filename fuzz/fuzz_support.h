// What the programs of the reliability suite share: the provider they load,
// the directory they run from, the reference service they start from there
// and the size of a process.
#pragma once

#include "protocol/provider_identity.h"

#include <windows.h>

#include <cstddef>
#include <string>

// This program's directory, with the trailing backslash.
std::wstring ProgramDirectory();

// The private bytes (commit charge) of `process`; 0 if they cannot be read.
size_t PrivateBytes(HANDLE process);

// Writes a signature file of one rule line to `fileName` in the temporary
// directory. Returns its path, or an empty string if it cannot be written.
std::wstring WriteRuleFile(const wchar_t* fileName, const std::string& rule);

// Starts KestrovScanService.exe from this program's directory, logging to
// NUL, with the rules of `rulesPath` and `moreArguments`, and returns its
// process once the pipe takes clients; null if it did not get there.
HANDLE StartReferenceService(const std::wstring& rulesPath, const std::wstring& moreArguments);
