// A scripted scan service for tests.
//
// Serves \\.\pipe\KestrovAmsi with as many instances as asked, records every
// byte each connection sends (one file per connection, written as the bytes
// arrive, so a test can read them as soon as the client is done), and
// answers or misbehaves as the command line says. It exits by itself after
// --max-seconds, or when the test signals --stop-event.
//
//   --instances N        pipe instances (default 1)
//   --record DIR         write conn-NNNNN.bin per connection into DIR
//   --ready-event NAME   signalled once every instance exists (and is held)
//   --stop-event NAME    exit when signalled
//   --reply HEX          bytes sent after a complete request (default 01000000)
//   --delay-ms D         wait before replying
//   --no-reply           read the request, never answer
//   --close-after-reply  disconnect right after the reply instead of waiting
//                        for the client to close
//   --read-limit K       read K bytes of the request, then stop reading
//   --close-after K      read K bytes of the request, then disconnect
//   --busy-ms T          hold every instance connected for T ms before serving
//   --max-seconds S      exit after S seconds (default 30)
#include "protocol/wire_format.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>
#include <vector>

namespace {

constexpr DWORD HeaderBytes = sizeof(ScanRequestHeader);
constexpr DWORD InBufferBytes = 4096;
constexpr DWORD NoLimit = 0xFFFFFFFF;

struct Options {
  DWORD instances = 1;
  std::wstring recordDir;
  std::wstring readyEvent;
  std::wstring stopEvent;
  std::vector<BYTE> reply = {1, 0, 0, 0};
  DWORD delayMs = 0;
  bool noReply = false;
  bool closeAfterReply = false;
  DWORD readLimit = NoLimit;
  DWORD closeAfter = NoLimit;
  DWORD busyMs = 0;
  DWORD maxSeconds = 30;
};

Options gOptions;
HANDLE gStopEvent = nullptr;  // never signalled when no --stop-event is given
LONG gConnectionCount = 0;

bool ParseHex(const wchar_t* text, std::vector<BYTE>* bytes) {
  bytes->clear();
  const size_t length = wcslen(text);
  if (length % 2 != 0) return false;
  for (size_t i = 0; i < length; i += 2) {
    wchar_t pair[3] = {text[i], text[i + 1], 0};
    wchar_t* end = nullptr;
    const unsigned long value = wcstoul(pair, &end, 16);
    if (*end != 0) return false;
    bytes->push_back(static_cast<BYTE>(value));
  }
  return true;
}

bool ParseArguments(int argc, wchar_t** argv) {
  for (int i = 1; i < argc; ++i) {
    const std::wstring arg = argv[i];
    const bool hasValue = i + 1 < argc;
    auto number = [&](DWORD* out) {
      if (!hasValue) return false;
      *out = static_cast<DWORD>(wcstoul(argv[++i], nullptr, 10));
      return true;
    };
    auto text = [&](std::wstring* out) {
      if (!hasValue) return false;
      *out = argv[++i];
      return true;
    };
    bool ok = true;
    if (arg == L"--instances") ok = number(&gOptions.instances);
    else if (arg == L"--record") ok = text(&gOptions.recordDir);
    else if (arg == L"--ready-event") ok = text(&gOptions.readyEvent);
    else if (arg == L"--stop-event") ok = text(&gOptions.stopEvent);
    else if (arg == L"--reply") ok = hasValue && ParseHex(argv[++i], &gOptions.reply);
    else if (arg == L"--delay-ms") ok = number(&gOptions.delayMs);
    else if (arg == L"--no-reply") gOptions.noReply = true;
    else if (arg == L"--close-after-reply") gOptions.closeAfterReply = true;
    else if (arg == L"--read-limit") ok = number(&gOptions.readLimit);
    else if (arg == L"--close-after") ok = number(&gOptions.closeAfter);
    else if (arg == L"--busy-ms") ok = number(&gOptions.busyMs);
    else if (arg == L"--max-seconds") ok = number(&gOptions.maxSeconds);
    else ok = false;
    if (!ok) {
      fwprintf(stderr, L"TestScanService: bad argument %ls\n", arg.c_str());
      return false;
    }
  }
  return gOptions.instances > 0;
}

HANDLE CreateRecordFile(LONG sequence, const wchar_t* extension) {
  if (gOptions.recordDir.empty()) return INVALID_HANDLE_VALUE;
  wchar_t path[MAX_PATH * 2];
  swprintf(path, sizeof path / sizeof path[0], L"%ls\\conn-%05ld.%ls",
           gOptions.recordDir.c_str(), sequence, extension);
  return CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                     CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
}

// A connection's marker that it has ended: everything it sent is recorded.
void MarkEnded(LONG sequence) {
  const HANDLE marker = CreateRecordFile(sequence, L"end");
  if (marker != INVALID_HANDLE_VALUE) CloseHandle(marker);
}

// Keeps the connection without reading from it until the client goes away
// or the service stops.
void HoldWithoutReading(HANDLE pipe) {
  DWORD available = 0;
  while (WaitForSingleObject(gStopEvent, 10) == WAIT_TIMEOUT &&
         PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr)) {
  }
}

