// The scan service as a Windows service: running under the service control
// manager, installing and uninstalling it, and stopping it from a command.
#pragma once

#include "protocol/provider_identity.h"
#include "service/options.h"

extern const wchar_t ServiceDisplayName[];  // Kestrov Scan Service

// Serves under the service control manager until it says stop. Returns the
// process's exit code.
int RunUnderServiceControl(const CommandLine& commandLine);
// Serves in the foreground until Ctrl-C, Ctrl-Break, the console closing,
// --stop or --max-seconds.
int RunInForeground(const CommandLine& commandLine);

// Creates the service to run this program with the command line's settings
// (checked first), and registers the event log source.
int InstallService(const CommandLine& commandLine);
// Stops (within a bound) and deletes the service and the event log source.
int UninstallService();
// Asks the running scan service to reload its configuration and rules: one
// in the foreground through its reload event, else the Windows service with
// SERVICE_CONTROL_PARAMCHANGE. Returns before the reload is done.
int ReloadRunningService();
// Stops the scan service that serves the pipe: one in the foreground through
// its stop event, else the Windows service through the service control
// manager; waits until the pipe is gone.
int StopRunningService();
