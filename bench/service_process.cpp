#include "bench/service_process.h"

#include "bench/bench_support.h"
#include "fuzz/fuzz_support.h"

#include <psapi.h>

bool ServiceProcess::Start(const std::wstring& signaturesPath) {
  Stop();
  process_.reset(StartReferenceService(signaturesPath, L""));
  return static_cast<bool>(process_);
}

void ServiceProcess::Stop() {
  if (!process_) return;
  TerminateProcess(process_.get(), 0);
  // Termination is asynchronous; the pipe name is free only once the
  // process has really gone. Ten seconds is far more than that takes.
  WaitForSingleObject(process_.get(), 10000);
  process_.reset();
}

SIZE_T ServiceProcess::PrivateBytes() const { return ::PrivateBytes(process_.get()); }

SIZE_T ServiceProcess::PeakPrivateBytes() const {
  PROCESS_MEMORY_COUNTERS counters = {};
  counters.cb = sizeof counters;
  return K32GetProcessMemoryInfo(process_.get(), &counters, sizeof counters)
             ? counters.PeakPagefileUsage
             : 0;
}

MarkerRulesFile::MarkerRulesFile()
    : path_(WriteRuleFile(
          (L"kestrov-bench-rules-" + std::to_wstring(GetCurrentProcessId()) + L".txt").c_str(),
          std::string("BENCH text ") + DetectionMarker)),
      ok_(!path_.empty()) {}

MarkerRulesFile::~MarkerRulesFile() {
  if (!path_.empty()) DeleteFileW(path_.c_str());
}
