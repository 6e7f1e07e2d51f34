#include "service/service_control.h"

#include "platform/unique_handle.h"
#include "service/event_log.h"
#include "service/pipe_security.h"
#include "service/scan_service.h"
#include "service/text.h"

#include <sddl.h>

const wchar_t ServiceDisplayName[] = L"Kestrov Scan Service";

namespace {

constexpr wchar_t ServiceDescription[] =
    L"Judges the scripts and buffers that the Kestrov antimalware scan providers forward "
    L"from every process that scans through the Antimalware Scan Interface.";
constexpr wchar_t EventSourceKey[] =
    L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Kestrov";
// Set by `--stop` and `--reload` for a service that serves in the
// foreground. Only its own account (and the system) may set them.
constexpr wchar_t ForegroundStopEventName[] = L"Local\\KestrovScanService.Stop";
constexpr wchar_t ForegroundReloadEventName[] = L"Local\\KestrovScanService.Reload";
// How long --stop and --uninstall wait for the service to be gone: the
// service's own stop bound, and room for the process to end.
constexpr DWORD StopWaitMs = StopBoundMs + 3000;

std::wstring ErrorText(const wchar_t* what, DWORD error) {
  return std::wstring(what) + L" (error " + std::to_wstring(error) + L")";
}

std::wstring ProgramPath() {
  wchar_t path[MAX_PATH];
  const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
  return length == 0 || length >= MAX_PATH ? std::wstring() : std::wstring(path, length);
}

// True once nothing serves the pipe any more, within `timeoutMs`.
bool WaitUntilPipeGone(DWORD timeoutMs) {
  const ULONGLONG giveUp = GetTickCount64() + timeoutMs;
  for (;;) {
    // WaitNamedPipeW fails at once with ERROR_FILE_NOT_FOUND when no
    // instance exists, without connecting to one that does.
    if (!WaitNamedPipeW(ServicePipeName, 1) && GetLastError() == ERROR_FILE_NOT_FOUND) return true;
    if (GetTickCount64() >= giveUp) return false;
    // Polls: a service's exit cannot be waited for directly from here.
    Sleep(50);
  }
}

// Serves until `stop` is set or --max-seconds has passed, and has the
// service reload whenever `reload` (which may be null) is set. Waited for in
// pieces, since the limit can exceed one wait's range.
void ServeUntilStopped(ScanService* service, HANDLE stop, HANDLE reload) {
  const ULONGLONG maxSeconds = service->options().maxSeconds;
  const ULONGLONG endAt = GetTickCount64() + maxSeconds * 1000;
  const HANDLE waits[2] = {stop, reload};
  const DWORD count = reload != nullptr ? 2 : 1;
  for (;;) {
    DWORD waitMs = INFINITE;
    if (maxSeconds > 0) {
      const ULONGLONG now = GetTickCount64();
      if (now >= endAt) return;
      waitMs = endAt - now > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<DWORD>(endAt - now);
    }
    const DWORD woke = WaitForMultipleObjects(count, waits, FALSE, waitMs);
    if (woke == WAIT_OBJECT_0 + 1) {
      service->Reload();
      continue;
    }
    if (woke != WAIT_TIMEOUT) return;
  }
}

// ---- Under the service control manager ------------------------------------

struct ControlState {
  SERVICE_STATUS_HANDLE status = nullptr;
  SERVICE_STATUS current = {};
  HANDLE stopEvent = nullptr;    // manual-reset: stop or shutdown was asked for
  HANDLE reloadEvent = nullptr;  // auto-reset: paramchange was asked for
  const CommandLine* commandLine = nullptr;
  int exitCode = 0;
};
ControlState control;

void ReportStatus(DWORD state, DWORD waitHintMs, DWORD exitCode = NO_ERROR) {
  control.current.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  control.current.dwCurrentState = state;
  control.current.dwControlsAccepted =
      state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN |
                                     SERVICE_ACCEPT_PARAMCHANGE
                               : 0;
  control.current.dwWin32ExitCode =
      exitCode == NO_ERROR ? NO_ERROR : ERROR_SERVICE_SPECIFIC_ERROR;
  control.current.dwServiceSpecificExitCode = exitCode;
  control.current.dwWaitHint = waitHintMs;
  if (state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING) {
    ++control.current.dwCheckPoint;
  } else {
    control.current.dwCheckPoint = 0;
  }
  SetServiceStatus(control.status, &control.current);
}

DWORD WINAPI OnServiceControl(DWORD code, DWORD, void*, void*) {
  switch (code) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
      SetEvent(control.stopEvent);
      return NO_ERROR;
    case SERVICE_CONTROL_PARAMCHANGE:
      SetEvent(control.reloadEvent);
      return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE:
      return NO_ERROR;
    default:
      return ERROR_CALL_NOT_IMPLEMENTED;
  }
}

