// The scan service's pipe and the bytes that cross it: the request the
// provider sends, the limits the service enforces and the verdict it sends
// back. The provider, the service, the host and every test program take
// these from here.
#pragma once

#include <cstdint>

// The local named pipe the scan service serves.
inline constexpr wchar_t ServicePipeName[] = L"\\\\.\\pipe\\KestrovAmsi";

// Each of the two names (application, content) is at most this many bytes
// of UTF-16LE text; the content is at most MaxContentBytes.
inline constexpr uint32_t MaxNameBytes = 1024;
inline constexpr uint32_t MaxContentBytes = 8 * 1024 * 1024;

// Fixed head of every scan request; all fields little-endian, no padding.
// The application name, the content name and the content follow it directly,
// each only when its length is above zero.
struct ScanRequestHeader {
  uint32_t magic;             // ScanRequestMagic
  uint32_t version;           // ScanRequestVersion
  uint32_t processId;         // the scanning process
  uint32_t appNameBytes;      // even, 0 to MaxNameBytes
  uint32_t contentNameBytes;  // even, 0 to MaxNameBytes
  uint32_t contentBytes;      // 1 to MaxContentBytes
  uint32_t truncated;         // 1 when the host's content was longer than what is sent
};
static_assert(sizeof(ScanRequestHeader) == 28, "the header is 28 bytes on the wire");

inline constexpr uint32_t ScanRequestMagic = 0x5453454B;  // the bytes 'K' 'E' 'S' 'T'
inline constexpr uint32_t ScanRequestVersion = 1;

// The reply: four bytes, little-endian. Anything but ScanVerdictDetected is
// no detection.
inline constexpr uint32_t ScanVerdictNotDetected = 0;
inline constexpr uint32_t ScanVerdictDetected = 1;
inline constexpr uint32_t ScanVerdictBytes = 4;

// True when a service may accept `header`: the right magic and version,
// even name lengths within the limit, content within its limit and a
// truncation flag of 0 or 1.
inline constexpr bool IsValidRequestHeader(const ScanRequestHeader& header) {
  return header.magic == ScanRequestMagic && header.version == ScanRequestVersion &&
         header.appNameBytes % 2 == 0 && header.appNameBytes <= MaxNameBytes &&
         header.contentNameBytes % 2 == 0 && header.contentNameBytes <= MaxNameBytes &&
         header.contentBytes >= 1 && header.contentBytes <= MaxContentBytes &&
         header.truncated <= 1;
}
