#include "service/pipe_server.h"

#include "platform/unique_handle.h"
#include "protocol/wire_format.h"
#include "service/text.h"

#include <sddl.h>

#include <cstring>

namespace {

constexpr DWORD ReadBufferBytes = 64 * 1024;
constexpr DWORD InBufferBytes = 64 * 1024;
constexpr DWORD OutBufferBytes = 4096;
constexpr DWORD ThreadStackBytes = 256 * 1024;
constexpr ULONGLONG NoDeadline = ~0ULL;

// Who may use the pipe: the system, administrators and the owner fully;
// everyone else, app containers included, may only connect, write a request
// and read the verdict. The low-integrity label lets sandboxed processes
// write their requests too.
constexpr wchar_t PipeSecurity[] =
    L"D:P(A;;GA;;;SY)(A;;GA;;;BA)(A;;GA;;;OW)(A;;GRGW;;;WD)(A;;GRGW;;;AC)S:(ML;;NW;;;LW)";

struct LocalMemoryTraits {
  using Type = void*;
  static Type Invalid() noexcept { return nullptr; }
  static void Close(Type block) noexcept { LocalFree(block); }
};
using UniqueLocalMemory = UniqueResource<LocalMemoryTraits>;

enum class IoResult { Done, Failed, TimedOut, Stopped };

}  // namespace

struct PipeServer::Instance {
  explicit Instance(const ServerSettings& serverSettings)
      : settings(serverSettings), buffer(ReadBufferBytes), matcher(*serverSettings.rules) {}

  const ServerSettings& settings;
  UniqueFileHandle pipe;
  UniqueKernelHandle ioEvent;
  UniqueKernelHandle thread;
  OVERLAPPED overlapped = {};
  std::vector<BYTE> buffer;
  DWORD buffered = 0;     // bytes read ahead into `buffer` and not used yet,
  DWORD bufferedAt = 0;   // starting here
  BYTE appName[MaxNameBytes] = {};
  BYTE contentName[MaxNameBytes] = {};
  StreamMatcher matcher;

  void Run();
  IoResult Connect();
  void Serve();
  IoResult Finish(BOOL started, ULONGLONG deadline, DWORD* bytes);
  IoResult ReadSome(BYTE* bytes, DWORD count, ULONGLONG deadline, DWORD* got);
  IoResult Next(DWORD most, ULONGLONG deadline, const BYTE** bytes, DWORD* count);
  IoResult ReadExact(void* bytes, DWORD count, ULONGLONG deadline);
  IoResult WriteExact(const void* bytes, DWORD count, ULONGLONG deadline);

  void PrepareOverlapped() {
    memset(&overlapped, 0, sizeof overlapped);
    overlapped.hEvent = ioEvent.get();
  }
};

namespace {

DWORD WINAPI InstanceThread(void* parameter) {
  static_cast<PipeServer::Instance*>(parameter)->Run();
  return 0;
}

}  // namespace

IoResult PipeServer::Instance::Finish(BOOL started, ULONGLONG deadline, DWORD* bytes) {
  // A transfer that completed at once needs no wait: its result is already
  // in the OVERLAPPED.
  if (started) {
    return GetOverlappedResult(pipe.get(), &overlapped, bytes, FALSE) ? IoResult::Done
                                                                      : IoResult::Failed;
  }
  if (GetLastError() != ERROR_IO_PENDING) return IoResult::Failed;
  DWORD waitMs = INFINITE;
  if (deadline != NoDeadline) {
    const ULONGLONG now = GetTickCount64();
    waitMs = now >= deadline ? 0 : static_cast<DWORD>(deadline - now);
  }
  // Waits for the transfer, but no longer than the connection may last, and
  // not at all once the service stops: a stalled client must not hold this
  // instance, nor a stopping service.
  const HANDLE waits[2] = {ioEvent.get(), settings.stopEvent};
  const DWORD woke = WaitForMultipleObjects(2, waits, FALSE, waitMs);
  if (woke == WAIT_OBJECT_0) {
    return GetOverlappedResult(pipe.get(), &overlapped, bytes, FALSE) ? IoResult::Done
                                                                      : IoResult::Failed;
  }
  // Waits for the cancelled transfer to end, so that the OVERLAPPED and the
  // buffer are free again; cancellation completes it at once.
  CancelIoEx(pipe.get(), &overlapped);
  DWORD ignored = 0;
  GetOverlappedResult(pipe.get(), &overlapped, &ignored, TRUE);
  return woke == WAIT_OBJECT_0 + 1 ? IoResult::Stopped : IoResult::TimedOut;
}

