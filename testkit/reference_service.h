// The reference scan service (KestrovScanService.exe, built beside every
// test program), started for a test, a fuzz run or a measurement, with its
// standard output and error in files of a private directory that callers
// also use for signature and log files.
#pragma once

#include "platform/unique_handle.h"

#include <windows.h>

#include <string>
#include <vector>

// The service program beside this one.
std::wstring ReferenceServiceProgram();

class ReferenceService {
 public:
  ReferenceService();
  ~ReferenceService();
  ReferenceService(const ReferenceService&) = delete;
  ReferenceService& operator=(const ReferenceService&) = delete;

  // Starts `program` (by default the one beside this program; a copy
  // elsewhere for tests of installing it) with `arguments`, each quoted;
  // false (reported) if it cannot be started.
  bool Launch(const std::vector<std::wstring>& arguments,
              const std::wstring& program = ReferenceServiceProgram());
  // Launches with a limit of 300 s first (a later --max-seconds wins) and
  // waits until the pipe takes clients; false (reported) if the service
  // exited or did not get there within `timeoutMs`.
  bool Start(const std::vector<std::wstring>& arguments, DWORD timeoutMs = 20000,
             const std::wstring& program = ReferenceServiceProgram());
  // True with the exit code if the process ended within `timeoutMs`.
  bool WaitForExit(DWORD timeoutMs, DWORD* exitCode);
  // Ends the process and waits until its pipe is gone, so that the next
  // service finds the name free.
  void Kill();

  HANDLE process() const { return process_.get(); }
  DWORD processId() const { return process_ ? GetProcessId(process_.get()) : 0; }
  std::string Stdout() const;
  std::string Stderr() const;
  const std::wstring& directory() const { return directory_; }
  std::wstring PathOf(const wchar_t* name) const { return directory_ + L"\\" + name; }

 private:
  std::wstring directory_;
  UniqueKernelHandle process_;
};