void WINAPI ServiceMain(DWORD, wchar_t**) {
  control.status = RegisterServiceCtrlHandlerExW(ScanServiceName, OnServiceControl, nullptr);
  if (control.status == nullptr) {
    control.exitCode = ExitFailed;
    return;
  }
  // Loading rules and creating 128 instances takes well under this.
  ReportStatus(SERVICE_START_PENDING, 5000);
  EventLog events;
  events.UseEventLog();
  int exitCode = 0;
  {
    ScanService service(*control.commandLine, true, &events);
    std::wstring error;
    exitCode = service.Start(&error);
    if (exitCode != 0) {
      events.StartFailed(error);
    } else {
      ReportStatus(SERVICE_RUNNING, 0);
      ServeUntilStopped(&service, control.stopEvent, control.reloadEvent);
      ReportStatus(SERVICE_STOP_PENDING, StopBoundMs + 1000);
      if (!service.Stop()) {
        // Threads still use the service's state: it is left as it is, the
        // log having been written, and the process ends here.
        events.StopIncomplete();
        ReportStatus(SERVICE_STOPPED, 0, ExitFailed);
        ExitProcess(ExitFailed);
      }
      events.Stopped();
    }
  }
  control.exitCode = exitCode;
  ReportStatus(SERVICE_STOPPED, 0, static_cast<DWORD>(exitCode));
}

// ---- In the foreground ----------------------------------------------------

HANDLE foregroundStop = nullptr;     // set to stop serving
HANDLE foregroundStopped = nullptr;  // set once the log is written

BOOL WINAPI OnConsoleControl(DWORD event) {
  SetEvent(foregroundStop);
  if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT) {
    // The process ends when this handler returns; it waits for the clean
    // stop first, within the few seconds the system grants.
    WaitForSingleObject(foregroundStopped, StopBoundMs + 1000);
  }
  return TRUE;
}

// An event that --stop or --reload sets, created so that only this account
// and the system may set it. Null when it cannot be had: the service then
// stops only from its console or by --max-seconds, and does not reload.
HANDLE CreateForegroundEvent(const wchar_t* name, BOOL manualReset) {
  const std::wstring sddl = L"D:P(A;;GA;;;SY)(A;;GA;;;" + OwnAccountSid() + L")";
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1,
                                                            &descriptor, nullptr)) {
    return nullptr;
  }
  SECURITY_ATTRIBUTES security = {sizeof security, descriptor, FALSE};
  HANDLE event = CreateEventW(&security, manualReset, FALSE, name);
  const DWORD error = GetLastError();
  LocalFree(descriptor);
  // Somebody else's event of that name is not to be trusted.
  if (event != nullptr && error == ERROR_ALREADY_EXISTS) {
    CloseHandle(event);
    return nullptr;
  }
  return event;
}

}  // namespace

