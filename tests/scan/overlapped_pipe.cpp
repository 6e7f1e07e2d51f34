#include "tests/scan/overlapped_pipe.h"

#include <cstdio>

bool MakePipePair(PipePair* pair, DWORD serverInBuffer) {
  static LONG counter = 0;
  wchar_t name[96];
  swprintf(name, 96, L"\\\\.\\pipe\\KestrovTest-%lu-%ld", GetCurrentProcessId(),
           InterlockedIncrement(&counter));
  pair->server.reset(CreateNamedPipeW(name, PIPE_ACCESS_DUPLEX | FILE_FLAG_FIRST_PIPE_INSTANCE,
                                      PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1, 4096,
                                      serverInBuffer, 0, nullptr));
  if (!pair->server) return false;
  pair->client.reset(CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_OVERLAPPED, nullptr));
  if (!pair->client) return false;
  return ConnectNamedPipe(pair->server.get(), nullptr) || GetLastError() == ERROR_PIPE_CONNECTED;
}

bool ServerWrite(HANDLE server, const void* bytes, DWORD count) {
  DWORD written = 0xdeadbeef;
  return WriteFile(server, bytes, count, &written, nullptr) && written == count;
}

std::vector<BYTE> ServerRead(HANDLE server, DWORD count) {
  std::vector<BYTE> bytes(count);
  DWORD total = 0;
  while (total < count) {
    DWORD got = 0;
    if (!ReadFile(server, bytes.data() + total, count - total, &got, nullptr) || got == 0) break;
    total += got;
  }
  bytes.resize(total);
  return bytes;
}

DWORD ServerBytesWaiting(HANDLE server) {
  DWORD available = 0xdeadbeef;
  if (!PeekNamedPipe(server, nullptr, 0, nullptr, &available, nullptr)) return 0xdeadbeef;
  return available;
}
