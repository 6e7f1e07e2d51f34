// KestrovLoadHost: one host process of the load run. T threads scan one
// sample N times each through the provider DLL, as the AMSI host does. The
// DLL's opens of the pipe and its waits for a free instance are watched
// through its import table, so that a scan that comes back without a verdict
// can be told apart: given up on the busy path (every instance was taken,
// which load may cause) or failed in any other way (which it must not).
//
//   KestrovLoadHost --provider DLL --expect detected|clean [--app NAME]
//                   [--threads T] [--scans N] [--no-address] FILE
//
// Prints one summary line (see Usage) and exits with 0 when every verdict
// was right, 1 when one was not, 2 when the run could not be set up.
#include "host/file_stream.h"
#include "host/latency.h"
#include "host/load_engine.h"
#include "host/options.h"
#include "host/provider_host.h"
#include "protocol/provider_identity.h"
#include "testkit/import_patch.h"

#include <objbase.h>

#include <atomic>
#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

namespace {

constexpr wchar_t Usage[] =
    L"usage: KestrovLoadHost --provider DLL --expect detected|clean [--app NAME]\n"
    L"                       [--threads T] [--scans N] [--no-address] FILE\n"
    L"prints: load host \"NAME\": S scans, D detected, C clean, B busy, W wrong, F failed;\n"
    L"        R reached the service; X scans/s; p50 A ms, p99 B ms, max C ms\n";

// What the DLL's pipe opens did during the current scan of this thread.
struct ScanOpens {
  unsigned opens = 0;
  unsigned busyOpens = 0;
  unsigned waits = 0;
  bool lastOpenBusy = false;
};
thread_local ScanOpens gScanOpens;

decltype(&CreateFileW) gRealCreateFile = nullptr;
decltype(&WaitNamedPipeW) gRealWaitNamedPipe = nullptr;

HANDLE WINAPI WatchCreateFile(LPCWSTR name, DWORD access, DWORD share,
                              LPSECURITY_ATTRIBUTES security, DWORD disposition, DWORD flags,
                              HANDLE templateFile) {
  const HANDLE file =
      gRealCreateFile(name, access, share, security, disposition, flags, templateFile);
  const DWORD error = GetLastError();
  ++gScanOpens.opens;
  gScanOpens.lastOpenBusy = file == INVALID_HANDLE_VALUE && error == ERROR_PIPE_BUSY;
  if (gScanOpens.lastOpenBusy) ++gScanOpens.busyOpens;
  SetLastError(error);
  return file;
}

BOOL WINAPI WatchWaitNamedPipe(LPCWSTR name, DWORD timeoutMs) {
  ++gScanOpens.waits;
  return gRealWaitNamedPipe(name, timeoutMs);
}

// A scan that ended on the busy path: its last open found every instance
// taken after at least one wait for a free one, or its wait gave up.
bool EndedOnBusyPath(const ScanOpens& opens) { return opens.lastOpenBusy && opens.waits >= 1; }

// Sorts every scan into detected, clean, busy, wrong or failed, with the
// pipe opens that the scan's thread saw.
class BusyPathWatch : public ScanObserver {
 public:
  explicit BusyPathWatch(bool expectDetected) : expectDetected_(expectDetected) {}

  void BeforeScan(unsigned long) override { gScanOpens = ScanOpens(); }
  void AfterScan(unsigned long scan, size_t, HRESULT hr, AMSI_RESULT result) override {
    busyOpens += static_cast<long>(gScanOpens.busyOpens);
    const bool detected = result == AMSI_RESULT_DETECTED;
    if (hr != S_OK) {
      ++failed;
    } else if (!detected && EndedOnBusyPath(gScanOpens)) {
      ++busy;
    } else if (detected != expectDetected_) {
      ++wrong;
      fwprintf(stderr, L"wrong verdict %lu (scan %lu; %u opens, %u busy, %u waits)\n",
               static_cast<unsigned long>(result), scan, gScanOpens.opens, gScanOpens.busyOpens,
               gScanOpens.waits);
    } else {
      ++(detected ? this->detected : clean);
    }
  }

  std::atomic<long> detected{0}, clean{0}, busy{0}, wrong{0}, failed{0}, busyOpens{0};

