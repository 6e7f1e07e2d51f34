// Platform calls of the provider DLL, seen and bent by the fuzzers and counted
// by the benchmark.
//
// The DLL's import slots are pointed at the functions here for the whole
// run. Each one counts what it sees and forwards to the real function,
// unless the armed faults say that this call fails. Only one scan runs at a
// time, on one thread, so the state is plain globals.
#pragma once

#include <windows.h>

#include <string>

enum class FailingCall {
  None,
  HeapAlloc,
  CreateEvent,
  CreateFile,           // fails with PlatformFaults::error
  WaitNamedPipe,
  ServerProcessId,      // GetNamedPipeServerProcessId fails
  ServerProcessIdZero,  // ... succeeds with process id 0
  OpenProcess,
  ImageQuery,           // QueryFullProcessImageNameW fails
  Wait,                 // WaitForSingleObject answers WAIT_FAILED
};
const char* FailingCallName(FailingCall call);

struct PlatformFaults {
  FailingCall call = FailingCall::None;
  unsigned nth = 1;  // which call of that function fails, from 1
  DWORD error = ERROR_NOT_ENOUGH_MEMORY;
  // Added to every GetTickCount64 answer after the first one of the scan:
  // the clock jumps forward right after the deadline is set.
  ULONGLONG clockJumpMs = 0;
  // ReadFile and WriteFile ask for at most this many bytes (0: as asked),
  // so that transfers complete in parts.
  DWORD pieceLimit = 0;
  // Not empty: QueryFullProcessImageNameW answers this image path, as a
  // server started from elsewhere would.
  std::wstring imagePath;
};

struct HookCounters {
  unsigned heapAllocs = 0, heapFrees = 0;  // through HeapAlloc/HeapReAlloc and HeapFree
  unsigned crtAllocs = 0, crtFrees = 0;    // calloc/realloc and free
  long outstanding = 0;                    // blocks allocated and not freed
  unsigned unknownFrees = 0;               // frees of blocks not seen allocated
  SIZE_T largestAlloc = 0;
  unsigned faultsFired = 0;
  unsigned calls[16] = {};  // per FailingCall, how often the function was called
  bool tickBaseSeen = false;
  LARGE_INTEGER tickBaseCounter = {};  // QueryPerformanceCounter at the first tick read
};

// Points the imports of `dll` at the hooks; false if one is missing.
bool InstallDllHooks(HMODULE dll);
// Faults for the next scan, with counters reset: blocks allocated before it
// are forgotten, and freeing one then counts as an unknown free.
void ArmFaults(const PlatformFaults& faults);
// No faults from now on; the counters stay readable.
void DisarmFaults();
const HookCounters& Counters();
