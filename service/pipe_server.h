// The scan service's pipe: a fixed set of overlapped instances of
// \\.\pipe\KestrovAmsi, each served by its own thread, one request per
// connection.
#pragma once

#include "protocol/wire_format.h"
#include "service/rules.h"
#include "service/scan_log.h"

#include <windows.h>

#include <memory>
#include <vector>

struct ServerSettings {
  DWORD instances = 128;
  DWORD connectionTimeoutMs = 5000;
  const RuleSet* rules = nullptr;
  ScanLog* log = nullptr;
  HANDLE stopEvent = nullptr;  // manual-reset; once set, every connection ends
};

enum class StartResult {
  Serving,
  NameTaken,  // another server owns the pipe name
  Failed,     // see the error code
};

class PipeServer {
 public:
  explicit PipeServer(const ServerSettings& settings);
  ~PipeServer();
  PipeServer(const PipeServer&) = delete;
  PipeServer& operator=(const PipeServer&) = delete;

  // Creates every instance (the first one claiming the name) and starts
  // serving them.
  StartResult Start(DWORD* error);
  // After the stop event is set: waits for every instance to finish, for a
  // few seconds at most. False when one is still running then: it goes on
  // using the settings (the rules, the log), which must then outlive it.
  bool Join();

  struct Instance;

 private:
  ServerSettings settings_;
  std::vector<std::unique_ptr<Instance>> instances_;
  bool joined_ = true;
};
