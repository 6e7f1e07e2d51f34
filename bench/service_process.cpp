#include "bench/service_process.h"

#include "bench/bench_support.h"

#include <psapi.h>

bool ServiceProcess::Start(const std::wstring& signaturesPath) {
  Stop();
  const std::wstring program = ProgramDirectory() + L"KestrovScanService.exe";
  // The service ends by itself after an hour should this program die
  // without stopping it.
  std::wstring command = L"\"" + program + L"\" --log NUL --max-seconds 3600 --signatures \"" +
                         signaturesPath + L"\"";
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info = {};
  if (!CreateProcessW(program.c_str(), &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                      &startup, &info)) {
    return false;
  }
  CloseHandle(info.hThread);
  process_.reset(info.hProcess);
  // The service needs a moment to create its instances: look for the pipe
  // for up to 30 s, and give up early when the service has exited.
  for (int attempt = 0; attempt < 300; ++attempt) {
    if (WaitNamedPipeW(ServicePipeName, 100)) return true;
    if (WaitForSingleObject(process_.get(), 100) == WAIT_OBJECT_0) break;
  }
  Stop();
  return false;
}

void ServiceProcess::Stop() {
  if (!process_) return;
  TerminateProcess(process_.get(), 0);
  // Termination is asynchronous; the pipe name is free only once the
  // process has really gone. Ten seconds is far more than that takes.
  WaitForSingleObject(process_.get(), 10000);
  process_.reset();
}

namespace {
bool MemoryCounters(HANDLE process, PROCESS_MEMORY_COUNTERS* counters) {
  *counters = PROCESS_MEMORY_COUNTERS();
  counters->cb = sizeof *counters;
  return process != nullptr && K32GetProcessMemoryInfo(process, counters, sizeof *counters);
}
}  // namespace

SIZE_T ServiceProcess::PrivateBytes() const {
  PROCESS_MEMORY_COUNTERS counters;
  return MemoryCounters(process_.get(), &counters) ? counters.PagefileUsage : 0;
}

SIZE_T ServiceProcess::PeakPrivateBytes() const {
  PROCESS_MEMORY_COUNTERS counters;
  return MemoryCounters(process_.get(), &counters) ? counters.PeakPagefileUsage : 0;
}

MarkerRulesFile::MarkerRulesFile() {
  wchar_t temp[MAX_PATH];
  const DWORD length = GetTempPathW(MAX_PATH, temp);
  if (length == 0 || length >= MAX_PATH) return;
  path_ = std::wstring(temp) + L"kestrov-bench-rules-" + std::to_wstring(GetCurrentProcessId()) +
          L".txt";
  UniqueFileHandle file(
      CreateFileW(path_.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
  const std::string line = std::string("BENCH text ") + DetectionMarker + "\n";
  DWORD written = 0;
  ok_ = file && WriteFile(file.get(), line.data(), static_cast<DWORD>(line.size()), &written,
                          nullptr) &&
        written == line.size();
}

MarkerRulesFile::~MarkerRulesFile() {
  if (!path_.empty()) DeleteFileW(path_.c_str());
}
