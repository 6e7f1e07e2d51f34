// Counting a process's open handles.
#pragma once

#include <windows.h>

// The number of handles that process `processId` has open, or -1 when the
// system will not tell. GetProcessHandleCount answers 0 under Wine, so this
// counts the entries of the system handle table instead.
long ProcessHandleCount(DWORD processId);
