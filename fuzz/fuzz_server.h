// A misbehaving scan service inside the fuzzer process.
//
// The fuzzer runs from the provider DLL's directory, so the DLL trusts a
// pipe server in this process. One server serves one case: it owns the pipe
// name (one instance), records what the client sent and behaves as the case
// says. Every handle it needs is made in Prepare and closed in Close, so
// that the process's handle count around the scan is the provider's alone.
#pragma once

#include <windows.h>

#include <vector>

struct ServerPlan {
  enum class Mode {
    Absent,         // no server at all
    Busy,           // the one instance is taken by another client throughout
    BusyThenFree,   // ... and freed after `freeAfterMs`, then served
    Serve,
  } mode = Mode::Serve;
  DWORD freeAfterMs = 0;
  // Bytes read before the server stops reading (it reads at most the
  // request it expects). At the limit it closes the connection when
  // `closeAtLimit`, otherwise it stops reading and stays connected.
  DWORD readLimit = 0xFFFFFFFF;
  bool closeAtLimit = false;
  // Reply before reading anything, instead of after the request.
  bool replyEarly = false;
  std::vector<BYTE> reply;
  DWORD replyPieces = 1;  // the reply is written in this many parts
  DWORD delayMs = 0;      // before the reply
  DWORD pieceDelayMs = 0; // between parts
};

class FuzzServer {
 public:
  FuzzServer() = default;
  ~FuzzServer() { Close(); }
  FuzzServer(const FuzzServer&) = delete;
  FuzzServer& operator=(const FuzzServer&) = delete;

  // Creates the instance (and the occupying client) and starts the server
  // thread, which waits for the scan's connection. `expectedBytes` is how
  // much the server reads at most. False if the pipe cannot be made.
  bool Prepare(const ServerPlan& plan, size_t expectedBytes);
  // Tells the server that the scan has returned and waits for its thread:
  // false if it did not end in time.
  bool Finish(DWORD timeoutMs);
  void Close();

  bool connected() const { return connected_; }
  const std::vector<BYTE>& received() const { return received_; }
  // Bytes left unread in the pipe when the scan had returned, as far as the
  // pipe still tells.
  DWORD unread() const { return unread_; }
  // How many reply bytes the server managed to write.
  DWORD replied() const { return replied_; }

 private:
  static DWORD WINAPI ThreadMain(void* self);
  void Run();
  bool Connect();
  // One overlapped transfer, bounded by the stop event. False when it
  // failed or the scan has already returned.
  bool Transfer(bool write, BYTE* bytes, DWORD count, DWORD* moved);
  void Reply();
  // Waits `ms`, or less when the scan returns first; false then.
  bool Pause(DWORD ms);

  ServerPlan plan_;
  size_t expected_ = 0;
  HANDLE pipe_ = INVALID_HANDLE_VALUE;
  HANDLE occupant_ = INVALID_HANDLE_VALUE;
  HANDLE ioEvent_ = nullptr;
  HANDLE stopEvent_ = nullptr;
  HANDLE thread_ = nullptr;
  bool connected_ = false;
  std::vector<BYTE> received_;
  std::vector<BYTE> chunk_;
  DWORD unread_ = 0;
  DWORD replied_ = 0;
};
