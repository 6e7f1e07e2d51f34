#include "scan/scan.h"

#include "platform/unique_handle.h"
#include "scan/scan_request.h"
#include "scan/service_channel.h"

namespace {

ULONG ReadName(IAmsiStream* stream, AMSI_ATTRIBUTE attribute, BYTE* buffer) {
  ULONG returnedSize = 0;
  const HRESULT hr =
      stream->lpVtbl->GetAttribute(stream, attribute, NameBufferBytes, buffer, &returnedSize);
  return TrimmedNameBytes(SUCCEEDED(hr), returnedSize, buffer);
}

}  // namespace

ULONG TrimmedNameBytes(bool succeeded, ULONG returnedSize, const BYTE* buffer) {
  if (!succeeded || returnedSize < 2) return 0;
  // A stream may claim more than the buffer holds; nothing past it is sent.
  ULONG length = (returnedSize < NameBufferBytes ? returnedSize : NameBufferBytes) & ~1u;
  while (length > 0 && buffer[length - 2] == 0 && buffer[length - 1] == 0) length -= 2;
  return length;
}

HRESULT STDMETHODCALLTYPE Scan(IAntimalwareProvider* /*self*/, IAmsiStream* stream,
                               AMSI_RESULT* result) {
  if (result == nullptr) return E_INVALIDARG;
  *result = AMSI_RESULT_NOT_DETECTED;
  if (stream == nullptr) return S_OK;

  ULONGLONG contentSize = 0;
  ULONG sizeReturned = 0;
  if (FAILED(stream->lpVtbl->GetAttribute(stream, AMSI_ATTRIBUTE_CONTENT_SIZE,
                                          sizeof contentSize,
                                          reinterpret_cast<BYTE*>(&contentSize),
                                          &sizeReturned)) ||
      contentSize == 0) {
    return S_OK;
  }
  const bool truncated = contentSize > MaxContentBytes;
  const ULONG cappedSize = truncated ? MaxContentBytes : static_cast<ULONG>(contentSize);

  BYTE appName[NameBufferBytes];
  const ULONG appNameBytes = ReadName(stream, AMSI_ATTRIBUTE_APP_NAME, appName);
  BYTE contentName[NameBufferBytes];
  const ULONG contentNameBytes = ReadName(stream, AMSI_ATTRIBUTE_CONTENT_NAME, contentName);

  // The content straight from the host's memory when it offers an address;
  // otherwise one Read into a copy of exactly the capped size.
  const BYTE* contentAddress = nullptr;
  ULONG addressReturned = 0;
  const HRESULT addressResult = stream->lpVtbl->GetAttribute(
      stream, AMSI_ATTRIBUTE_CONTENT_ADDRESS, sizeof contentAddress,
      reinterpret_cast<BYTE*>(&contentAddress), &addressReturned);
  UniqueHeapBlock copy;
  const BYTE* content = contentAddress;
  ULONG contentBytes = cappedSize;
  if (FAILED(addressResult) || contentAddress == nullptr) {
    copy.reset(HeapAlloc(GetProcessHeap(), 0, cappedSize));
    if (!copy) return S_OK;
    ULONG readSize = 0;
    if (FAILED(stream->lpVtbl->Read(stream, 0, cappedSize, static_cast<BYTE*>(copy.get()),
                                    &readSize)) ||
        readSize == 0) {
      return S_OK;
    }
    content = static_cast<const BYTE*>(copy.get());
    // A stream may report more than it was asked for; nothing past the copy is sent.
    contentBytes = readSize < cappedSize ? readSize : cappedSize;
  }

  // The budget starts here, after everything is gathered: opening and
  // verifying the pipe spend it as well as the exchange.
  const ULONGLONG deadline = GetTickCount64() + ExchangeBudgetMs;
  UniqueFileHandle pipe(OpenServiceChannel());
  if (!pipe) return S_OK;

  uint32_t verdict = 0;
  const bool exchanged =
      ExchangeScanRequest(pipe.get(), appName, appNameBytes, contentName, contentNameBytes,
                          content, contentBytes, truncated, deadline, &verdict);
  pipe.reset();
  if (exchanged && verdict == ScanVerdictDetected) *result = AMSI_RESULT_DETECTED;
  return S_OK;
}
