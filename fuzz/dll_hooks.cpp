#include "fuzz/dll_hooks.h"

#include "tests/support/import_patch.h"

#include <cstdlib>
#include <memory>
#include <vector>

namespace {

PlatformFaults faults;
bool armed = false;
HookCounters counters;
ULONGLONG tickReads = 0;

// Blocks the DLL holds; it never holds more than a handful.
constexpr size_t MaxBlocks = 64;
void* blocks[MaxBlocks];

void NoteAlloc(void* block) {
  if (block == nullptr) return;
  for (void*& slot : blocks) {
    if (slot == nullptr) {
      slot = block;
      ++counters.outstanding;
      return;
    }
  }
  ++counters.outstanding;  // untracked, but still counted
}

void NoteFree(void* block) {
  if (block == nullptr) return;
  for (void*& slot : blocks) {
    if (slot == block) {
      slot = nullptr;
      --counters.outstanding;
      return;
    }
  }
  ++counters.unknownFrees;
}

// True when this call of `call` is the one that is to fail.
bool Fails(FailingCall call) {
  const unsigned seen = ++counters.calls[static_cast<int>(call)];
  if (!armed || faults.call != call || seen != faults.nth) return false;
  ++counters.faultsFired;
  return true;
}

struct Originals {
  decltype(&HeapAlloc) heapAlloc;
  decltype(&HeapFree) heapFree;
  decltype(&CreateEventW) createEvent;
  decltype(&CreateFileW) createFile;
  decltype(&WaitNamedPipeW) waitNamedPipe;
  decltype(&GetNamedPipeServerProcessId) serverProcessId;
  decltype(&OpenProcess) openProcess;
  decltype(&QueryFullProcessImageNameW) imageQuery;
  decltype(&WaitForSingleObject) wait;
  decltype(&GetTickCount64) tickCount;
  decltype(&ReadFile) readFile;
  decltype(&WriteFile) writeFile;
} real;

LPVOID WINAPI HookHeapAlloc(HANDLE heap, DWORD flags, SIZE_T bytes) {
  ++counters.heapAllocs;
  if (bytes > counters.largestAlloc) counters.largestAlloc = bytes;
  if (Fails(FailingCall::HeapAlloc)) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  void* block = real.heapAlloc(heap, flags, bytes);
  NoteAlloc(block);
  return block;
}

BOOL WINAPI HookHeapFree(HANDLE heap, DWORD flags, LPVOID block) {
  if (block != nullptr) ++counters.heapFrees;
  NoteFree(block);
  return real.heapFree(heap, flags, block);
}

HANDLE WINAPI HookCreateEvent(LPSECURITY_ATTRIBUTES security, BOOL manual, BOOL initial,
                              LPCWSTR name) {
  if (Fails(FailingCall::CreateEvent)) {
    SetLastError(ERROR_NO_SYSTEM_RESOURCES);
    return nullptr;
  }
  return real.createEvent(security, manual, initial, name);
}

HANDLE WINAPI HookCreateFile(LPCWSTR name, DWORD access, DWORD share,
                             LPSECURITY_ATTRIBUTES security, DWORD disposition, DWORD flags,
                             HANDLE templateFile) {
  if (Fails(FailingCall::CreateFile)) {
    SetLastError(faults.error);
    return INVALID_HANDLE_VALUE;
  }
  return real.createFile(name, access, share, security, disposition, flags, templateFile);
}

BOOL WINAPI HookWaitNamedPipe(LPCWSTR name, DWORD timeoutMs) {
  if (Fails(FailingCall::WaitNamedPipe)) {
    SetLastError(ERROR_SEM_TIMEOUT);
    return FALSE;
  }
  return real.waitNamedPipe(name, timeoutMs);
}

BOOL WINAPI HookServerProcessId(HANDLE pipe, PULONG processId) {
  const bool fail = Fails(FailingCall::ServerProcessId);
  const bool zero = Fails(FailingCall::ServerProcessIdZero);
  if (fail) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  const BOOL ok = real.serverProcessId(pipe, processId);
  if (ok && zero) *processId = 0;
  return ok;
}

HANDLE WINAPI HookOpenProcess(DWORD access, BOOL inherit, DWORD processId) {
  if (Fails(FailingCall::OpenProcess)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  return real.openProcess(access, inherit, processId);
}

BOOL WINAPI HookImageQuery(HANDLE process, DWORD flags, LPWSTR path, PDWORD size) {
  if (Fails(FailingCall::ImageQuery)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  const DWORD capacity = *size;
  const BOOL ok = real.imageQuery(process, flags, path, size);
  if (!ok || !armed || faults.imagePath.empty()) return ok;
  if (faults.imagePath.size() + 1 > capacity) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  faults.imagePath.copy(path, faults.imagePath.size());
  path[faults.imagePath.size()] = L'\0';
  *size = static_cast<DWORD>(faults.imagePath.size());
  return TRUE;
}

DWORD WINAPI HookWait(HANDLE handle, DWORD timeoutMs) {
  if (Fails(FailingCall::Wait)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return WAIT_FAILED;
  }
  return real.wait(handle, timeoutMs);
}

ULONGLONG WINAPI HookTickCount() {
  const ULONGLONG now = real.tickCount();
  if (tickReads++ == 0) {
    counters.tickBaseSeen = true;
    QueryPerformanceCounter(&counters.tickBaseCounter);
    return now;
  }
  return armed ? now + faults.clockJumpMs : now;
}

DWORD Limited(DWORD count) {
  return armed && faults.pieceLimit != 0 && count > faults.pieceLimit ? faults.pieceLimit : count;
}

BOOL WINAPI HookReadFile(HANDLE file, LPVOID buffer, DWORD count, LPDWORD read,
                         LPOVERLAPPED overlapped) {
  return real.readFile(file, buffer, Limited(count), read, overlapped);
}

BOOL WINAPI HookWriteFile(HANDLE file, LPCVOID buffer, DWORD count, LPDWORD written,
                          LPOVERLAPPED overlapped) {
  return real.writeFile(file, buffer, Limited(count), written, overlapped);
}

std::vector<std::unique_ptr<ImportPatch>> patches;

template <typename F>
bool Hook(HMODULE dll, const char* from, const char* function, F hook, F* original) {
  auto patch = std::make_unique<ImportPatch>(dll, from, function, reinterpret_cast<void*>(hook));
  if (!patch->ok()) return false;
  *original = reinterpret_cast<F>(const_cast<void*>(patch->original()));
  patches.push_back(std::move(patch));
  return true;
}

}  // namespace

const char* FailingCallName(FailingCall call) {
  switch (call) {
    case FailingCall::None: return "none";
    case FailingCall::HeapAlloc: return "HeapAlloc";
    case FailingCall::CreateEvent: return "CreateEventW";
    case FailingCall::CreateFile: return "CreateFileW";
    case FailingCall::WaitNamedPipe: return "WaitNamedPipeW";
    case FailingCall::ServerProcessId: return "GetNamedPipeServerProcessId";
    case FailingCall::ServerProcessIdZero: return "GetNamedPipeServerProcessId=0";
    case FailingCall::OpenProcess: return "OpenProcess";
    case FailingCall::ImageQuery: return "QueryFullProcessImageNameW";
    case FailingCall::Wait: return "WaitForSingleObject";
  }
  return "?";
}

bool InstallDllHooks(HMODULE dll) {
  const char* k = "KERNEL32.dll";
  return Hook(dll, k, "HeapAlloc", &HookHeapAlloc, &real.heapAlloc) &&
         Hook(dll, k, "HeapFree", &HookHeapFree, &real.heapFree) &&
         Hook(dll, k, "CreateEventW", &HookCreateEvent, &real.createEvent) &&
         Hook(dll, k, "CreateFileW", &HookCreateFile, &real.createFile) &&
         Hook(dll, k, "WaitNamedPipeW", &HookWaitNamedPipe, &real.waitNamedPipe) &&
         Hook(dll, k, "GetNamedPipeServerProcessId", &HookServerProcessId,
              &real.serverProcessId) &&
         Hook(dll, k, "OpenProcess", &HookOpenProcess, &real.openProcess) &&
         Hook(dll, k, "QueryFullProcessImageNameW", &HookImageQuery, &real.imageQuery) &&
         Hook(dll, k, "WaitForSingleObject", &HookWait, &real.wait) &&
         Hook(dll, k, "GetTickCount64", &HookTickCount, &real.tickCount) &&
         Hook(dll, k, "ReadFile", &HookReadFile, &real.readFile) &&
         Hook(dll, k, "WriteFile", &HookWriteFile, &real.writeFile);
}

void ArmFaults(const PlatformFaults& next) {
  faults = next;
  counters = HookCounters();
  for (void*& block : blocks) block = nullptr;
  tickReads = 0;
  armed = true;
}

void DisarmFaults() { armed = false; }

const HookCounters& Counters() { return counters; }
