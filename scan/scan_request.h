// The scan exchange on one pipe connection: one request out, one verdict back.
#pragma once

#include <windows.h>

#include <cstdint>

// Fixed head of every scan request; all fields little-endian, no padding.
// The application name, the content name and the content follow it directly,
// each only when its length is above zero.
struct ScanRequestHeader {
  uint32_t magic;             // "KEST"
  uint32_t version;           // ScanRequestVersion
  uint32_t processId;         // the scanning process
  uint32_t appNameBytes;      // even, 0 to 1024
  uint32_t contentNameBytes;  // even, 0 to 1024
  uint32_t contentBytes;      // 1 to 8 MiB
  uint32_t truncated;         // 1 when the host's content was longer than what is sent
};
static_assert(sizeof(ScanRequestHeader) == 28, "the header is 28 bytes on the wire");

constexpr uint32_t ScanRequestMagic = 0x5453454B;  // the bytes 'K' 'E' 'S' 'T'
constexpr uint32_t ScanRequestVersion = 1;
constexpr uint32_t ScanVerdictDetected = 1;

// Writes the header and each non-empty piece, then reads the four-byte
// verdict, every transfer ending by `deadline`. Returns true and stores the
// verdict on success; the first failing transfer ends the exchange. Neither
// opens nor closes `pipe`.
bool ExchangeScanRequest(HANDLE pipe, const BYTE* appName, DWORD appNameBytes,
                         const BYTE* contentName, DWORD contentNameBytes, const BYTE* content,
                         DWORD contentBytes, bool truncated, ULONGLONG deadline,
                         uint32_t* verdict);
