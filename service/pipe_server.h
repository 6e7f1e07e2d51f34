// The scan service's pipe: a fixed set of overlapped instances of
// \\.\pipe\KestrovAmsi, served through one I/O completion port by a few
// worker threads, one request per connection.
//
// Each instance is a small state machine (listening, reading the request,
// replying, draining) that moves on when its transfer completes. Buffers
// and matchers belong to connections, not instances: an idle instance holds
// its pipe handle and nothing else. A watchdog thread cancels the transfer
// of a connection that outlives its time limit, so a stalled client holds
// one instance and nothing more.
#pragma once

#include "platform/unique_handle.h"
#include "service/event_log.h"
#include "service/rules.h"
#include "service/scan_log.h"

#include <windows.h>

#include <atomic>
#include <memory>
#include <vector>

extern const wchar_t ServicePipeName[];

// What connections read from the rest of the service. Reloading replaces
// the rules and the time limit while connections are being served: each
// connection takes the values in force when it begins.
class ScanSettings {
 public:
  std::shared_ptr<const RuleSet> rules() const { return std::atomic_load(&rules_); }
  void setRules(std::shared_ptr<const RuleSet> rules) { std::atomic_store(&rules_, std::move(rules)); }
  DWORD connectionTimeoutMs() const { return timeoutMs_.load(); }
  void setConnectionTimeoutMs(DWORD ms) { timeoutMs_.store(ms); }

 private:
  std::shared_ptr<const RuleSet> rules_;
  std::atomic<DWORD> timeoutMs_{5000};
};

struct ServerSettings {
  DWORD instances = 128;
  const ScanSettings* scan = nullptr;
  ScanLog* log = nullptr;
  EventLog* events = nullptr;  // detections are reported here too; may be null
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

  // Creates every instance (the first one claiming the name), the port and
  // the threads, and starts listening.
  StartResult Start(DWORD* error);
  // Cancels every transfer and waits, at most `timeoutMs`, until every
  // instance has closed and every thread has ended. Answered scans have
  // been handed to the log by then. False when the time ran out: threads
  // may still be running, and the server must then be left alone until the
  // process ends.
  bool Stop(DWORD timeoutMs);
  // Wakes the watchdog after the connection time limit was changed.
  void SettingsChanged();

  // The number of worker threads, chosen from the processor count.
  DWORD workerCount() const { return static_cast<DWORD>(workers_.size()); }

  struct Instance;
  struct Session;

 private:
  friend struct Instance;
  static DWORD WINAPI WorkerThread(void* server);
  static DWORD WINAPI WatchdogThread(void* server);
  void Work();
  void Watch();
  std::unique_ptr<Session> TakeSession();
  void ReturnSession(std::unique_ptr<Session> session);
  void InstanceClosed();

  ServerSettings settings_;
  std::vector<std::unique_ptr<Instance>> instances_;
  UniqueKernelHandle port_;
  std::vector<UniqueKernelHandle> workers_;
  UniqueKernelHandle watchdog_;
  UniqueKernelHandle watchdogWake_;  // auto-reset: deadlines changed, or stop
  UniqueKernelHandle allClosed_;     // manual-reset: every instance closed
  std::atomic<bool> stopping_{false};
  std::atomic<LONG> openInstances_{0};
  // When the watchdog wakes next (a tick), so that a connection only wakes
  // it when its own deadline is earlier.
  std::atomic<ULONGLONG> watchdogWakesAt_{~0ULL};
  SRWLOCK sessionsLock_;
  std::vector<std::unique_ptr<Session>> freeSessions_;  // under sessionsLock_
  bool stopped_ = true;
  bool listening_ = false;  // the instances were set listening
};