 private:
  const bool expectDetected_;
};

}  // namespace

int wmain(int argc, wchar_t** argv) {
  std::wstring dllPath, app = L"KestrovLoadHost", expect, file;
  unsigned long threads = 16, scans = 1000;
  bool offerAddress = true;
  for (int i = 1; i < argc; ++i) {
    const std::wstring arg = argv[i];
    const wchar_t* value = i + 1 < argc ? argv[i + 1] : nullptr;
    bool ok = true;
    if (arg == L"--no-address") {
      offerAddress = false;
      continue;
    }
    if (arg.rfind(L"--", 0) != 0) {
      file = arg;
      continue;
    }
    if (value == nullptr) {
      ok = false;
    } else if (arg == L"--provider") {
      dllPath = value;
    } else if (arg == L"--app") {
      app = value;
    } else if (arg == L"--expect") {
      expect = value;
    } else if (arg == L"--threads") {
      ok = ParseCount(value, 1, 64, &threads);
    } else if (arg == L"--scans") {
      ok = ParseCount(value, 1, 1000000, &scans);
    } else {
      ok = false;
    }
    if (!ok) {
      fwprintf(stderr, L"bad argument %ls\n%ls", arg.c_str(), Usage);
      return 2;
    }
    ++i;
  }
  if (dllPath.empty() || file.empty() || (expect != L"detected" && expect != L"clean")) {
    fwprintf(stderr, L"%ls", Usage);
    return 2;
  }

  ScanContent content;
  if (FAILED(content.LoadFile(file.c_str()))) {
    fwprintf(stderr, L"cannot read %ls\n", file.c_str());
    return 2;
  }
  const HRESULT initialized = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  int status = 2;
  {
    std::vector<LoadedProvider> providers(1);
    std::wstring failure;
    if (FAILED(providers[0].Load(dllPath, ProviderClassId, &failure))) {
      fwprintf(stderr, L"cannot load %ls: %ls\n", dllPath.c_str(), failure.c_str());
    } else {
      ImportHookSet hooks;
      const HMODULE dll = GetModuleHandleW(dllPath.c_str());
      if (!hooks.Add(dll, "KERNEL32.dll", "CreateFileW", &WatchCreateFile, &gRealCreateFile) ||
          !hooks.Add(dll, "KERNEL32.dll", "WaitNamedPipeW", &WatchWaitNamedPipe,
                     &gRealWaitNamedPipe)) {
        fwprintf(stderr, L"%ls does not import CreateFileW and WaitNamedPipeW\n", dllPath.c_str());
      } else {
        BusyPathWatch watch(expect == L"detected");
        LoadSettings settings;
        settings.providers = &providers;
        settings.stream.content = &content;
        settings.stream.appName = app.c_str();
        settings.stream.contentName = file.c_str();
        settings.stream.offerAddress = offerAddress;
        settings.scans = threads * scans;
        settings.threads = threads;
        settings.observer = &watch;
        LoadFigures figures;
        if (!RunLoad(settings, &figures)) {
          fwprintf(stderr, L"cannot start a scan thread: error %lu\n", GetLastError());
        } else {
          const std::vector<double>& sorted = figures.latencyMs;
          const long total = static_cast<long>(settings.scans);
          printf("load host \"%ls\": %ld scans, %ld detected, %ld clean, %ld busy, %ld wrong, "
                 "%ld failed; %ld reached the service; %ld busy opens; %.1f scans/s; p50 %.2f "
                 "ms, p99 %.2f ms, max %.2f ms\n",
                 app.c_str(), total, watch.detected.load(), watch.clean.load(), watch.busy.load(),
                 watch.wrong.load(), watch.failed.load(),
                 total - watch.busy.load() - watch.failed.load(), watch.busyOpens.load(),
                 figures.seconds > 0 ? static_cast<double>(total) / figures.seconds : 0.0,
                 NearestRankPercentile(sorted.data(), sorted.size(), 50),
                 NearestRankPercentile(sorted.data(), sorted.size(), 99), sorted.back());
          status = watch.wrong > 0 || watch.failed > 0 ? 1 : 0;
        }
      }
    }
  }
  if (SUCCEEDED(initialized)) CoUninitialize();
  return status;
}
