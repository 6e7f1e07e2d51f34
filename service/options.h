// The scan service's command line.
#pragma once

#include <windows.h>

#include <string>

struct ServiceOptions {
  DWORD instances = 64;
  DWORD connectionTimeoutMs = 5000;
  DWORD maxSeconds = 0;  // 0: until stopped
  std::wstring signaturesPath;
  std::wstring logPath;  // empty: stdout
};

enum class ParseOutcome { Run, Help, Error };

// Parses argv[1..]; on Error a message has been printed to stderr.
ParseOutcome ParseOptions(int argc, wchar_t** argv, ServiceOptions* options);
std::string UsageText();
