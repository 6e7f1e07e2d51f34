// A private pipe pair inside the test process: a client end opened like the
// service channel opens it (overlapped), and a plain synchronous server end
// that a test drives directly or from a thread.
#pragma once

#include "platform/unique_handle.h"

#include <vector>

struct PipePair {
  UniqueFileHandle server;
  UniqueFileHandle client;
};

// Creates a uniquely named one-instance pipe and connects its client end.
// `serverInBuffer` is the server's input buffer size: a client write larger
// than it stays pending until the server reads.
bool MakePipePair(PipePair* pair, DWORD serverInBuffer = 4096);

// Synchronous helpers for the server end.
bool ServerWrite(HANDLE server, const void* bytes, DWORD count);
// Reads exactly `count` bytes, or fewer if the pipe fails first.
std::vector<BYTE> ServerRead(HANDLE server, DWORD count);
// Bytes the client has written that the server has not read yet.
DWORD ServerBytesWaiting(HANDLE server);
