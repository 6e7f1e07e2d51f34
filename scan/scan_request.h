// The scan exchange on one pipe connection: one request out, one verdict back.
#pragma once

#include "protocol/wire_format.h"

#include <windows.h>

#include <cstdint>

// Writes the header and each non-empty piece, then reads the four-byte
// verdict, every transfer ending by `deadline`. Returns true and stores the
// verdict on success; the first failing transfer ends the exchange. Neither
// opens nor closes `pipe`.
bool ExchangeScanRequest(HANDLE pipe, const BYTE* appName, DWORD appNameBytes,
                         const BYTE* contentName, DWORD contentNameBytes, const BYTE* content,
                         DWORD contentBytes, bool truncated, ULONGLONG deadline,
                         uint32_t* verdict);