IoResult PipeServer::Instance::ReadSome(BYTE* bytes, DWORD count, ULONGLONG deadline,
                                        DWORD* got) {
  PrepareOverlapped();
  *got = 0;
  const BOOL started = ReadFile(pipe.get(), bytes, count, nullptr, &overlapped);
  const IoResult result = Finish(started, deadline, got);
  // A read that moves nothing would repeat forever.
  if (result == IoResult::Done && *got == 0) return IoResult::Failed;
  return result;
}

// The next of the request's bytes, at most `most` of them and at least one.
// When none are buffered it first reads whatever the client has sent so far,
// up to a buffer's worth: the header, the names and the start of the content
// usually come in one read.
IoResult PipeServer::Instance::Next(DWORD most, ULONGLONG deadline, const BYTE** bytes,
                                    DWORD* count) {
  if (buffered == 0) {
    bufferedAt = 0;
    const IoResult result =
        ReadSome(buffer.data(), static_cast<DWORD>(buffer.size()), deadline, &buffered);
    if (result != IoResult::Done) return result;
  }
  *bytes = buffer.data() + bufferedAt;
  *count = most < buffered ? most : buffered;
  bufferedAt += *count;
  buffered -= *count;
  return IoResult::Done;
}

IoResult PipeServer::Instance::ReadExact(void* bytes, DWORD count, ULONGLONG deadline) {
  BYTE* at = static_cast<BYTE*>(bytes);
  while (count > 0) {
    const BYTE* next = nullptr;
    DWORD taken = 0;
    const IoResult result = Next(count, deadline, &next, &taken);
    if (result != IoResult::Done) return result;
    memcpy(at, next, taken);
    at += taken;
    count -= taken;
  }
  return IoResult::Done;
}

IoResult PipeServer::Instance::WriteExact(const void* bytes, DWORD count, ULONGLONG deadline) {
  const BYTE* at = static_cast<const BYTE*>(bytes);
  while (count > 0) {
    PrepareOverlapped();
    DWORD put = 0;
    const BOOL started = WriteFile(pipe.get(), at, count, nullptr, &overlapped);
    const IoResult result = Finish(started, deadline, &put);
    if (result != IoResult::Done) return result;
    if (put == 0) return IoResult::Failed;
    at += put;
    count -= put;
  }
  return IoResult::Done;
}

IoResult PipeServer::Instance::Connect() {
  PrepareOverlapped();
  if (ConnectNamedPipe(pipe.get(), &overlapped)) return IoResult::Done;
  // A client that came before this call is already connected; one that has
  // even written and closed (ERROR_NO_DATA) left its bytes to read.
  const DWORD error = GetLastError();
  if (error == ERROR_PIPE_CONNECTED || error == ERROR_NO_DATA) return IoResult::Done;
  SetLastError(error);
  DWORD ignored = 0;
  return Finish(FALSE, NoDeadline, &ignored);
}

void PipeServer::Instance::Serve() {
  LARGE_INTEGER frequency, started, answered;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&started);
  const ULONGLONG deadline = GetTickCount64() + settings.connectionTimeoutMs;

  // Every failure below drops the connection without a verdict: a bad
  // request, a client that went away and one that ran out of time alike.
  buffered = 0;
  ScanRequestHeader header;
  if (ReadExact(&header, sizeof header, deadline) != IoResult::Done) return;
  if (!IsValidRequestHeader(header)) return;
  if (ReadExact(appName, header.appNameBytes, deadline) != IoResult::Done) return;
  if (ReadExact(contentName, header.contentNameBytes, deadline) != IoResult::Done) return;

  // The content is matched as it arrives, never held whole.
  matcher.Reset();
  DWORD remaining = header.contentBytes;
  while (remaining > 0) {
    const BYTE* next = nullptr;
    DWORD taken = 0;
    if (Next(remaining, deadline, &next, &taken) != IoResult::Done) return;
    matcher.Feed(next, taken);
    remaining -= taken;
  }

  const bool detected = matcher.detected();
  const BYTE reply[ScanVerdictBytes] = {
      static_cast<BYTE>(detected ? ScanVerdictDetected : ScanVerdictNotDetected), 0, 0, 0};
  if (WriteExact(reply, sizeof reply, deadline) != IoResult::Done) return;
  QueryPerformanceCounter(&answered);

  ScanRecord record;
  GetSystemTime(&record.time);
  record.processId = header.processId;
  record.appName = Utf16BytesToUtf8(appName, header.appNameBytes);
  record.contentName = Utf16BytesToUtf8(contentName, header.contentNameBytes);
  record.contentBytes = header.contentBytes;
  record.truncated = header.truncated != 0;
  record.detected = detected;
  record.rule = detected ? &settings.rules->ruleName(matcher.rule()) : nullptr;
  const auto ticks = static_cast<ULONGLONG>(answered.QuadPart - started.QuadPart);
  const auto perSecond = static_cast<ULONGLONG>(frequency.QuadPart);
  record.microseconds = ticks / perSecond * 1000000 + ticks % perSecond * 1000000 / perSecond;
  settings.log->Write(record);

  // Disconnecting discards what the client has not read yet, so the verdict
  // stays until the client closes its end (the read fails), within the
  // connection's time. Bytes a client sends beyond its request are read and
  // dropped meanwhile.
  DWORD got = 0;
  while (ReadSome(buffer.data(), static_cast<DWORD>(buffer.size()), deadline, &got) ==
         IoResult::Done) {
  }
}

