// A client of the service pipe for tests, fuzzers and the benchmark: opened
// for overlapped I/O like the provider's, with every transfer bounded by a
// deadline, so that a server that stops answering fails a check instead of
// hanging the program.
#pragma once

#include "platform/unique_handle.h"
#include "protocol/wire_format.h"

#include <windows.h>

#include <vector>

// Generous for a slow (emulated) machine: reaching it means the behaviour
// under test is missing, not that the machine was slow.
constexpr DWORD DefaultPipeWaitMs = 20000;

class PipeClient {
 public:
  // One attempt to open the pipe; returns 0 or the error of CreateFileW.
  DWORD TryConnect();
  // Opens the pipe, waiting while every instance is busy and, with
  // `waitForServer`, while the pipe does not exist yet. False once
  // `timeoutMs` has passed, or at the first other error.
  bool Connect(DWORD timeoutMs = DefaultPipeWaitMs, bool waitForServer = true);
  bool connected() const { return static_cast<bool>(pipe_); }
  void Close() { pipe_.reset(); }

  struct Transfer {
    DWORD moved = 0;
    bool timedOut = false;  // the deadline came first; the request was cancelled
    bool ended = false;     // the pipe failed, or a request moved nothing
    bool complete = false;  // all bytes moved
  };
  // Writes or reads `count` bytes in as many requests as it takes, all by
  // GetTickCount64() + `timeoutMs`. No request is pending when it returns.
  Transfer Move(bool write, void* bytes, DWORD count, DWORD timeoutMs);

  bool Write(const std::vector<BYTE>& bytes, DWORD timeoutMs = DefaultPipeWaitMs);
  struct ReadResult {
    std::vector<BYTE> bytes;
    bool ended = false;     // the service disconnected or closed
    bool timedOut = false;  // neither `count` bytes nor an end within the time
  };
  // Reads until `count` bytes are in, the pipe ends or the time is up.
  ReadResult Read(size_t count, DWORD timeoutMs = DefaultPipeWaitMs);

 private:
  UniqueFileHandle pipe_;
  UniqueKernelHandle event_;
};

// True if the pipe name exists (some instance, busy or not).
bool ServicePipeExists();