int RunUnderServiceControl(const CommandLine& commandLine) {
  UniqueKernelHandle stop(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  UniqueKernelHandle reload(CreateEventW(nullptr, FALSE, FALSE, nullptr));
  if (!stop || !reload) {
    PrintError(ErrorText(L"cannot create events", GetLastError()));
    return ExitFailed;
  }
  control.stopEvent = stop.get();
  control.reloadEvent = reload.get();
  control.commandLine = &commandLine;
  wchar_t name[sizeof ScanServiceName / sizeof(wchar_t)];
  lstrcpyW(name, ScanServiceName);
  const SERVICE_TABLE_ENTRYW table[] = {{name, ServiceMain}, {nullptr, nullptr}};
  if (!StartServiceCtrlDispatcherW(table)) {
    PrintError(ErrorText(L"--service is for the service control manager; run without it to "
                         L"serve in the foreground",
                         GetLastError()));
    return ExitFailed;
  }
  return control.exitCode;
}

int RunInForeground(const CommandLine& commandLine) {
  UniqueKernelHandle stop(CreateForegroundEvent(ForegroundStopEventName, TRUE));
  UniqueKernelHandle reload(CreateForegroundEvent(ForegroundReloadEventName, FALSE));
  UniqueKernelHandle stopped(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!stopped) {
    PrintError(ErrorText(L"cannot create events", GetLastError()));
    return ExitFailed;
  }
  if (!stop) {
    // Another stop event of that name exists (another foreground service, or
    // somebody else's): this service still stops from its console.
    stop.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!stop) return ExitFailed;
  }
  foregroundStop = stop.get();
  foregroundStopped = stopped.get();
  SetConsoleCtrlHandler(OnConsoleControl, TRUE);

  EventLog events;
  ScanService service(commandLine, false, &events);
  std::wstring error;
  const int started = service.Start(&error);
  if (started != 0) {
    PrintError(error);
    return started;
  }
  ServeUntilStopped(&service, stop.get(), reload.get());
  if (!service.Stop()) {
    events.StopIncomplete();
    SetEvent(stopped.get());
    ExitProcess(ExitFailed);
  }
  events.Stopped();
  SetEvent(stopped.get());
  return 0;
}

int InstallService(const CommandLine& commandLine) {
  // Everything is checked before anything is created: a bad option, a
  // configuration or signature file with an error.
  ServiceOptions options;
  std::wstring error;
  if (!LoadOptions(commandLine, &options, &error)) {
    PrintError(error);
    return ExitBadSetup;
  }
  if (!options.signaturesPath.empty()) {
    RuleSet rules;
    if (!rules.LoadSignatureFile(options.signaturesPath, &error)) {
      PrintError(error);
      return ExitBadSetup;
    }
  }
  const std::wstring program = ProgramPath();
  if (program.empty()) {
    PrintError(L"cannot find this program's own path");
    return ExitFailed;
  }
  const std::wstring binaryPath = QuoteArgument(program) + L" " + ServiceCommandArguments(commandLine);

  UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE));
  if (!manager) {
    PrintError(ErrorText(L"cannot reach the service control manager", GetLastError()));
    return ExitFailed;
  }
  UniqueServiceHandle service(CreateServiceW(
      manager.get(), ScanServiceName, ServiceDisplayName, SERVICE_ALL_ACCESS,
      SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, binaryPath.c_str(),
      nullptr, nullptr, nullptr, nullptr /* LocalSystem */, nullptr));
  if (!service) {
    const DWORD code = GetLastError();
    PrintError(code == ERROR_SERVICE_EXISTS
                   ? std::wstring(ScanServiceName) + L" is installed already; --uninstall it first"
                   : ErrorText(L"cannot create the service", code));
    return ExitFailed;
  }

  SERVICE_DESCRIPTIONW description = {const_cast<wchar_t*>(ServiceDescription)};
  ChangeServiceConfig2W(service.get(), SERVICE_CONFIG_DESCRIPTION, &description);
  // Restarted after a failure: 5 s, 10 s, then 60 s; the count starts
  // afresh after a day without one.
  SC_ACTION actions[3] = {{SC_ACTION_RESTART, 5000}, {SC_ACTION_RESTART, 10000},
                          {SC_ACTION_RESTART, 60000}};
  SERVICE_FAILURE_ACTIONSW failure = {};
  failure.dwResetPeriod = 24 * 60 * 60;
  failure.cActions = 3;
  failure.lpsaActions = actions;
  ChangeServiceConfig2W(service.get(), SERVICE_CONFIG_FAILURE_ACTIONS, &failure);

  HKEY key = nullptr;
  LSTATUS status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, EventSourceKey, 0, nullptr, 0,
                                   KEY_SET_VALUE, nullptr, &key, nullptr);
  if (status == ERROR_SUCCESS) {
    const DWORD types = EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;
    status = RegSetValueExW(key, L"EventMessageFile", 0, REG_EXPAND_SZ,
                            reinterpret_cast<const BYTE*>(program.c_str()),
                            static_cast<DWORD>((program.size() + 1) * sizeof(wchar_t)));
    if (status == ERROR_SUCCESS) {
      status = RegSetValueExW(key, L"TypesSupported", 0, REG_DWORD,
                              reinterpret_cast<const BYTE*>(&types), sizeof types);
    }
    RegCloseKey(key);
  }
  if (status != ERROR_SUCCESS) {
    PrintError(ErrorText(L"installed, but cannot register the event log source",
                         static_cast<DWORD>(status)));
    return ExitFailed;
  }
  PrintError(std::wstring(L"installed ") + ScanServiceName + L": " + binaryPath);
  return 0;
}

