// One scan of the host, and the verdict that ends every run.
#pragma once

#include "host/file_stream.h"
#include "host/provider_host.h"

#include <vector>

// The exit codes.
constexpr int ExitClean = 0;
constexpr int ExitDetected = 1;
constexpr int ExitError = 2;

// Prints the overall line and returns the exit code for it.
int OverallExit(bool failed, bool malware);

// One stream through every provider, a line per provider on standard
// output. `loadFailed`: a provider did not load, which makes the run an
// error even when the others ran.
int ScanOnce(const std::vector<LoadedProvider>& providers, const FileStreamSettings& settings,
             bool loadFailed);
