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
#include "fuzz/fuzz_support.h"
#include "host/file_stream.h"
#include "host/latency.h"
#include "host/provider_host.h"
#include "platform/unique_handle.h"
#include "tests/support/import_patch.h"

#include <algorithm>
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
thread_local ScanOpens scanOpens;

decltype(&CreateFileW) realCreateFile = nullptr;
decltype(&WaitNamedPipeW) realWaitNamedPipe = nullptr;

HANDLE WINAPI WatchCreateFile(LPCWSTR name, DWORD access, DWORD share,
                              LPSECURITY_ATTRIBUTES security, DWORD disposition, DWORD flags,
                              HANDLE templateFile) {
  const HANDLE file =
      realCreateFile(name, access, share, security, disposition, flags, templateFile);
  const DWORD error = GetLastError();
  ++scanOpens.opens;
  scanOpens.lastOpenBusy = file == INVALID_HANDLE_VALUE && error == ERROR_PIPE_BUSY;
  if (scanOpens.lastOpenBusy) ++scanOpens.busyOpens;
  SetLastError(error);
  return file;
}

BOOL WINAPI WatchWaitNamedPipe(LPCWSTR name, DWORD timeoutMs) {
  ++scanOpens.waits;
  return realWaitNamedPipe(name, timeoutMs);
}

// A scan that ended on the busy path: its last open found every instance
// taken after at least one wait for a free one, or its wait gave up.
bool EndedOnBusyPath(const ScanOpens& opens) { return opens.lastOpenBusy && opens.waits >= 1; }

struct Run {
  IAntimalwareProvider* provider = nullptr;
  FileStreamSettings settings;
  bool expectDetected = false;
  unsigned long scansPerThread = 0;
  long long frequency = 1;
  std::atomic<long> detected{0}, clean{0}, busy{0}, wrong{0}, failed{0}, busyOpens{0};
  std::vector<double> latencyMs;  // per thread, scansPerThread slots each
};

struct Worker {
  Run* run;
  unsigned long index;
};

long long Now() {
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  return now.QuadPart;
}

DWORD WINAPI ScanThread(void* parameter) {
  const Worker& worker = *static_cast<Worker*>(parameter);
  Run& run = *worker.run;
  for (unsigned long i = 0; i < run.scansPerThread; ++i) {
    IAmsiStream* stream = nullptr;
    if (FAILED(CreateFileStream(run.settings, &stream))) {
      ++run.failed;
      continue;
    }
    scanOpens = ScanOpens();
    AMSI_RESULT result = AMSI_RESULT_NOT_DETECTED;
    const long long start = Now();
    const HRESULT hr = run.provider->lpVtbl->Scan(run.provider, stream, &result);
    run.latencyMs[worker.index * run.scansPerThread + i] = ElapsedMs(start, Now(), run.frequency);
    stream->lpVtbl->Release(stream);
    run.busyOpens += static_cast<long>(scanOpens.busyOpens);

    const bool detected = result == AMSI_RESULT_DETECTED;
    if (hr != S_OK) {
      ++run.failed;
    } else if (!detected && EndedOnBusyPath(scanOpens)) {
      ++run.busy;
    } else if (detected != run.expectDetected) {
      ++run.wrong;
      fwprintf(stderr, L"wrong verdict %lu (thread %lu, scan %lu; %u opens, %u busy, %u waits)\n",
               static_cast<unsigned long>(result), worker.index, i, scanOpens.opens,
               scanOpens.busyOpens, scanOpens.waits);
    } else {
      ++(detected ? run.detected : run.clean);
    }
  }
  return 0;
}

bool ParseCount(const wchar_t* text, unsigned long low, unsigned long high, unsigned long* out) {
  wchar_t* end = nullptr;
  const unsigned long value = wcstoul(text, &end, 10);
  if (end == text || *end != L'\0' || value < low || value > high) return false;
  *out = value;
  return true;
}

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
    LoadedProvider loaded;
    std::wstring failure;
    if (FAILED(loaded.Load(dllPath, ProviderClassId, &failure))) {
      fwprintf(stderr, L"cannot load %ls: %ls\n", dllPath.c_str(), failure.c_str());
    } else {
      const HMODULE dll = GetModuleHandleW(dllPath.c_str());
      ImportPatch createFile(dll, "KERNEL32.dll", "CreateFileW",
                             reinterpret_cast<const void*>(&WatchCreateFile));
      ImportPatch waitNamedPipe(dll, "KERNEL32.dll", "WaitNamedPipeW",
                                reinterpret_cast<const void*>(&WatchWaitNamedPipe));
      if (!createFile.ok() || !waitNamedPipe.ok()) {
        fwprintf(stderr, L"%ls does not import CreateFileW and WaitNamedPipeW\n", dllPath.c_str());
      } else {
        realCreateFile = reinterpret_cast<decltype(&CreateFileW)>(createFile.original());
        realWaitNamedPipe =
            reinterpret_cast<decltype(&WaitNamedPipeW)>(waitNamedPipe.original());
        status = 0;
        Run run;
        run.provider = loaded.provider();
        run.settings.content = &content;
        run.settings.appName = app.c_str();
        run.settings.contentName = file.c_str();
        run.settings.offerAddress = offerAddress;
        run.expectDetected = expect == L"detected";
        run.scansPerThread = scans;
        LARGE_INTEGER frequency;
        QueryPerformanceFrequency(&frequency);
        run.frequency = frequency.QuadPart;
        run.latencyMs.assign(threads * scans, 0.0);

        std::vector<Worker> workers(threads);
        std::vector<UniqueKernelHandle> handles;
        std::vector<HANDLE> waits;
        const long long start = Now();
        for (unsigned long t = 0; t < threads; ++t) {
          workers[t] = Worker{&run, t};
          UniqueKernelHandle thread(CreateThread(nullptr, 0, ScanThread, &workers[t], 0, nullptr));
          if (!thread) {
            fwprintf(stderr, L"cannot start a scan thread: error %lu\n", GetLastError());
            status = 2;
            break;
          }
          waits.push_back(thread.get());
          handles.push_back(std::move(thread));
        }
        // Every scan ends within its own bound, so the threads end.
        for (HANDLE thread : waits) WaitForSingleObject(thread, INFINITE);
        const double seconds = ElapsedMs(start, Now(), run.frequency) / 1000.0;

        if (status == 0) {
          std::vector<double>& sorted = run.latencyMs;
          std::sort(sorted.begin(), sorted.end());
          const long total = static_cast<long>(threads * scans);
          printf("load host \"%ls\": %ld scans, %ld detected, %ld clean, %ld busy, %ld wrong, "
                 "%ld failed; %ld reached the service; %ld busy opens; %.1f scans/s; p50 %.2f "
                 "ms, p99 %.2f ms, max %.2f ms\n",
                 app.c_str(), total, run.detected.load(), run.clean.load(), run.busy.load(),
                 run.wrong.load(), run.failed.load(), total - run.busy.load() - run.failed.load(),
                 run.busyOpens.load(), seconds > 0 ? static_cast<double>(total) / seconds : 0.0,
                 NearestRankPercentile(sorted.data(), sorted.size(), 50),
                 NearestRankPercentile(sorted.data(), sorted.size(), 99), sorted.back());
          if (run.wrong > 0 || run.failed > 0) status = 1;
        }
      }
    }
  }
  if (SUCCEEDED(initialized)) CoUninitialize();
  return status;
}
