// The scan request's bytes, written and read field by field.
//
// This is the one deliberately independent restatement of the byte format
// that protocol/wire_format.h defines for the product: tests, fuzzers and the
// benchmark build the requests they send, and take apart the requests they
// receive, with these functions and never with ScanRequestHeader, so that a
// mistake in the product's own definitions shows up as a difference instead
// of being copied into the checks. tests/protocol/ compares the two.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

using Bytes = std::vector<BYTE>;

constexpr uint32_t RequestMagic = 0x5453454B;  // the bytes 'K' 'E' 'S' 'T'
constexpr uint32_t RequestVersion = 1;
constexpr size_t RequestHeaderBytes = 7 * 4;   // seven little-endian 32-bit fields
constexpr uint32_t RequestMaxNameBytes = 1024;
constexpr uint32_t RequestMaxContentBytes = 8 * 1024 * 1024;

// The header's fields in wire order.
struct RequestHeader {
  uint32_t magic = RequestMagic;
  uint32_t version = RequestVersion;
  uint32_t processId = 0;
  uint32_t appNameBytes = 0;
  uint32_t contentNameBytes = 0;
  uint32_t contentBytes = 0;
  uint32_t truncated = 0;
};
Bytes EncodeHeader(const RequestHeader& header);

// A whole request: the header's lengths are those of the pieces.
struct ScanRequest {
  uint32_t processId = 1234;
  Bytes appName;
  Bytes contentName;
  Bytes content;
  bool truncated = false;
};
// The header and each non-empty piece, as a client writes them.
std::vector<Bytes> RequestPieces(const ScanRequest& request);
Bytes RequestBytes(const ScanRequest& request);
// Appends the header and then exactly the lengths it announces of each
// piece, read from the given addresses (which may be null for length 0).
void AppendRequest(Bytes* out, const RequestHeader& header, const BYTE* appName,
                   const BYTE* contentName, const BYTE* content);

// A received request split into its parts.
struct ParsedRequest {
  bool headerComplete = false;
  RequestHeader header;
  Bytes appName, contentName, content;  // as much of each as arrived
  size_t trailing = 0;                  // bytes beyond what the header announced
};
ParsedRequest ParseRequest(const Bytes& bytes);

// UTF-16LE bytes of `text`, without a terminator.
Bytes Utf16Bytes(const std::wstring& text);

// Content of `size` bytes that tells positions apart.
Bytes PatternBytes(size_t size, unsigned seed = 1);
