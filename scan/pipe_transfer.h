// Moving an exact number of bytes over the service pipe under an absolute
// tick deadline.
#pragma once

#include <windows.h>

enum class TransferDirection {
  Write,  // send the buffer with WriteFile
  Read,   // fill the buffer with ReadFile
};

// Moves exactly `count` bytes between `buffer` and `pipe` (opened for
// overlapped I/O) and returns true, or returns false once the tick `deadline`
// (GetTickCount64 milliseconds) is reached, the pipe fails or a request moves
// nothing. No I/O of the call is pending when it returns; the handle stays
// open. For Write the buffer is only read.
bool TransferWithDeadline(HANDLE pipe, TransferDirection direction, void* buffer, DWORD count,
                          ULONGLONG deadline);
