// The running scan service, the same in the foreground and under the
// service control manager: settings, rules, the scan log and the pipe
// server, started together, reloaded together and stopped within a bound.
#pragma once

#include "service/event_log.h"
#include "service/options.h"
#include "service/pipe_server.h"
#include "service/rules.h"
#include "service/scan_log.h"

#include <memory>
#include <string>

constexpr int ExitFailed = 1;
constexpr int ExitBadSetup = 2;
constexpr int ExitCannotServe = 3;

// The whole stop, from the request to the log written, stays within this.
constexpr DWORD StopBoundMs = 2000;

class ScanService {
 public:
  ScanService(const CommandLine& commandLine, bool underServiceControl, EventLog* events);
  ~ScanService();
  ScanService(const ScanService&) = delete;
  ScanService& operator=(const ScanService&) = delete;

  // Loads the settings and rules, opens the log and starts serving. Returns
  // 0, or an exit code with `error` set.
  int Start(std::wstring* error);
  // Reads the configuration and the rules again and puts them in force; on
  // any error everything stays as it was. Reports either way.
  bool Reload();
  // Stops serving and writes the log, within StopBoundMs. False when that
  // did not finish: threads still use the service's state, and the caller
  // must end the process at once, without destroying anything.
  bool Stop();

  const ServiceOptions& options() const { return options_; }

 private:
  bool LoadRules(const ServiceOptions& options, std::shared_ptr<const RuleSet>* rules,
                 std::wstring* error);
  LogFileSettings LogSettings(const ServiceOptions& options) const;

  CommandLine commandLine_;
  bool underServiceControl_;
  EventLog* events_;
  ServiceOptions options_;
  ScanSettings scanSettings_;
  ScanLog log_;
  std::unique_ptr<PipeServer> server_;
  bool stopped_ = true;
};

// The log file of a service that was given none: under the common
// application data folder, %ProgramData%\Kestrov\scans.log.
std::wstring DefaultServiceLogPath();
