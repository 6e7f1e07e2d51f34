#include "service/pipe_server.h"

#include "scan/scan_request.h"
#include "service/pipe_security.h"
#include "service/text.h"

#include <cstring>
#include <optional>

const wchar_t ServicePipeName[] = L"\\\\.\\pipe\\KestrovAmsi";

namespace {

constexpr uint32_t MaxNameBytes = 1024;
constexpr uint32_t MaxContentBytes = 8 * 1024 * 1024;
constexpr DWORD ReadBufferBytes = 64 * 1024;
constexpr DWORD InBufferBytes = 64 * 1024;
constexpr DWORD OutBufferBytes = 4096;
constexpr DWORD WorkerStackBytes = 256 * 1024;
constexpr ULONG_PTR QuitKey = 1;
constexpr ULONGLONG NoDeadline = ~0ULL;
// An instance whose listen failed tries again after this pause, so that a
// failing instance cannot spin.
constexpr DWORD ListenRetryMs = 100;

bool IsValidHeader(const ScanRequestHeader& header) {
  return header.magic == ScanRequestMagic && header.version == ScanRequestVersion &&
         header.appNameBytes % 2 == 0 && header.appNameBytes <= MaxNameBytes &&
         header.contentNameBytes % 2 == 0 && header.contentNameBytes <= MaxNameBytes &&
         header.contentBytes >= 1 && header.contentBytes <= MaxContentBytes &&
         header.truncated <= 1;
}

DWORD ChooseWorkerCount() {
  SYSTEM_INFO system;
  GetSystemInfo(&system);
  const DWORD twice = system.dwNumberOfProcessors * 2;
  return twice < 2 ? 2 : (twice > 16 ? 16 : twice);
}

}  // namespace

// What one connection needs while it is served; taken from a small pool when
// a client connects and given back when it has gone.
struct PipeServer::Session {
  std::vector<BYTE> buffer = std::vector<BYTE>(ReadBufferBytes);
  std::shared_ptr<const RuleSet> rules;  // the rules `matcher` runs
  std::optional<StreamMatcher> matcher;
  BYTE appName[MaxNameBytes] = {};
  BYTE contentName[MaxNameBytes] = {};
};

struct PipeServer::Instance {
  enum class Phase { Closed, Listening, RetryWait, Reading, Replying, Draining };

  OVERLAPPED overlapped = {};
  PipeServer* server = nullptr;
  UniqueFileHandle pipe;

  // The phase and the deadline are shared with the watchdog: both change,
  // and every transfer is issued, under `lock`, so that the watchdog either
  // cancels a transfer that was issued or marks the connection expired
  // before the next one is.
  SRWLOCK lock = SRWLOCK_INIT;
  Phase phase = Phase::Closed;
  ULONGLONG deadline = NoDeadline;
  bool expired = false;

  // The connection being served; all of this belongs to the one worker that
  // handles the instance's completion at a time.
  std::unique_ptr<Session> session;
  ScanRequestHeader header = {};
  DWORD requestBytesSeen = 0;  // of the header, the names and the content
  BYTE reply[4] = {};
  DWORD replied = 0;
  LARGE_INTEGER started = {};

  void Advance(BOOL ok, DWORD bytes);
  bool Listen(bool* pendingOrDone);
  void BeginConnection();
  void EndConnection();
  bool Issue(bool read, BYTE* bytes, DWORD count);
  enum class Parsed { NeedMore, Complete, Invalid };
  Parsed Consume(const BYTE* bytes, DWORD count);
  void Answer();
  void SetPhase(Phase next, ULONGLONG nextDeadline);
  void ScheduleRetry();
};

void PipeServer::Instance::SetPhase(Phase next, ULONGLONG nextDeadline) {
  AcquireSRWLockExclusive(&lock);
  phase = next;
  deadline = nextDeadline;
  if (next == Phase::Listening || next == Phase::Closed) expired = false;
  ReleaseSRWLockExclusive(&lock);
  // The watchdog sleeps until the earliest deadline it knows; a new one that
  // is earlier wakes it (connections all get the same time limit, so this
  // is rare).
  if (nextDeadline < server->watchdogWakesAt_.load()) SetEvent(server->watchdogWake_.get());
}

