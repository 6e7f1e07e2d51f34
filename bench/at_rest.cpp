#include "bench/at_rest.h"

#include "platform/unique_handle.h"
#include "testkit/child_process.h"
#include "testkit/process_metrics.h"

#include <string>

size_t SettledPrivateBytes(HANDLE process) {
  // A process commits memory for a while after it starts (threads, heaps,
  // the loader's work): wait until two readings 100 ms apart agree, for two
  // seconds at most.
  size_t bytes = PrivateBytes(process);
  for (int k = 0; k < 20; ++k) {
    Sleep(100);
    const size_t now = PrivateBytes(process);
    if (now == bytes) break;
    bytes = now;
  }
  return bytes;
}

IdleProgramFigures MeasureIdleProgram() {
  IdleProgramFigures figures;
  const std::wstring eventName =
      L"KestrovBenchIdleEnd-" + std::to_wstring(GetCurrentProcessId());
  UniqueKernelHandle end(CreateEventW(nullptr, TRUE, FALSE, eventName.c_str()));
  if (!end) return figures;
  UniqueKernelHandle idle(
      StartProgram(ProgramDirectory() + L"KestrovBenchIdle.exe", Quoted(eventName)));
  if (!idle) return figures;
  // The program opens the event at once; a short start-up pause lets it get
  // there before the first reading, which the settling loop then confirms.
  Sleep(200);
  figures.started = WaitForSingleObject(idle.get(), 0) == WAIT_TIMEOUT;
  if (figures.started) figures.privateBytes = SettledPrivateBytes(idle.get());
  SetEvent(end.get());
  // It ends as soon as the event is set; the bound covers a slow machine.
  if (WaitForSingleObject(idle.get(), 10000) != WAIT_OBJECT_0) TerminateProcess(idle.get(), 1);
  return figures;
}
