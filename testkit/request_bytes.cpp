#include "testkit/request_bytes.h"

namespace {

void AppendField(Bytes* out, uint32_t value) {
  for (int shift = 0; shift < 32; shift += 8) out->push_back(static_cast<BYTE>(value >> shift));
}

uint32_t FieldAt(const Bytes& bytes, size_t at) {
  uint32_t value = 0;
  for (int k = 3; k >= 0; --k) value = value << 8 | bytes[at + static_cast<size_t>(k)];
  return value;
}

}  // namespace

Bytes EncodeHeader(const RequestHeader& header) {
  Bytes out;
  out.reserve(RequestHeaderBytes);
  AppendField(&out, header.magic);
  AppendField(&out, header.version);
  AppendField(&out, header.processId);
  AppendField(&out, header.appNameBytes);
  AppendField(&out, header.contentNameBytes);
  AppendField(&out, header.contentBytes);
  AppendField(&out, header.truncated);
  return out;
}

std::vector<Bytes> RequestPieces(const ScanRequest& request) {
  RequestHeader header;
  header.processId = request.processId;
  header.appNameBytes = static_cast<uint32_t>(request.appName.size());
  header.contentNameBytes = static_cast<uint32_t>(request.contentName.size());
  header.contentBytes = static_cast<uint32_t>(request.content.size());
  header.truncated = request.truncated ? 1 : 0;
  std::vector<Bytes> pieces = {EncodeHeader(header)};
  for (const Bytes* piece : {&request.appName, &request.contentName, &request.content}) {
    if (!piece->empty()) pieces.push_back(*piece);
  }
  return pieces;
}

Bytes RequestBytes(const ScanRequest& request) {
  Bytes out;
  for (const Bytes& piece : RequestPieces(request)) out.insert(out.end(), piece.begin(), piece.end());
  return out;
}

void AppendRequest(Bytes* out, const RequestHeader& header, const BYTE* appName,
                   const BYTE* contentName, const BYTE* content) {
  const Bytes head = EncodeHeader(header);
  out->insert(out->end(), head.begin(), head.end());
  if (header.appNameBytes > 0) out->insert(out->end(), appName, appName + header.appNameBytes);
  if (header.contentNameBytes > 0) {
    out->insert(out->end(), contentName, contentName + header.contentNameBytes);
  }
  if (header.contentBytes > 0) out->insert(out->end(), content, content + header.contentBytes);
}

ParsedRequest ParseRequest(const Bytes& bytes) {
  ParsedRequest request;
  if (bytes.size() < RequestHeaderBytes) return request;
  request.headerComplete = true;
  RequestHeader& h = request.header;
  h.magic = FieldAt(bytes, 0);
  h.version = FieldAt(bytes, 4);
  h.processId = FieldAt(bytes, 8);
  h.appNameBytes = FieldAt(bytes, 12);
  h.contentNameBytes = FieldAt(bytes, 16);
  h.contentBytes = FieldAt(bytes, 20);
  h.truncated = FieldAt(bytes, 24);
  size_t at = RequestHeaderBytes;
  auto take = [&](uint32_t length, Bytes* piece) {
    const size_t available = at < bytes.size() ? bytes.size() - at : 0;
    const size_t count = length < available ? length : available;
    piece->assign(bytes.begin() + static_cast<ptrdiff_t>(at),
                  bytes.begin() + static_cast<ptrdiff_t>(at + count));
    at += count;
  };
  take(h.appNameBytes, &request.appName);
  take(h.contentNameBytes, &request.contentName);
  take(h.contentBytes, &request.content);
  request.trailing = bytes.size() - at;
  return request;
}

Bytes Utf16Bytes(const std::wstring& text) {
  Bytes bytes;
  bytes.reserve(text.size() * 2);
  for (const wchar_t unit : text) {
    bytes.push_back(static_cast<BYTE>(unit & 0xFF));
    bytes.push_back(static_cast<BYTE>((unit >> 8) & 0xFF));
  }
  return bytes;
}

Bytes PatternBytes(size_t size, unsigned seed) {
  Bytes bytes(size);
  unsigned state = seed * 2654435761u + 1;
  for (size_t i = 0; i < size; ++i) {
    state = state * 1103515245u + 12345u;
    bytes[i] = static_cast<BYTE>(state >> 16);
  }
  return bytes;
}