// After a failed listen: the watchdog has the instance listen again after a
// pause. A stopping service closes the instance instead.
void PipeServer::Instance::ScheduleRetry() {
  AcquireSRWLockExclusive(&lock);
  const bool stopping = server->stopping_.load();
  phase = stopping ? Phase::Closed : Phase::RetryWait;
  deadline = stopping ? NoDeadline : GetTickCount64() + ListenRetryMs;
  ReleaseSRWLockExclusive(&lock);
  if (stopping) {
    server->InstanceClosed();
  } else if (deadline < server->watchdogWakesAt_.load()) {
    SetEvent(server->watchdogWake_.get());
  }
}

// Issues one overlapped transfer on the instance's pipe. False when it could
// not be issued (the connection expired, the service stops, or the call
// failed at once); a transfer that was issued completes through the port,
// even when it completed at once.
bool PipeServer::Instance::Issue(bool read, BYTE* bytes, DWORD count) {
  memset(&overlapped, 0, sizeof overlapped);
  AcquireSRWLockExclusive(&lock);
  bool issued = false;
  if (!expired && !server->stopping_.load()) {
    const BOOL done = read ? ReadFile(pipe.get(), bytes, count, nullptr, &overlapped)
                           : WriteFile(pipe.get(), bytes, count, nullptr, &overlapped);
    issued = done || GetLastError() == ERROR_IO_PENDING;
  }
  ReleaseSRWLockExclusive(&lock);
  return issued;
}

// Starts listening. True when the listen is pending or a client is already
// connected (`*pendingOrDone` false in that case: no completion will come).
bool PipeServer::Instance::Listen(bool* pending) {
  memset(&overlapped, 0, sizeof overlapped);
  AcquireSRWLockExclusive(&lock);
  if (server->stopping_.load()) {
    ReleaseSRWLockExclusive(&lock);
    return false;
  }
  phase = Phase::Listening;
  deadline = NoDeadline;
  expired = false;
  const BOOL connected = ConnectNamedPipe(pipe.get(), &overlapped);
  const DWORD error = connected ? ERROR_SUCCESS : GetLastError();
  ReleaseSRWLockExclusive(&lock);
  if (connected || error == ERROR_IO_PENDING) {
    *pending = true;
    return true;
  }
  // A client that came before the call is connected already, and no
  // completion is queued for it; one that has even written and closed
  // (ERROR_NO_DATA) left its bytes to read.
  *pending = false;
  return error == ERROR_PIPE_CONNECTED || error == ERROR_NO_DATA;
}

void PipeServer::Instance::BeginConnection() {
  QueryPerformanceCounter(&started);
  session = server->TakeSession();
  std::shared_ptr<const RuleSet> rules = server->settings_.scan->rules();
  if (session->rules != rules) {
    session->matcher.emplace(*rules);
    session->rules = std::move(rules);
  }
  session->matcher->Reset();
  requestBytesSeen = 0;
  replied = 0;
  SetPhase(Phase::Reading, GetTickCount64() + server->settings_.scan->connectionTimeoutMs());
}

void PipeServer::Instance::EndConnection() {
  // Disconnecting discards what the client has not read; every path here
  // comes after the verdict was read, or after a failure.
  DisconnectNamedPipe(pipe.get());
  if (session) server->ReturnSession(std::move(session));
}

// Takes the next bytes of the request: the header, the two names, then the
// content, which is matched as it arrives and never held whole. Bytes
// beyond the request are dropped.
PipeServer::Instance::Parsed PipeServer::Instance::Consume(const BYTE* bytes, DWORD count) {
  constexpr DWORD HeaderBytes = sizeof(ScanRequestHeader);
  while (count > 0) {
    if (requestBytesSeen < HeaderBytes) {
      const DWORD take = HeaderBytes - requestBytesSeen < count ? HeaderBytes - requestBytesSeen
                                                                : count;
      memcpy(reinterpret_cast<BYTE*>(&header) + requestBytesSeen, bytes, take);
      requestBytesSeen += take;
      bytes += take;
      count -= take;
      if (requestBytesSeen == HeaderBytes && !IsValidHeader(header)) return Parsed::Invalid;
      continue;
    }
    const DWORD namesEnd = HeaderBytes + header.appNameBytes + header.contentNameBytes;
    if (requestBytesSeen < namesEnd) {
      const DWORD appEnd = HeaderBytes + header.appNameBytes;
      BYTE* into = requestBytesSeen < appEnd
                       ? session->appName + (requestBytesSeen - HeaderBytes)
                       : session->contentName + (requestBytesSeen - appEnd);
      const DWORD pieceEnd = requestBytesSeen < appEnd ? appEnd : namesEnd;
      const DWORD take = pieceEnd - requestBytesSeen < count ? pieceEnd - requestBytesSeen : count;
      memcpy(into, bytes, take);
      requestBytesSeen += take;
      bytes += take;
      count -= take;
      continue;
    }
    const DWORD requestEnd = namesEnd + header.contentBytes;
    const DWORD take = requestEnd - requestBytesSeen < count ? requestEnd - requestBytesSeen : count;
    session->matcher->Feed(bytes, take);
    requestBytesSeen += take;
    break;  // anything after the content is not part of the request
  }
  const bool complete = requestBytesSeen >= sizeof(ScanRequestHeader) &&
                        requestBytesSeen == sizeof(ScanRequestHeader) + header.appNameBytes +
                                                header.contentNameBytes + header.contentBytes;
  return complete ? Parsed::Complete : Parsed::NeedMore;
}