int UninstallService() {
  UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (!manager) {
    PrintError(ErrorText(L"cannot reach the service control manager", GetLastError()));
    return ExitFailed;
  }
  UniqueServiceHandle service(
      OpenServiceW(manager.get(), ScanServiceName, SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE));
  if (!service) {
    const DWORD code = GetLastError();
    if (code != ERROR_SERVICE_DOES_NOT_EXIST) {
      PrintError(ErrorText(L"cannot open the service", code));
      return ExitFailed;
    }
    PrintError(std::wstring(ScanServiceName) + L" is not installed");
  } else {
    SERVICE_STATUS status = {};
    if (ControlService(service.get(), SERVICE_CONTROL_STOP, &status)) {
      const ULONGLONG giveUp = GetTickCount64() + StopWaitMs;
      // Polls until stopped: the manager offers no wait for it.
      while (QueryServiceStatus(service.get(), &status) &&
             status.dwCurrentState != SERVICE_STOPPED && GetTickCount64() < giveUp) {
        Sleep(50);
      }
    }
    if (!DeleteService(service.get()) && GetLastError() != ERROR_SERVICE_MARKED_FOR_DELETE) {
      PrintError(ErrorText(L"cannot delete the service", GetLastError()));
      return ExitFailed;
    }
    PrintError(std::wstring(L"uninstalled ") + ScanServiceName);
  }
  const LSTATUS deleted = RegDeleteTreeW(HKEY_LOCAL_MACHINE, EventSourceKey);
  if (deleted != ERROR_SUCCESS && deleted != ERROR_FILE_NOT_FOUND) {
    PrintError(ErrorText(L"cannot remove the event log source", static_cast<DWORD>(deleted)));
    return ExitFailed;
  }
  return 0;
}

// Sends `control` to the running scan service: a foreground one through its
// event, else the installed one through the service control manager.
bool SendControl(DWORD control, const wchar_t* foregroundEvent, DWORD access) {
  UniqueKernelHandle foreground(OpenEventW(EVENT_MODIFY_STATE, FALSE, foregroundEvent));
  if (foreground) return SetEvent(foreground.get()) != 0;
  UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  UniqueServiceHandle service(manager ? OpenServiceW(manager.get(), ScanServiceName, access)
                                      : nullptr);
  SERVICE_STATUS status = {};
  return service && ControlService(service.get(), control, &status);
}

int ReloadRunningService() {
  if (!SendControl(SERVICE_CONTROL_PARAMCHANGE, ForegroundReloadEventName,
                   SERVICE_PAUSE_CONTINUE)) {
    PrintError(L"no scan service is running");
    return ExitFailed;
  }
  PrintError(L"asked the scan service to reload");
  return 0;
}

int StopRunningService() {
  if (!SendControl(SERVICE_CONTROL_STOP, ForegroundStopEventName, SERVICE_STOP)) {
    PrintError(L"no scan service is running");
    return ExitFailed;
  }
  if (!WaitUntilPipeGone(StopWaitMs)) {
    PrintError(L"asked the scan service to stop, but it still serves");
    return ExitFailed;
  }
  PrintError(L"stopped the scan service");
  return 0;
}
