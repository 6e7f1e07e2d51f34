#include "scan/service_channel.h"

#include "platform/unique_handle.h"
#include "scan/directory_key.h"

namespace {

HANDLE OpenServicePipe() {
  return CreateFileW(ServicePipeName, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                     ServicePipeOpenFlags, nullptr);
}

// True when the process serving `pipe` runs from an image whose directory
// key is the module's own. The process handle lives only around the query.
bool ServerRunsFromModuleDirectory(HANDLE pipe) {
  ULONG serverProcessId = 0;
  if (!GetNamedPipeServerProcessId(pipe, &serverProcessId) || serverProcessId == 0) {
    return false;
  }

  wchar_t imagePath[MAX_PATH];
  BOOL queried;
  {
    UniqueKernelHandle process(
        OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, serverProcessId));
    if (!process) return false;
    DWORD size = MAX_PATH;
    queried = QueryFullProcessImageNameW(process.get(), 0, imagePath, &size);
  }
  if (!queried) return false;
  if (moduleDirectoryKey[0] == L'\0') return false;

  wchar_t serverKey[DirectoryKeyChars];
  MakeDirectoryKey(imagePath, serverKey);
  return DirectoryKeysEqual(serverKey, moduleDirectoryKey);
}

}  // namespace

HANDLE OpenServiceChannel() {
  UniqueFileHandle pipe(OpenServicePipe());
  if (!pipe) {
    // Only a busy pipe is worth waiting for; any other error (no server: 2)
    // ends the attempt at once. One wait, one more open.
    if (GetLastError() != ERROR_PIPE_BUSY) return INVALID_HANDLE_VALUE;
    if (!WaitNamedPipeW(ServicePipeName, PipeBusyWaitMs)) return INVALID_HANDLE_VALUE;
    pipe.reset(OpenServicePipe());
    if (!pipe) {
      // Another client took the freed instance first. The scan still gives
      // the service one more wait before it gives up, but opens no third time.
      if (GetLastError() == ERROR_PIPE_BUSY) WaitNamedPipeW(ServicePipeName, PipeBusyWaitMs);
      return INVALID_HANDLE_VALUE;
    }
  }
  if (!ServerRunsFromModuleDirectory(pipe.get())) return INVALID_HANDLE_VALUE;
  return pipe.release();
}
