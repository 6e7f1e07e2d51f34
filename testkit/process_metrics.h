// Sizes of a process that tests, fuzzers and the benchmark watch for growth:
// its open handles and its private bytes. (The provider DLL's live heap
// blocks are counted by the hooks of testkit/dll_hooks.h.)
#pragma once

#include <windows.h>

#include <cstddef>

// The number of handles that process `processId` has open, or -1 when the
// system will not tell. GetProcessHandleCount answers 0 under Wine, so this
// counts the entries of the system handle table instead.
long ProcessHandleCount(DWORD processId);

// The private bytes (commit charge) of `process` now and at their peak; 0
// if they cannot be read.
size_t PrivateBytes(HANDLE process);
size_t PeakPrivateBytes(HANDLE process);
