// amsiscan's command line.
#pragma once

#include <windows.h>

#include <string>

constexpr unsigned long MaxRepeat = 1000000;
// The waits on the worker threads cover them all in one call.
constexpr unsigned long MaxThreads = MAXIMUM_WAIT_OBJECTS;

struct Options {
  bool help = false;
  bool directProvider = false;
  std::wstring providerDll;
  bool classIdGiven = false;
  CLSID classId = {};
  std::wstring appName = L"amsiscan";
  bool offerAddress = true;
  bool loadRun = false;  // --repeat or --threads given
  unsigned long repeat = 1;
  unsigned long threads = 1;
  bool fromStdin = true;
  std::wstring file;
};

// False, with the reason on standard error, for a command line that cannot run.
bool ParseOptions(int argc, wchar_t** argv, Options* options);
std::wstring UsageText();

// A decimal count from `low` to `high`, digits only.
bool ParseCount(const wchar_t* text, unsigned long low, unsigned long high, unsigned long* out);