void PipeServer::Instance::Answer() {
  LARGE_INTEGER answered, frequency;
  QueryPerformanceCounter(&answered);
  QueryPerformanceFrequency(&frequency);
  const bool detected = session->matcher->detected();
  ScanRecord record;
  GetSystemTime(&record.time);
  record.processId = header.processId;
  record.appName = Utf16BytesToUtf8(session->appName, header.appNameBytes);
  record.contentName = Utf16BytesToUtf8(session->contentName, header.contentNameBytes);
  record.contentBytes = header.contentBytes;
  record.truncated = header.truncated != 0;
  record.detected = detected;
  record.rule = detected ? &session->rules->ruleName(session->matcher->rule()) : nullptr;
  const auto ticks = static_cast<ULONGLONG>(answered.QuadPart - started.QuadPart);
  const auto perSecond = static_cast<ULONGLONG>(frequency.QuadPart);
  record.microseconds = ticks / perSecond * 1000000 + ticks % perSecond * 1000000 / perSecond;
  server->settings_.log->Write(record);
  if (detected && server->settings_.events != nullptr) {
    server->settings_.events->Detection(record.appName, record.contentName, *record.rule);
  }
}

// Moves the instance on after its transfer completed (`ok`, `bytes`), or
// after a step that needs no transfer. Loops instead of recursing when a
// step finishes at once.
void PipeServer::Instance::Advance(BOOL ok, DWORD bytes) {
  for (;;) {
    bool connected = false;
    switch (phase) {
      case Phase::Closed:
        return;
      case Phase::RetryWait:
        connected = false;
        break;  // listen again, below
      case Phase::Listening:
        if (!ok && server->stopping_.load()) break;
        if (!ok) {
          ScheduleRetry();
          return;
        }
        connected = true;
        break;
      case Phase::Reading: {
        if (!ok || bytes == 0) break;
        const Parsed parsed = Consume(session->buffer.data(), bytes);
        if (parsed == Parsed::Invalid) break;
        if (parsed == Parsed::NeedMore) {
          if (Issue(true, session->buffer.data(), static_cast<DWORD>(session->buffer.size()))) {
            return;
          }
          break;
        }
        const bool detected = session->matcher->detected();
        reply[0] = static_cast<BYTE>(detected ? ScanVerdictDetected : 0);
        reply[1] = reply[2] = reply[3] = 0;
        SetPhase(Phase::Replying, deadline);
        if (Issue(false, reply, sizeof reply)) return;
        break;
      }
      case Phase::Replying:
        if (!ok || bytes == 0) break;
        replied += bytes;
        if (replied < sizeof reply) {
          if (Issue(false, reply + replied, sizeof reply - replied)) return;
          break;
        }
        Answer();
        // The verdict stays readable until the client closes its end, so the
        // connection waits for that (within its time), reading and dropping
        // whatever else the client sends.
        SetPhase(Phase::Draining, deadline);
        if (Issue(true, session->buffer.data(), static_cast<DWORD>(session->buffer.size()))) {
          return;
        }
        break;
      case Phase::Draining:
        if (ok && bytes > 0 &&
            Issue(true, session->buffer.data(), static_cast<DWORD>(session->buffer.size()))) {
          return;
        }
        break;
    }

    if (connected) {
      BeginConnection();
      if (Issue(true, session->buffer.data(), static_cast<DWORD>(session->buffer.size()))) return;
      // The read could not even be issued: the connection ends below.
    }
    // The connection (if any) is over: listen again, unless the service stops.
    EndConnection();
    bool pending = false;
    if (!Listen(&pending)) {
      ScheduleRetry();
      return;
    }
    if (pending) return;
    ok = TRUE;  // connected at once: no completion comes for it
    bytes = 0;
  }
}

