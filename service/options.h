// The scan service's settings: defaults, then the configuration file, then
// the command line, each overriding the one before.
//
// The configuration file (--config FILE) is UTF-8, one `key = value` a line;
// blank lines and lines whose first non-blank character is '#' are ignored.
// Its keys are the long option names without the dashes (`instances = 64`,
// `signatures = rules.txt`); a relative path in it is taken relative to the
// file's own directory. A bad line stops start-up (or a reload) with
// `FILE:LINE: reason`.
#pragma once

#include "service/scan_log.h"

#include <windows.h>

#include <string>
#include <utility>
#include <vector>

struct ServiceOptions {
  // Twice the scans expected at once: an instance takes a moment to listen
  // again after its client has gone, and a client that finds none listening
  // gives up after two short waits.
  DWORD instances = 128;
  DWORD connectionTimeoutMs = 5000;
  DWORD maxSeconds = 0;  // 0: until stopped
  std::wstring signaturesPath;
  LogFileSettings log;  // path empty: stdout in the foreground
};

enum class Command {
  Run,        // serve in the foreground, from a console
  Service,    // serve under the service control manager
  Install,    // create the Windows service with the options given
  Uninstall,  // stop and delete it
  Stop,       // stop the running service, whichever way it runs
  Help,
};

struct CommandLine {
  Command command = Command::Run;
  std::wstring configPath;  // full path; empty: no configuration file
  // The settings given on the command line, as option name and value (an
  // empty value for a flag), in their order, with relative paths made full.
  std::vector<std::pair<std::wstring, std::wstring>> settings;
};

// Parses argv[1..]. False with `error` set for a bad command line.
bool ParseCommandLine(int argc, wchar_t** argv, CommandLine* commandLine, std::wstring* error);
// The settings in force: defaults, the configuration file, the command
// line. False with `error` set (as FILE:LINE: reason for the file).
bool LoadOptions(const CommandLine& commandLine, ServiceOptions* options, std::wstring* error);
// The command line the installed service runs with: --service, the
// configuration file and every setting given.
std::wstring ServiceCommandArguments(const CommandLine& commandLine);
// Quotes one argument for a command line, as the C runtime splits it.
std::wstring QuoteArgument(const std::wstring& argument);

std::string UsageText();
