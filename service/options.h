// The scan service's command line.
#pragma once

#include <windows.h>

#include <string>

struct ServiceOptions {
  // Twice the scans expected at once: an instance takes a moment to listen
  // again after its client has gone, and a client that finds none listening
  // gives up after two short waits.
  DWORD instances = 128;
  DWORD connectionTimeoutMs = 5000;
  DWORD maxSeconds = 0;  // 0: until stopped
  std::wstring signaturesPath;
  std::wstring logPath;  // empty: stdout
};

enum class ParseOutcome { Run, Help, Error };

// Parses argv[1..]; on Error a message has been printed to stderr.
ParseOutcome ParseOptions(int argc, wchar_t** argv, ServiceOptions* options);
std::string UsageText();
