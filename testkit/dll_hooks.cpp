#include "testkit/dll_hooks.h"

#include "testkit/import_patch.h"

#include <cstdlib>
#include <memory>
#include <vector>

namespace {

PlatformFaults gFaults;
bool gArmed = false;
HookCounters gCounters;
ULONGLONG gTickReads = 0;

// Blocks the DLL holds; it never holds more than a handful.
constexpr size_t MaxBlocks = 64;
void* gBlocks[MaxBlocks];

void NoteAlloc(void* block) {
  if (block == nullptr) return;
  for (void*& slot : gBlocks) {
    if (slot == nullptr) {
      slot = block;
      ++gCounters.outstanding;
      return;
    }
  }
  ++gCounters.outstanding;  // untracked, but still counted
}

void NoteFree(void* block) {
  if (block == nullptr) return;
  for (void*& slot : gBlocks) {
    if (slot == block) {
      slot = nullptr;
      --gCounters.outstanding;
      return;
    }
  }
  ++gCounters.unknownFrees;
}

// True when this call of `call` is the one that is to fail.
bool Fails(FailingCall call) {
  const unsigned seen = ++gCounters.calls[static_cast<int>(call)];
  if (!gArmed || gFaults.call != call || seen != gFaults.nth) return false;
  ++gCounters.faultsFired;
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
  void*(__cdecl* calloc_)(size_t, size_t);
  void*(__cdecl* realloc_)(void*, size_t);
  void(__cdecl* free_)(void*);
} gReal;

LPVOID WINAPI HookHeapAlloc(HANDLE heap, DWORD flags, SIZE_T bytes) {
  ++gCounters.heapAllocs;
  if (bytes > gCounters.largestAlloc) gCounters.largestAlloc = bytes;
  if (Fails(FailingCall::HeapAlloc)) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  void* block = gReal.heapAlloc(heap, flags, bytes);
  NoteAlloc(block);
  return block;
}

BOOL WINAPI HookHeapFree(HANDLE heap, DWORD flags, LPVOID block) {
  if (block != nullptr) ++gCounters.heapFrees;
  NoteFree(block);
  return gReal.heapFree(heap, flags, block);
}

void* __cdecl HookCalloc(size_t count, size_t size) {
  ++gCounters.crtAllocs;
  void* block = gReal.calloc_(count, size);
  NoteAlloc(block);
  return block;
}

void* __cdecl HookRealloc(void* old, size_t size) {
  ++gCounters.crtAllocs;
  void* block = gReal.realloc_(old, size);
  if (block != nullptr || size == 0) NoteFree(old);
  NoteAlloc(block);
  return block;
}

void __cdecl HookFree(void* block) {
  if (block != nullptr) ++gCounters.crtFrees;
  NoteFree(block);
  gReal.free_(block);
}

HANDLE WINAPI HookCreateEvent(LPSECURITY_ATTRIBUTES security, BOOL manual, BOOL initial,
                              LPCWSTR name) {
  if (Fails(FailingCall::CreateEvent)) {
    SetLastError(ERROR_NO_SYSTEM_RESOURCES);
    return nullptr;
  }
  return gReal.createEvent(security, manual, initial, name);
}

HANDLE WINAPI HookCreateFile(LPCWSTR name, DWORD access, DWORD share,
                             LPSECURITY_ATTRIBUTES security, DWORD disposition, DWORD flags,
                             HANDLE templateFile) {
  if (Fails(FailingCall::CreateFile)) {
    SetLastError(gFaults.error);
    return INVALID_HANDLE_VALUE;
  }
  return gReal.createFile(name, access, share, security, disposition, flags, templateFile);
}

BOOL WINAPI HookWaitNamedPipe(LPCWSTR name, DWORD timeoutMs) {
  if (Fails(FailingCall::WaitNamedPipe)) {
    SetLastError(ERROR_SEM_TIMEOUT);
    return FALSE;
  }
  return gReal.waitNamedPipe(name, timeoutMs);
}

BOOL WINAPI HookServerProcessId(HANDLE pipe, PULONG processId) {
  const bool fail = Fails(FailingCall::ServerProcessId);
  const bool zero = Fails(FailingCall::ServerProcessIdZero);
  if (fail) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  const BOOL ok = gReal.serverProcessId(pipe, processId);
  if (ok && zero) *processId = 0;
  return ok;
}

HANDLE WINAPI HookOpenProcess(DWORD access, BOOL inherit, DWORD processId) {
  if (Fails(FailingCall::OpenProcess)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  return gReal.openProcess(access, inherit, processId);
}

BOOL WINAPI HookImageQuery(HANDLE process, DWORD flags, LPWSTR path, PDWORD size) {
  if (Fails(FailingCall::ImageQuery)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  const DWORD capacity = *size;
  const BOOL ok = gReal.imageQuery(process, flags, path, size);
  if (!ok || !gArmed || gFaults.imagePath.empty()) return ok;
  if (gFaults.imagePath.size() + 1 > capacity) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  gFaults.imagePath.copy(path, gFaults.imagePath.size());
  path[gFaults.imagePath.size()] = L'\0';
  *size = static_cast<DWORD>(gFaults.imagePath.size());
  return TRUE;
}

DWORD WINAPI HookWait(HANDLE handle, DWORD timeoutMs) {
  if (Fails(FailingCall::Wait)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return WAIT_FAILED;
  }
  return gReal.wait(handle, timeoutMs);
}

ULONGLONG WINAPI HookTickCount() {
  const ULONGLONG now = gReal.tickCount();
  if (gTickReads++ == 0) {
    gCounters.tickBaseSeen = true;
    QueryPerformanceCounter(&gCounters.tickBaseCounter);
    return now;
  }
  return gArmed ? now + gFaults.clockJumpMs : now;
}

DWORD Limited(DWORD count) {
  return gArmed && gFaults.pieceLimit != 0 && count > gFaults.pieceLimit ? gFaults.pieceLimit : count;
}

BOOL WINAPI HookReadFile(HANDLE file, LPVOID buffer, DWORD count, LPDWORD read,
                         LPOVERLAPPED overlapped) {
  return gReal.readFile(file, buffer, Limited(count), read, overlapped);
}

BOOL WINAPI HookWriteFile(HANDLE file, LPCVOID buffer, DWORD count, LPDWORD written,
                          LPOVERLAPPED overlapped) {
  return gReal.writeFile(file, buffer, Limited(count), written, overlapped);
}

ImportHookSet gHooks;

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
  auto Hook = [dll](const char* from, const char* function, auto hook, auto* real) {
    return gHooks.Add(dll, from, function, hook, real);
  };
  return Hook(k, "HeapAlloc", &HookHeapAlloc, &gReal.heapAlloc) &&
         Hook(k, "HeapFree", &HookHeapFree, &gReal.heapFree) &&
         Hook(k, "CreateEventW", &HookCreateEvent, &gReal.createEvent) &&
         Hook(k, "CreateFileW", &HookCreateFile, &gReal.createFile) &&
         Hook(k, "WaitNamedPipeW", &HookWaitNamedPipe, &gReal.waitNamedPipe) &&
         Hook(k, "GetNamedPipeServerProcessId", &HookServerProcessId,
              &gReal.serverProcessId) &&
         Hook(k, "OpenProcess", &HookOpenProcess, &gReal.openProcess) &&
         Hook(k, "QueryFullProcessImageNameW", &HookImageQuery, &gReal.imageQuery) &&
         Hook(k, "WaitForSingleObject", &HookWait, &gReal.wait) &&
         Hook(k, "GetTickCount64", &HookTickCount, &gReal.tickCount) &&
         Hook(k, "ReadFile", &HookReadFile, &gReal.readFile) &&
         Hook(k, "WriteFile", &HookWriteFile, &gReal.writeFile) &&
         Hook("msvcrt.dll", "calloc", &HookCalloc, &gReal.calloc_) &&
         Hook("msvcrt.dll", "realloc", &HookRealloc, &gReal.realloc_) &&
         Hook("msvcrt.dll", "free", &HookFree, &gReal.free_);
}

void ArmFaults(const PlatformFaults& next) {
  gFaults = next;
  gCounters = HookCounters();
  for (void*& block : gBlocks) block = nullptr;
  gTickReads = 0;
  gArmed = true;
}

void DisarmFaults() { gArmed = false; }

const HookCounters& Counters() { return gCounters; }
