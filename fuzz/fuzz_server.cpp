#include "fuzz/fuzz_server.h"

#include "protocol/wire_format.h"

namespace {

constexpr DWORD ChunkBytes = 64 * 1024;

}  // namespace

bool FuzzServer::Prepare(const ServerPlan& plan, size_t expectedBytes) {
  Close();
  plan_ = plan;
  expected_ = expectedBytes;
  connected_ = false;
  received_.clear();
  received_.reserve(expectedBytes);
  chunk_.resize(ChunkBytes);
  unread_ = replied_ = 0;
  ioEvent_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  stopEvent_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (ioEvent_ == nullptr || stopEvent_ == nullptr) return false;
  if (plan.mode == ServerPlan::Mode::Absent) return true;

  pipe_ = CreateNamedPipeW(ServicePipeName,
                           PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
                           PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1, 4096, ChunkBytes, 0,
                           nullptr);
  if (pipe_ == INVALID_HANDLE_VALUE) return false;
  if (plan.mode == ServerPlan::Mode::Busy || plan.mode == ServerPlan::Mode::BusyThenFree) {
    OVERLAPPED overlapped = {};
    overlapped.hEvent = ioEvent_;
    ConnectNamedPipe(pipe_, &overlapped);
    occupant_ = CreateFileW(ServicePipeName, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                            FILE_FLAG_OVERLAPPED, nullptr);
    DWORD ignored = 0;
    // The occupant's open completes the connect at once.
    if (occupant_ == INVALID_HANDLE_VALUE ||
        (!GetOverlappedResult(pipe_, &overlapped, &ignored, TRUE) &&
         GetLastError() != ERROR_PIPE_CONNECTED)) {
      return false;
    }
  }
  thread_ = CreateThread(nullptr, 0, &FuzzServer::ThreadMain, this, 0, nullptr);
  return thread_ != nullptr;
}

bool FuzzServer::Finish(DWORD timeoutMs) {
  if (stopEvent_ != nullptr) SetEvent(stopEvent_);
  if (thread_ == nullptr) return true;
  // The server's own waits all end on the stop event, so it ends promptly;
  // a thread that does not is a hang worth reporting.
  return WaitForSingleObject(thread_, timeoutMs) == WAIT_OBJECT_0;
}

void FuzzServer::Close() {
  if (thread_ != nullptr) {
    SetEvent(stopEvent_);
    WaitForSingleObject(thread_, INFINITE);
    CloseHandle(thread_);
    thread_ = nullptr;
  }
  if (occupant_ != INVALID_HANDLE_VALUE) CloseHandle(occupant_);
  if (pipe_ != INVALID_HANDLE_VALUE) CloseHandle(pipe_);
  if (ioEvent_ != nullptr) CloseHandle(ioEvent_);
  if (stopEvent_ != nullptr) CloseHandle(stopEvent_);
  occupant_ = pipe_ = INVALID_HANDLE_VALUE;
  ioEvent_ = stopEvent_ = nullptr;
}

DWORD WINAPI FuzzServer::ThreadMain(void* self) {
  static_cast<FuzzServer*>(self)->Run();
  return 0;
}

bool FuzzServer::Pause(DWORD ms) { return WaitForSingleObject(stopEvent_, ms) == WAIT_TIMEOUT; }

bool FuzzServer::Transfer(bool write, BYTE* bytes, DWORD count, DWORD* moved) {
  *moved = 0;
  OVERLAPPED overlapped = {};
  overlapped.hEvent = ioEvent_;
  ResetEvent(ioEvent_);
  const BOOL started = write ? WriteFile(pipe_, bytes, count, nullptr, &overlapped)
                             : ReadFile(pipe_, bytes, count, nullptr, &overlapped);
  if (!started && GetLastError() != ERROR_IO_PENDING) return false;
  // Until the transfer ends or the scan has returned, whichever is first.
  const HANDLE waits[2] = {ioEvent_, stopEvent_};
  if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0) {
    CancelIoEx(pipe_, &overlapped);
    GetOverlappedResult(pipe_, &overlapped, moved, TRUE);
    return false;
  }
  return GetOverlappedResult(pipe_, &overlapped, moved, FALSE) && *moved > 0;
}

bool FuzzServer::Connect() {
  OVERLAPPED overlapped = {};
  overlapped.hEvent = ioEvent_;
  ResetEvent(ioEvent_);
  if (ConnectNamedPipe(pipe_, &overlapped)) return true;
  if (GetLastError() == ERROR_PIPE_CONNECTED) return true;
  if (GetLastError() != ERROR_IO_PENDING) return false;
  // A scan that never connects (it failed earlier, or waits in vain) ends
  // this wait through the stop event.
  const HANDLE waits[2] = {ioEvent_, stopEvent_};
  DWORD ignored = 0;
  if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0) {
    CancelIoEx(pipe_, &overlapped);
    GetOverlappedResult(pipe_, &overlapped, &ignored, TRUE);
    return false;
  }
  return GetOverlappedResult(pipe_, &overlapped, &ignored, FALSE) != FALSE;
}

void FuzzServer::Reply() {
  const DWORD pieces = plan_.replyPieces == 0 ? 1 : plan_.replyPieces;
  const DWORD total = static_cast<DWORD>(plan_.reply.size());
  DWORD sent = 0;
  for (DWORD piece = 0; piece < pieces && sent < total; ++piece) {
    if (piece > 0 && !Pause(plan_.pieceDelayMs)) return;
    const DWORD size = piece + 1 == pieces ? total - sent : (total + pieces - 1) / pieces;
    DWORD moved = 0;
    if (!Transfer(true, plan_.reply.data() + sent, size < total - sent ? size : total - sent,
                  &moved)) {
      return;
    }
    sent += moved;
    replied_ = sent;
  }
}

void FuzzServer::Run() {
  if (plan_.mode == ServerPlan::Mode::Busy) {
    WaitForSingleObject(stopEvent_, INFINITE);
    return;
  }
  if (plan_.mode == ServerPlan::Mode::BusyThenFree) {
    if (!Pause(plan_.freeAfterMs)) return;
    DisconnectNamedPipe(pipe_);
  }
  if (!Connect()) return;
  connected_ = true;

  if (plan_.replyEarly) Reply();
  const size_t target = plan_.readLimit < expected_ ? plan_.readLimit : expected_;
  bool open = true;
  while (received_.size() < target) {
    const size_t left = target - received_.size();
    DWORD moved = 0;
    if (!Transfer(false, chunk_.data(), left < ChunkBytes ? static_cast<DWORD>(left) : ChunkBytes,
                  &moved)) {
      open = false;
      break;
    }
    received_.insert(received_.end(), chunk_.begin(), chunk_.begin() + moved);
  }
  if (open && target < expected_ && plan_.closeAtLimit) {
    DisconnectNamedPipe(pipe_);
    open = false;
  }
  if (open && target == expected_ && !plan_.replyEarly && Pause(plan_.delayMs)) Reply();

  WaitForSingleObject(stopEvent_, INFINITE);
  if (open) {
    DWORD available = 0;
    if (PeekNamedPipe(pipe_, nullptr, 0, nullptr, &available, nullptr)) unread_ = available;
    DisconnectNamedPipe(pipe_);
  }
}
