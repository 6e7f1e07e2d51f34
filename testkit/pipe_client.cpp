#include "testkit/pipe_client.h"

DWORD PipeClient::TryConnect() {
  pipe_.reset(CreateFileW(ServicePipeName, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                          OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr));
  if (!pipe_) return GetLastError();
  event_.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!event_) {
    const DWORD error = GetLastError();
    pipe_.reset();
    return error;
  }
  return 0;
}

bool PipeClient::Connect(DWORD timeoutMs, bool waitForServer) {
  const ULONGLONG giveUp = GetTickCount64() + timeoutMs;
  for (;;) {
    const DWORD error = TryConnect();
    if (error == 0) return true;
    const ULONGLONG now = GetTickCount64();
    if (now >= giveUp) return false;
    const DWORD left = static_cast<DWORD>(giveUp - now);
    // A busy pipe frees up when the service drops or finishes a connection;
    // a missing one appears once the service has started. Each wait is
    // short, so that the next attempt comes soon after the state changes.
    if (error == ERROR_PIPE_BUSY) {
      WaitNamedPipeW(ServicePipeName, left < 100 ? left : 100);
    } else if (waitForServer && (error == ERROR_FILE_NOT_FOUND || error == ERROR_BAD_PATHNAME)) {
      Sleep(left < 20 ? left : 20);
    } else {
      return false;
    }
  }
}

PipeClient::Transfer PipeClient::Move(bool write, void* bytes, DWORD count, DWORD timeoutMs) {
  Transfer result;
  const ULONGLONG deadline = GetTickCount64() + timeoutMs;
  BYTE* const base = static_cast<BYTE*>(bytes);
  while (result.moved < count) {
    if (!pipe_) {
      result.ended = true;
      break;
    }
    OVERLAPPED overlapped = {};
    overlapped.hEvent = event_.get();
    ResetEvent(event_.get());
    BYTE* const at = base + result.moved;
    const DWORD left = count - result.moved;
    const BOOL started = write ? WriteFile(pipe_.get(), at, left, nullptr, &overlapped)
                               : ReadFile(pipe_.get(), at, left, nullptr, &overlapped);
    if (!started && GetLastError() != ERROR_IO_PENDING) {
      result.ended = true;
      break;
    }
    const ULONGLONG now = GetTickCount64();
    DWORD got = 0;
    // Bounded by the deadline, so that a server that never answers ends the
    // transfer instead of hanging it; the request owns the buffer until it
    // has ended, so it is cancelled and waited for.
    if (WaitForSingleObject(event_.get(),
                            now >= deadline ? 0 : static_cast<DWORD>(deadline - now)) !=
        WAIT_OBJECT_0) {
      CancelIoEx(pipe_.get(), &overlapped);
      GetOverlappedResult(pipe_.get(), &overlapped, &got, TRUE);
      result.moved += got;
      result.timedOut = true;
      break;
    }
    if (!GetOverlappedResult(pipe_.get(), &overlapped, &got, FALSE) || got == 0) {
      result.ended = true;
      break;
    }
    result.moved += got;
  }
  result.complete = result.moved == count;
  return result;
}

bool PipeClient::Write(const std::vector<BYTE>& bytes, DWORD timeoutMs) {
  if (!pipe_) return false;
  return Move(true, const_cast<BYTE*>(bytes.data()), static_cast<DWORD>(bytes.size()), timeoutMs)
      .complete;
}

PipeClient::ReadResult PipeClient::Read(size_t count, DWORD timeoutMs) {
  ReadResult result;
  result.bytes.resize(count);
  const Transfer transfer = Move(false, result.bytes.data(), static_cast<DWORD>(count), timeoutMs);
  result.bytes.resize(transfer.moved);
  result.timedOut = transfer.timedOut;
  result.ended = transfer.ended;
  return result;
}

bool ServicePipeExists() {
  // WaitNamedPipeW fails at once with ERROR_FILE_NOT_FOUND when no instance
  // exists; otherwise it returns when one is free or after this short wait.
  if (WaitNamedPipeW(ServicePipeName, 1)) return true;
  return GetLastError() != ERROR_FILE_NOT_FOUND && GetLastError() != ERROR_BAD_PATHNAME;
}
