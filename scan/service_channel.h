// The client end of the scan service's pipe, opened only to a server that
// runs from the provider's own directory.
#pragma once

#include "protocol/wire_format.h"

#include <windows.h>

// Overlapped I/O, and an explicit security quality of service at
// identification level: the service may identify the client but not act in
// its name.
constexpr DWORD ServicePipeOpenFlags =
    FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION;
static_assert(ServicePipeOpenFlags == 0x40110000, "open flags of the service pipe");

// How long one wait for a free pipe instance may last.
constexpr DWORD PipeBusyWaitMs = 300;

// Opens the service pipe and verifies its server's image directory against
// moduleDirectoryKey. Returns the open handle, owned by the caller, or
// INVALID_HANDLE_VALUE with nothing left open.
HANDLE OpenServiceChannel();
