// KestrovBenchIdle: a Windows program that does nothing until it is told to
// end, the benchmark's yardstick for the private bytes any process has at
// rest under the same Wine (its loader, heaps and runtime).
//
//   KestrovBenchIdle EVENT   waits until the named event EVENT is set
#include <windows.h>

namespace {
// The benchmark sets the event within seconds; the bound only keeps a
// program whose benchmark died from staying forever.
constexpr DWORD LongestRestMs = 10 * 60 * 1000;
}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) return 2;
  HANDLE end = OpenEventW(SYNCHRONIZE, FALSE, argv[1]);
  if (end == nullptr) return 1;
  const DWORD woke = WaitForSingleObject(end, LongestRestMs);
  CloseHandle(end);
  return woke == WAIT_OBJECT_0 ? 0 : 1;
}
