#include "scan/pipe_transfer.h"

#include "platform/unique_handle.h"

bool TransferWithDeadline(HANDLE pipe, TransferDirection direction, void* buffer, DWORD count,
                          ULONGLONG deadline) {
  // One manual-reset event serves every pass of this call.
  UniqueKernelHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!event) return false;
  if (count == 0) return true;

  BYTE* const bytes = static_cast<BYTE*>(buffer);
  DWORD moved = 0;
  for (;;) {
    DWORD requestCount = 0;
    const ULONGLONG now = GetTickCount64();
    OVERLAPPED overlapped = {};
    overlapped.hEvent = event.get();
    ResetEvent(event.get());
    // A request is issued only while the clock is strictly before the deadline.
    if (now >= deadline) return false;

    // The whole remainder is asked for in one request; a partial completion
    // is followed by a request for the rest on the next pass.
    const BOOL issued =
        direction == TransferDirection::Write
            ? WriteFile(pipe, bytes + moved, count - moved, nullptr, &overlapped)
            : ReadFile(pipe, bytes + moved, count - moved, nullptr, &overlapped);
    if (!issued && GetLastError() != ERROR_IO_PENDING) return false;

    // Wait for what is left of the budget as of this pass's clock reading.
    // Completed-at-once and pending requests both signal the event. The
    // difference is below 2^32 for every deadline the scan passes (at most
    // 1500 ms ahead), so keeping its low 32 bits loses nothing.
    const DWORD timeoutMs = static_cast<DWORD>(deadline - now);
    if (WaitForSingleObject(event.get(), timeoutMs) != WAIT_OBJECT_0) {
      // Timed out (or the wait failed): the request still owns the buffer and
      // the OVERLAPPED record, so cancel it and wait until it has ended.
      CancelIoEx(pipe, &overlapped);
      GetOverlappedResult(pipe, &overlapped, &requestCount, TRUE);
      return false;
    }
    if (!GetOverlappedResult(pipe, &overlapped, &requestCount, FALSE)) return false;
    if (requestCount == 0) return false;

    moved += requestCount;
    if (moved >= count) return true;
  }
}