PipeServer::PipeServer(const ServerSettings& settings) : settings_(settings) {
  InitializeSRWLock(&sessionsLock_);
}

PipeServer::~PipeServer() {
  if (!stopped_) Stop(INFINITE);
}

std::unique_ptr<PipeServer::Session> PipeServer::TakeSession() {
  AcquireSRWLockExclusive(&sessionsLock_);
  std::unique_ptr<Session> session;
  if (!freeSessions_.empty()) {
    session = std::move(freeSessions_.back());
    freeSessions_.pop_back();
  }
  ReleaseSRWLockExclusive(&sessionsLock_);
  return session ? std::move(session) : std::make_unique<Session>();
}

void PipeServer::ReturnSession(std::unique_ptr<Session> session) {
  // A few are kept for the next connections; the rest are freed, so that a
  // burst does not leave its buffers behind.
  AcquireSRWLockExclusive(&sessionsLock_);
  if (freeSessions_.size() < workers_.size() * 2) {
    freeSessions_.push_back(std::move(session));
  }
  ReleaseSRWLockExclusive(&sessionsLock_);
}

void PipeServer::InstanceClosed() {
  if (openInstances_.fetch_sub(1) == 1) SetEvent(allClosed_.get());
}

StartResult PipeServer::Start(DWORD* error) {
  PipeSecurity security;
  if (!security.Create(error)) return StartResult::Failed;
  port_.reset(CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 0));
  watchdogWake_.reset(CreateEventW(nullptr, FALSE, FALSE, nullptr));
  allClosed_.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!port_ || !watchdogWake_ || !allClosed_) {
    *error = GetLastError();
    return StartResult::Failed;
  }

  for (DWORD i = 0; i < settings_.instances; ++i) {
    auto instance = std::make_unique<Instance>();
    instance->server = this;
    // The instance count is also the pipe's maximum, so no other process
    // can add instances of its own to the name while this one serves it.
    const DWORD openMode =
        PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | (i == 0 ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0);
    instance->pipe.reset(CreateNamedPipeW(
        ServicePipeName, openMode,
        PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS,
        settings_.instances, OutBufferBytes, InBufferBytes, 0, security.attributes()));
    if (!instance->pipe) {
      *error = GetLastError();
      if (i == 0 && (*error == ERROR_ACCESS_DENIED || *error == ERROR_PIPE_BUSY)) {
        return StartResult::NameTaken;
      }
      return StartResult::Failed;
    }
    if (CreateIoCompletionPort(instance->pipe.get(), port_.get(), 0, 0) == nullptr) {
      *error = GetLastError();
      return StartResult::Failed;
    }
    instances_.push_back(std::move(instance));
  }

  stopped_ = false;
  const DWORD workerCount = ChooseWorkerCount();
  for (DWORD i = 0; i < workerCount; ++i) {
    UniqueKernelHandle thread(CreateThread(nullptr, WorkerStackBytes, WorkerThread, this,
                                           STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr));
    if (!thread) {
      *error = GetLastError();
      return StartResult::Failed;  // the destructor stops what runs already
    }
    workers_.push_back(std::move(thread));
  }
  watchdog_.reset(CreateThread(nullptr, WorkerStackBytes, WatchdogThread, this,
                               STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr));
  if (!watchdog_) {
    *error = GetLastError();
    return StartResult::Failed;
  }

  openInstances_.store(static_cast<LONG>(instances_.size()));
  listening_ = true;
  for (auto& instance : instances_) {
    // A client that connected at once is served by a completion posted here,
    // like every other step, on a worker thread.
    bool pending = false;
    if (!instance->Listen(&pending)) {
      instance->ScheduleRetry();
    } else if (!pending) {
      PostQueuedCompletionStatus(port_.get(), 0, 0, &instance->overlapped);
    }
  }
  return StartResult::Serving;
}

DWORD WINAPI PipeServer::WorkerThread(void* server) {
  static_cast<PipeServer*>(server)->Work();
  return 0;
}