void Record(HANDLE record, const BYTE* bytes, DWORD count) {
  if (record == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  WriteFile(record, bytes, count, &written, nullptr);
}

// Reads until the client closes its end (or the pipe fails).
void DrainUntilClosed(HANDLE pipe) {
  BYTE sink[256];
  DWORD count = 0;
  while (ReadFile(pipe, sink, sizeof sink, &count, nullptr)) {
  }
}

void ServeRequest(HANDLE pipe, HANDLE record) {
  std::vector<BYTE> buffer(64 * 1024);
  BYTE header[HeaderBytes];
  ULONGLONG received = 0;
  ULONGLONG expected = HeaderBytes;  // grows once the header is in
  const DWORD limit = gOptions.readLimit < gOptions.closeAfter ? gOptions.readLimit
                                                              : gOptions.closeAfter;
  bool clientGone = false;
  while (received < expected && received < limit) {
    ULONGLONG want = expected - received;
    if (want > buffer.size()) want = buffer.size();
    if (limit != NoLimit && want > limit - received) want = limit - received;
    DWORD count = 0;
    if (!ReadFile(pipe, buffer.data(), static_cast<DWORD>(want), &count, nullptr) ||
        count == 0) {
      clientGone = true;
      break;
    }
    Record(record, buffer.data(), count);
    for (DWORD k = 0; k < count && received + k < HeaderBytes; ++k) {
      header[received + k] = buffer[k];
    }
    received += count;
    if (expected == HeaderBytes && received >= HeaderBytes) {
      auto field = [&](int offset) {
        DWORD value;
        memcpy(&value, header + offset, sizeof value);
        return static_cast<ULONGLONG>(value);
      };
      expected = HeaderBytes + field(12) + field(16) + field(20);
    }
  }
  if (record != INVALID_HANDLE_VALUE) CloseHandle(record);
  if (clientGone) return;

  if (received >= gOptions.closeAfter) return;  // the caller disconnects mid-request
  if (received >= gOptions.readLimit) {
    // Stop reading: the client's pending write never completes.
    HoldWithoutReading(pipe);
    return;
  }
  if (gOptions.noReply) {
    DrainUntilClosed(pipe);
    return;
  }
  if (gOptions.delayMs > 0) WaitForSingleObject(gStopEvent, gOptions.delayMs);
  DWORD written = 0;
  if (!gOptions.reply.empty()) {
    WriteFile(pipe, gOptions.reply.data(), static_cast<DWORD>(gOptions.reply.size()), &written,
              nullptr);
  }
  if (!gOptions.closeAfterReply) DrainUntilClosed(pipe);
}

void ServeConnection(HANDLE pipe) {
  const LONG sequence = InterlockedIncrement(&gConnectionCount);
  ServeRequest(pipe, CreateRecordFile(sequence, L"bin"));
  MarkEnded(sequence);
}

HANDLE CreateInstance(bool first) {
  return CreateNamedPipeW(ServicePipeName,
                          PIPE_ACCESS_DUPLEX | (first ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0),
                          PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT,
                          PIPE_UNLIMITED_INSTANCES, 4096, InBufferBytes, 0, nullptr);
}

DWORD WINAPI ServeInstance(void* parameter) {
  const HANDLE pipe = parameter;
  for (;;) {
    // A client may connect before ConnectNamedPipe is called (the pipe is
    // then already connected), and may even have written and closed its end
    // by then (ERROR_NO_DATA): what it wrote is still there to be read.
    if (ConnectNamedPipe(pipe, nullptr) || GetLastError() == ERROR_PIPE_CONNECTED ||
        GetLastError() == ERROR_NO_DATA) {
      ServeConnection(pipe);
    }
    DisconnectNamedPipe(pipe);
  }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (!ParseArguments(argc, argv)) return 2;
  gStopEvent = gOptions.stopEvent.empty() ? CreateEventW(nullptr, TRUE, FALSE, nullptr)
                                        : OpenEventW(SYNCHRONIZE, FALSE,
                                                     gOptions.stopEvent.c_str());
  if (gStopEvent == nullptr) {
    fwprintf(stderr, L"TestScanService: cannot open the stop event\n");
    return 2;
  }

  std::vector<HANDLE> instances;
  std::vector<HANDLE> holders;
  for (DWORD i = 0; i < gOptions.instances; ++i) {
    const HANDLE pipe = CreateInstance(i == 0);
    if (pipe == INVALID_HANDLE_VALUE) {
      fwprintf(stderr, L"TestScanService: cannot create pipe instance %lu (error %lu)\n",
               i, GetLastError());
      return 3;
    }
    instances.push_back(pipe);
    if (gOptions.busyMs > 0) {
      // The instance just created is the only one listening: this client
      // takes exactly that one.
      const HANDLE holder = CreateFileW(ServicePipeName, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                        OPEN_EXISTING, 0, nullptr);
      if (holder == INVALID_HANDLE_VALUE) return 3;
      holders.push_back(holder);
    }
  }

  const ULONGLONG started = GetTickCount64();
  const ULONGLONG limitMs = static_cast<ULONGLONG>(gOptions.maxSeconds) * 1000;
  auto startServing = [&] {
    for (HANDLE pipe : instances) {
      const HANDLE thread = CreateThread(nullptr, 0, ServeInstance, pipe, 0, nullptr);
      if (thread == nullptr) ExitProcess(3);
      CloseHandle(thread);
    }
  };
  auto signalReady = [&] {
    if (gOptions.readyEvent.empty()) return;
    const HANDLE ready = OpenEventW(EVENT_MODIFY_STATE, FALSE, gOptions.readyEvent.c_str());
    if (ready != nullptr) SetEvent(ready);
  };
  if (gOptions.busyMs > 0) {
    signalReady();
    if (WaitForSingleObject(gStopEvent, gOptions.busyMs) == WAIT_OBJECT_0) ExitProcess(0);
    for (size_t i = 0; i < instances.size(); ++i) {
      CloseHandle(holders[i]);
      DisconnectNamedPipe(instances[i]);
    }
    startServing();
  } else {
    // Serving threads first, so that no client is left waiting for one.
    startServing();
    signalReady();
  }
  const ULONGLONG elapsed = GetTickCount64() - started;
  if (elapsed < limitMs) WaitForSingleObject(gStopEvent, static_cast<DWORD>(limitMs - elapsed));
  // Threads blocked in pipe calls end with the process.
  ExitProcess(0);
}
