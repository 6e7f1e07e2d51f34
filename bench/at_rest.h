// Private bytes at rest: the scan service's, with its instances listening
// after one exchange, beside those of a program that does nothing
// (KestrovBenchIdle.exe) under the same Wine.
#pragma once

#include <windows.h>

#include <cstddef>

// The PagefileUsage of `process` once it has settled: read every 100 ms
// until two readings agree, for two seconds at most.
size_t SettledPrivateBytes(HANDLE process);

struct IdleProgramFigures {
  bool started = false;
  size_t privateBytes = 0;  // settled PagefileUsage of KestrovBenchIdle.exe
};

// Starts KestrovBenchIdle.exe from this program's directory, reads its
// settled private bytes and ends it.
IdleProgramFigures MeasureIdleProgram();