void PipeServer::Work() {
  for (;;) {
    DWORD bytes = 0;
    ULONG_PTR key = 0;
    OVERLAPPED* overlapped = nullptr;
    // Waits for the next completion of any instance; Stop ends the wait
    // with one quit packet per worker.
    const BOOL ok = GetQueuedCompletionStatus(port_.get(), &bytes, &key, &overlapped, INFINITE);
    if (overlapped == nullptr) {
      if (key == QuitKey) return;
      continue;  // the port itself failed; nothing to move on
    }
    Instance* instance = CONTAINING_RECORD(overlapped, Instance, overlapped);
    instance->Advance(ok, bytes);
  }
}

DWORD WINAPI PipeServer::WatchdogThread(void* server) {
  static_cast<PipeServer*>(server)->Watch();
  return 0;
}

void PipeServer::Watch() {
  while (!stopping_.load()) {
    const ULONGLONG now = GetTickCount64();
    ULONGLONG next = NoDeadline;
    for (auto& instance : instances_) {
      AcquireSRWLockExclusive(&instance->lock);
      const bool due = instance->deadline <= now;
      if (due && instance->phase == Instance::Phase::RetryWait) {
        instance->deadline = NoDeadline;
        // The worker that takes this packet listens again.
        PostQueuedCompletionStatus(port_.get(), 0, 0, &instance->overlapped);
      } else if (due && !instance->expired) {
        // The connection ran out of time: its transfer ends with an abort,
        // and no new one is issued.
        instance->expired = true;
        instance->deadline = NoDeadline;
        CancelIoEx(instance->pipe.get(), &instance->overlapped);
      } else if (instance->deadline < next) {
        next = instance->deadline;
      }
      ReleaseSRWLockExclusive(&instance->lock);
    }
    watchdogWakesAt_.store(next);
    const ULONGLONG after = GetTickCount64();
    DWORD waitMs = INFINITE;
    if (next != NoDeadline) waitMs = next <= after ? 0 : static_cast<DWORD>(next - after);
    // Sleeps until the earliest deadline, or until a connection with an
    // earlier one, a changed time limit or the stop wakes it.
    WaitForSingleObject(watchdogWake_.get(), waitMs);
  }
}

void PipeServer::SettingsChanged() {
  if (watchdogWake_) SetEvent(watchdogWake_.get());
}

bool PipeServer::Stop(DWORD timeoutMs) {
  if (stopped_) return true;
  const ULONGLONG giveUp = timeoutMs == INFINITE ? NoDeadline : GetTickCount64() + timeoutMs;
  auto left = [&]() -> DWORD {
    if (giveUp == NoDeadline) return INFINITE;
    const ULONGLONG now = GetTickCount64();
    return now >= giveUp ? 0 : static_cast<DWORD>(giveUp - now);
  };

  stopping_.store(true);
  if (watchdogWake_) SetEvent(watchdogWake_.get());
  // Every transfer is cancelled; no new one is issued once stopping_ is
  // set, so each instance closes with the completion of its last one.
  // Instances waiting to listen again have no transfer: they are closed here.
  LONG withoutTransfer = 0;
  for (auto& instance : instances_) {
    AcquireSRWLockExclusive(&instance->lock);
    if (instance->phase == Instance::Phase::RetryWait) {
      instance->phase = Instance::Phase::Closed;
      ++withoutTransfer;
    } else {
      CancelIoEx(instance->pipe.get(), nullptr);
    }
    ReleaseSRWLockExclusive(&instance->lock);
  }
  for (LONG i = 0; i < withoutTransfer; ++i) InstanceClosed();

  bool ended = true;
  if (listening_) {
    // Waits for the instances' last completions, within the stop's bound.
    ended = WaitForSingleObject(allClosed_.get(), left()) == WAIT_OBJECT_0;
  }
  for (size_t i = 0; i < workers_.size(); ++i) {
    PostQueuedCompletionStatus(port_.get(), 0, QuitKey, nullptr);
  }
  // Waits for the threads to take their quit packets, within what is left.
  for (auto& worker : workers_) {
    if (WaitForSingleObject(worker.get(), left()) != WAIT_OBJECT_0) ended = false;
  }
  if (watchdog_ && WaitForSingleObject(watchdog_.get(), left()) != WAIT_OBJECT_0) ended = false;
  if (!ended) return false;  // threads still run: nothing may be freed
  workers_.clear();
  watchdog_.reset();
  instances_.clear();
  stopped_ = true;
  return true;
}