void PipeServer::Instance::Run() {
  for (;;) {
    const IoResult connected = Connect();
    if (connected == IoResult::Stopped) return;
    if (connected == IoResult::Done) Serve();
    if (WaitForSingleObject(settings.stopEvent, 0) == WAIT_OBJECT_0) return;
    DisconnectNamedPipe(pipe.get());
    // An instance that cannot listen would spin here; it retries slowly
    // instead, until the service stops.
    if (connected == IoResult::Failed &&
        WaitForSingleObject(settings.stopEvent, 100) == WAIT_OBJECT_0) {
      return;
    }
  }
}

PipeServer::PipeServer(const ServerSettings& settings) : settings_(settings) {}

PipeServer::~PipeServer() {
  if (!joined_) {
    SetEvent(settings_.stopEvent);
    Join();
  }
}

StartResult PipeServer::Start(DWORD* error) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(PipeSecurity, SDDL_REVISION_1,
                                                            &descriptor, nullptr)) {
    *error = GetLastError();
    return StartResult::Failed;
  }
  UniqueLocalMemory ownedDescriptor(descriptor);
  SECURITY_ATTRIBUTES security = {sizeof security, descriptor, FALSE};

  for (DWORD i = 0; i < settings_.instances; ++i) {
    auto instance = std::make_unique<Instance>(settings_);
    instance->ioEvent.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!instance->ioEvent) {
      *error = GetLastError();
      return StartResult::Failed;
    }
    // The instance count is also the pipe's maximum, so no other process
    // can add instances of its own to the name while this one serves it.
    const DWORD openMode =
        PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | (i == 0 ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0);
    instance->pipe.reset(CreateNamedPipeW(
        ServicePipeName, openMode, PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT |
        PIPE_REJECT_REMOTE_CLIENTS, settings_.instances, OutBufferBytes, InBufferBytes, 0,
        &security));
    if (!instance->pipe) {
      *error = GetLastError();
      if (i == 0 && (*error == ERROR_ACCESS_DENIED || *error == ERROR_PIPE_BUSY)) {
        return StartResult::NameTaken;
      }
      return StartResult::Failed;
    }
    instances_.push_back(std::move(instance));
  }

  joined_ = false;
  for (auto& instance : instances_) {
    instance->thread.reset(CreateThread(nullptr, ThreadStackBytes, InstanceThread, instance.get(),
                                        STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr));
    if (!instance->thread) {
      *error = GetLastError();
      return StartResult::Failed;  // the destructor stops the threads already running
    }
  }
  return StartResult::Serving;
}

bool PipeServer::Join() {
  // Every wait of an instance also watches the stop event, so the threads
  // end promptly; the bound keeps a thread wedged in the platform from
  // holding up the exit.
  const ULONGLONG giveUp = GetTickCount64() + 5000;
  bool allEnded = true;
  for (auto& instance : instances_) {
    if (!instance->thread) continue;
    const ULONGLONG now = GetTickCount64();
    const DWORD left = now >= giveUp ? 0 : static_cast<DWORD>(giveUp - now);
    if (WaitForSingleObject(instance->thread.get(), left) != WAIT_OBJECT_0) allEnded = false;
  }
  if (!allEnded) {
    // A thread still running uses its instance: leave them all to the exit.
    for (auto& instance : instances_) instance.release();
  }
  instances_.clear();
  joined_ = true;
  return allEnded;
}
