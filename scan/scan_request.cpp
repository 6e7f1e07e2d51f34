#include "scan/scan_request.h"

#include "scan/pipe_transfer.h"

namespace {

// Writes go through the same transfer as reads, which takes a mutable
// buffer; a Write only ever reads from it.
bool WritePiece(HANDLE pipe, const void* bytes, DWORD count, ULONGLONG deadline) {
  return TransferWithDeadline(pipe, TransferDirection::Write, const_cast<void*>(bytes), count,
                              deadline);
}

}  // namespace

bool ExchangeScanRequest(HANDLE pipe, const BYTE* appName, DWORD appNameBytes,
                         const BYTE* contentName, DWORD contentNameBytes, const BYTE* content,
                         DWORD contentBytes, bool truncated, ULONGLONG deadline,
                         uint32_t* verdict) {
  ScanRequestHeader header;
  header.magic = ScanRequestMagic;
  header.version = ScanRequestVersion;
  header.processId = GetCurrentProcessId();
  header.appNameBytes = appNameBytes;
  header.contentNameBytes = contentNameBytes;
  header.contentBytes = contentBytes;
  header.truncated = truncated ? 1u : 0u;

  if (!WritePiece(pipe, &header, sizeof header, deadline)) return false;
  if (appNameBytes > 0 && !WritePiece(pipe, appName, appNameBytes, deadline)) return false;
  if (contentNameBytes > 0 && !WritePiece(pipe, contentName, contentNameBytes, deadline)) {
    return false;
  }
  if (contentBytes > 0 && !WritePiece(pipe, content, contentBytes, deadline)) return false;

  uint32_t received = 0;
  if (!TransferWithDeadline(pipe, TransferDirection::Read, &received, sizeof received, deadline)) {
    return false;
  }
  *verdict = received;
  return true;
}
