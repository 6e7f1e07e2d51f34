#include "testkit/reference_service.h"

#include "testkit/child_process.h"
#include "testkit/failure.h"
#include "testkit/pipe_client.h"
#include "testkit/temp_files.h"

namespace {

UniqueFileHandle InheritableFile(const std::wstring& path) {
  SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
  return UniqueFileHandle(CreateFileW(path.c_str(), GENERIC_WRITE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      &inherit, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
}

}  // namespace

std::wstring ReferenceServiceProgram() { return ProgramDirectory() + L"KestrovScanService.exe"; }

ReferenceService::ReferenceService() : directory_(MakeTempDirectory(L"kestrov-service")) {}

ReferenceService::~ReferenceService() {
  Kill();
  RemoveTestDirectory(directory_);
}

bool ReferenceService::Launch(const std::vector<std::wstring>& arguments,
                              const std::wstring& program) {
  Kill();
  std::wstring line;
  for (const std::wstring& argument : arguments) line += L" " + Quoted(argument);
  UniqueFileHandle out = InheritableFile(PathOf(L"stdout.txt"));
  UniqueFileHandle err = InheritableFile(PathOf(L"stderr.txt"));
  process_.reset(StartProgram(program, line, out.get(), err.get()));
  return static_cast<bool>(process_);
}

bool ReferenceService::Start(const std::vector<std::wstring>& arguments, DWORD timeoutMs,
                             const std::wstring& program) {
  // A service a caller forgets ends by itself; the caller's own limit comes
  // later on the command line and wins.
  std::vector<std::wstring> all = {L"--max-seconds", L"300"};
  all.insert(all.end(), arguments.begin(), arguments.end());
  if (!Launch(all, program)) return false;
  // Polled: nothing signals that the service is up but its "serving" line,
  // written once every instance exists. The pipe alone is not enough: it may
  // still be the last service's, or this one's first instance of many. The
  // bound covers a slow Wine start.
  const ULONGLONG giveUp = GetTickCount64() + timeoutMs;
  while (Stderr().find("serving ") == std::string::npos || !ServicePipeExists()) {
    if (WaitForSingleObject(process_.get(), 20) == WAIT_OBJECT_0) {
      ReportKitFailure("the service exited at start: " + Stderr());
      return false;
    }
    if (GetTickCount64() >= giveUp) {
      ReportKitFailure("the service did not create its pipe");
      return false;
    }
  }
  return true;
}

bool ReferenceService::WaitForExit(DWORD timeoutMs, DWORD* exitCode) {
  if (!process_ || WaitForSingleObject(process_.get(), timeoutMs) != WAIT_OBJECT_0) return false;
  return GetExitCodeProcess(process_.get(), exitCode) != 0;
}

void ReferenceService::Kill() {
  if (!process_) return;
  const bool wasServing = WaitForSingleObject(process_.get(), 0) == WAIT_TIMEOUT &&
                          Stderr().find("serving ") != std::string::npos;
  TerminateProcess(process_.get(), 99);
  // Bounded only against a wedged process; termination is immediate.
  WaitForSingleObject(process_.get(), 10000);
  process_.reset();
  // The process can end before all of its pipe instances are gone, and the
  // next service must find the name free: polled, within the same bound.
  // Only one service serves the name, so once this one is gone it goes too.
  const ULONGLONG giveUp = GetTickCount64() + 10000;
  while (wasServing && ServicePipeExists() && GetTickCount64() < giveUp) Sleep(10);
}

std::string ReferenceService::Stdout() const { return ReadTextFile(PathOf(L"stdout.txt")); }
std::string ReferenceService::Stderr() const { return ReadTextFile(PathOf(L"stderr.txt")); }
