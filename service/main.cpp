// KestrovScanService: the scan service behind the provider DLLs, as a
// Windows service or in the foreground. See options.cpp (--help) for the
// command line and the configuration file, rules.h for the signature file,
// scan_log.h for the log and service_control.h for the service itself.
#include "service/options.h"
#include "service/scan_service.h"
#include "service/service_control.h"
#include "service/text.h"

int wmain(int argc, wchar_t** argv) {
  CommandLine commandLine;
  std::wstring error;
  if (!ParseCommandLine(argc, argv, &commandLine, &error)) {
    PrintError(error + L" (see --help)");
    return ExitBadSetup;
  }
  switch (commandLine.command) {
    case Command::Help:
      WriteUtf8(GetStdHandle(STD_OUTPUT_HANDLE), UsageText());
      return 0;
    case Command::Install:
      return InstallService(commandLine);
    case Command::Uninstall:
      return UninstallService();
    case Command::Stop:
      return StopRunningService();
    case Command::Service:
      return RunUnderServiceControl(commandLine);
    case Command::Run:
      break;
  }
  return RunInForeground(commandLine);
}
