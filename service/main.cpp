// KestrovScanService: the reference scan service behind the provider DLLs.
// See options.cpp (--help) for the command line, rules.h for the signature
// file and scan_log.h for the log.
#include "platform/unique_handle.h"
#include "service/options.h"
#include "service/pipe_server.h"
#include "service/rules.h"
#include "service/scan_log.h"
#include "service/text.h"

namespace {

constexpr int ExitBadSetup = 2;
constexpr int ExitCannotServe = 3;
constexpr int ExitStopTimedOut = 4;

HANDLE stopEvent = nullptr;     // set to stop serving
HANDLE stoppedEvent = nullptr;  // set once every connection has ended

BOOL WINAPI OnConsoleControl(DWORD event) {
  SetEvent(stopEvent);
  if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT) {
    // The process ends when this handler returns; it waits for the clean
    // stop first, within the few seconds the system grants.
    WaitForSingleObject(stoppedEvent, 4000);
  }
  return TRUE;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  ServiceOptions options;
  switch (ParseOptions(argc, argv, &options)) {
    case ParseOutcome::Help:
      WriteUtf8(GetStdHandle(STD_OUTPUT_HANDLE), UsageText());
      return 0;
    case ParseOutcome::Error:
      return ExitBadSetup;
    case ParseOutcome::Run:
      break;
  }

  RuleSet rules;
  rules.AddBuiltInRules();
  std::wstring error;
  if (!options.signaturesPath.empty() && !rules.LoadSignatureFile(options.signaturesPath, &error)) {
    PrintError(error);
    return ExitBadSetup;
  }
  ScanLog log;
  if (!log.Open(options.logPath, &error)) {
    PrintError(error);
    return ExitBadSetup;
  }

  UniqueKernelHandle stop(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  UniqueKernelHandle stopped(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!stop || !stopped) {
    PrintError(L"cannot create events (error " + std::to_wstring(GetLastError()) + L")");
    return ExitCannotServe;
  }
  stopEvent = stop.get();
  stoppedEvent = stopped.get();
  SetConsoleCtrlHandler(OnConsoleControl, TRUE);

  ServerSettings settings;
  settings.instances = options.instances;
  settings.connectionTimeoutMs = options.connectionTimeoutMs;
  settings.rules = &rules;
  settings.log = &log;
  settings.stopEvent = stop.get();
  PipeServer server(settings);
  DWORD startError = 0;
  switch (server.Start(&startError)) {
    case StartResult::NameTaken:
      PrintError(std::wstring(ServicePipeName) +
                 L" is already being served; is another scan service running?");
      return ExitCannotServe;
    case StartResult::Failed:
      PrintError(L"cannot serve " + std::wstring(ServicePipeName) + L" (error " +
                 std::to_wstring(startError) + L")");
      return ExitCannotServe;
    case StartResult::Serving:
      break;
  }
  PrintError(L"serving " + std::wstring(ServicePipeName) + L" with " +
             std::to_wstring(options.instances) + L" instances and " +
             std::to_wstring(rules.ruleCount()) + L" rules");

  // Serves until Ctrl-C, the console closing or the --max-seconds limit;
  // waited for in pieces, since the limit can exceed one wait's range.
  const ULONGLONG endAt = GetTickCount64() + static_cast<ULONGLONG>(options.maxSeconds) * 1000;
  for (;;) {
    DWORD waitMs = INFINITE;
    if (options.maxSeconds > 0) {
      const ULONGLONG now = GetTickCount64();
      if (now >= endAt) break;
      const ULONGLONG left = endAt - now;
      waitMs = left > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<DWORD>(left);
    }
    if (WaitForSingleObject(stop.get(), waitMs) == WAIT_OBJECT_0) break;
  }
  SetEvent(stop.get());
  if (!server.Join()) {
    // A connection did not end within the stop's time limit, and its
    // thread still uses the rules, the log and the settings that this
    // function's locals own. Nothing may run against them once they are
    // destroyed: write out what the log holds and end the process here.
    log.Close();
    PrintError(L"stopped; a connection did not end in time");
    SetEvent(stopped.get());
    TerminateProcess(GetCurrentProcess(), ExitStopTimedOut);
  }
  log.Close();
  PrintError(L"stopped");
  SetEvent(stopped.get());
  return 0;
}
