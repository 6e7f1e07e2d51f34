#include "bench/service_stop.h"

#include "bench/raw_client.h"
#include "platform/unique_handle.h"
#include "protocol/provider_identity.h"
#include "testkit/child_process.h"
#include "testkit/pipe_client.h"
#include "testkit/reference_service.h"

#include <atomic>
#include <thread>

namespace {

// A started service is running and serving within this on a busy machine.
constexpr DWORD StartWaitMs = 30000;
// The service promises to end within 2 s of a stop; a process that has not
// ended after this is reported as a failure rather than waited for.
constexpr DWORD EndWaitMs = 20000;
// The manager takes a moment to mark an ended service stopped.
constexpr DWORD StoppedWaitMs = 10000;
// How long the clients scan before the stop, so that every one of them is
// mid-exchange or about to be when it comes.
constexpr DWORD LoadSettleMs = 500;

// Uninstalls the service when it goes out of scope, so that a failed
// measurement leaves no service installed (it would start with the prefix).
class InstalledService {
 public:
  InstalledService() { Uninstall(); }  // one left by an interrupted run
  ~InstalledService() { Uninstall(); }
  InstalledService(const InstalledService&) = delete;
  InstalledService& operator=(const InstalledService&) = delete;

  bool Install() {
    return RunProgram(ReferenceServiceProgram(), L"--install --log NUL") == 0;
  }

 private:
  static void Uninstall() { RunProgram(ReferenceServiceProgram(), L"--uninstall"); }
};

UniqueServiceHandle OpenKestrovService(DWORD access) {
  UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (!manager) return UniqueServiceHandle();
  return UniqueServiceHandle(OpenServiceW(manager.get(), ScanServiceName, access));
}

bool QueryStatus(SC_HANDLE service, SERVICE_STATUS_PROCESS* status) {
  DWORD needed = 0;
  return QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(status),
                              sizeof *status, &needed) != FALSE;
}

// Polls until the service is in `state` (and, for RUNNING, its pipe takes
// clients): the manager offers no wait for a state.
bool WaitForState(SC_HANDLE service, DWORD state, DWORD timeoutMs,
                  SERVICE_STATUS_PROCESS* status) {
  const ULONGLONG giveUp = GetTickCount64() + timeoutMs;
  for (;;) {
    if (QueryStatus(service, status) && status->dwCurrentState == state &&
        (state != SERVICE_RUNNING || ServicePipeExists())) {
      return true;
    }
    if (GetTickCount64() >= giveUp) return false;
    Sleep(20);
  }
}

// One start and stop; the stop's time in milliseconds, or a negative value
// with `failure` set.
double StartAndStop(SC_HANDLE service, unsigned loadClients, unsigned long* loadScans,
                    std::string* failure) {
  if (!StartServiceW(service, 0, nullptr)) {
    *failure = "StartServiceW failed, error " + std::to_string(GetLastError());
    return -1;
  }
  SERVICE_STATUS_PROCESS status = {};
  if (!WaitForState(service, SERVICE_RUNNING, StartWaitMs, &status)) {
    *failure = "the service did not reach SERVICE_RUNNING, state " +
               std::to_string(status.dwCurrentState);
    return -1;
  }
  UniqueKernelHandle process(OpenProcess(SYNCHRONIZE, FALSE, status.dwProcessId));
  if (!process) {
    *failure = "cannot open the service's process, error " + std::to_string(GetLastError());
    return -1;
  }

  const std::vector<BYTE> request =
      BuildRawRequest(BenchAppName, L"bench-stop", MarkedContent(1024));
  std::atomic<bool> stop{false};
  std::atomic<unsigned long> scans{0};
  std::vector<std::thread> clients;
  for (unsigned c = 0; c < loadClients; ++c) {
    clients.emplace_back([&] {
      while (!stop.load()) {
        const RawOutcome outcome = RawExchange(request);
        if (outcome == RawOutcome::Detected || outcome == RawOutcome::NotDetected) {
          ++scans;
        } else if (outcome == RawOutcome::Busy) {
          // As the provider does: wait for an instance rather than knock again.
          WaitNamedPipeW(ServicePipeName, 300);
        } else {
          // The service is going: no pipe to open; do not spin on it.
          Sleep(5);
        }
      }
    });
  }
  if (loadClients > 0) Sleep(LoadSettleMs);

  SERVICE_STATUS stopStatus = {};
  const long long asked = CounterNow();
  const BOOL sent = ControlService(service, SERVICE_CONTROL_STOP, &stopStatus);
  const DWORD sendError = GetLastError();
  const DWORD ended = sent ? WaitForSingleObject(process.get(), EndWaitMs) : WAIT_FAILED;
  const long long done = CounterNow();
  stop = true;
  for (std::thread& client : clients) client.join();
  *loadScans += scans.load();

  if (!sent) {
    *failure = "ControlService(STOP) failed, error " + std::to_string(sendError);
    return -1;
  }
  if (ended != WAIT_OBJECT_0) {
    *failure = "the service's process did not end within 20 s of the stop request";
    TerminateProcess(process.get(), 1);
    return -1;
  }
  if (!WaitForState(service, SERVICE_STOPPED, StoppedWaitMs, &status)) {
    *failure = "the manager does not report the service stopped";
    return -1;
  }
  return CounterMs(asked, done);
}

}  // namespace

StopFigures MeasureServiceStop(unsigned repetitions, unsigned loadClients) {
  StopFigures figures;
  figures.loadClients = loadClients;
  InstalledService installed;
  if (!installed.Install()) {
    figures.failure = "KestrovScanService.exe --install failed";
    return figures;
  }
  UniqueServiceHandle service =
      OpenKestrovService(SERVICE_START | SERVICE_STOP | SERVICE_QUERY_STATUS);
  if (!service) {
    figures.failure = "cannot open the installed service, error " + std::to_string(GetLastError());
    return figures;
  }
  // At rest and under load in turns, so that both see the same machine.
  for (unsigned k = 0; k < repetitions; ++k) {
    const double rest = StartAndStop(service.get(), 0, &figures.loadScans, &figures.failure);
    if (rest < 0) return figures;
    figures.atRestMs.push_back(rest);
    const double loaded =
        StartAndStop(service.get(), loadClients, &figures.loadScans, &figures.failure);
    if (loaded < 0) return figures;
    figures.underLoadMs.push_back(loaded);
  }
  figures.atRest = Summarize(figures.atRestMs);
  figures.underLoad = Summarize(figures.underLoadMs);
  figures.measured = true;
  return figures;
}
