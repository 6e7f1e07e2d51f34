// KestrovProviderFuzz: runs the provider DLL through seeded cases that
// combine a hostile stream, a misbehaving service and failing platform
// calls, and checks after every case that the provider kept its promises.
//
//   KestrovProviderFuzz [--cases N] [--seed S] [--case K] [--slack-ms MS]
//
// Every failure names the run seed and the case number that reproduce it.
#include "fuzz/fuzz_case.h"
#include "fuzz/fuzz_server.h"
#include "fuzz/fuzz_stream.h"
#include "fuzz/random.h"
#include "host/provider_host.h"
#include "testkit/dll_hooks.h"
#include "testkit/process_metrics.h"
#include "testkit/provider_dll.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>

namespace {

// The bound on one scan: the exchange budget from the tick base, and the two
// busy-pipe waits before it.
constexpr double BudgetMs = 1500, WaitsMs = 600;
// A case that has not ended after this long has hung.
constexpr DWORD HangMs = 20000;

struct Options {
  unsigned long long cases = 2000;
  unsigned long long seed = 1;
  long long onlyCase = -1;
  double slackMs = 1000;
};

struct Totals {
  unsigned long long cases = 0, failures = 0, faultsInjected = 0, detected = 0, completed = 0,
                     connections = 0, readPath = 0, truncated = 0, rogue = 0;
  double worstMs = 0;
  unsigned long long worstCase = 0;
};

// What the watchdog and the crash handler report.
volatile unsigned long long gCurrentSeed = 0, gCurrentCase = 0;
volatile LONG gCaseRunning = 0;
volatile ULONGLONG gCaseStartedMs = 0;

std::wstring ProgramImage() {
  wchar_t path[MAX_PATH];
  return std::wstring(path, GetModuleFileNameW(nullptr, path, MAX_PATH));
}

void PrintReproduction(const char* what) {
  fprintf(stderr, "%s in case %llu of seed %llu: reproduce with --seed %llu --case %llu\n", what,
          gCurrentCase, gCurrentSeed, gCurrentSeed, gCurrentCase);
  fflush(stderr);
}

LONG WINAPI OnCrash(EXCEPTION_POINTERS* exception) {
  char what[64];
  snprintf(what, sizeof what, "CRASH (exception 0x%08lX)",
           exception->ExceptionRecord->ExceptionCode);
  PrintReproduction(what);
  ExitProcess(3);
}

DWORD WINAPI Watchdog(void*) {
  // Checks twice a second whether the running case has outlived any bound.
  for (;;) {
    Sleep(500);
    if (gCaseRunning && GetTickCount64() - gCaseStartedMs > HangMs) {
      PrintReproduction("HANG");
      ExitProcess(4);
    }
  }
}

bool ParseOptions(int argc, wchar_t** argv, Options* options) {
  for (int k = 1; k < argc; ++k) {
    const std::wstring arg = argv[k];
    const wchar_t* value = k + 1 < argc ? argv[k + 1] : nullptr;
    if (value == nullptr) {
      fprintf(stderr, "%ls wants a value\n", arg.c_str());
      return false;
    }
    wchar_t* end = nullptr;
    if (arg == L"--cases") {
      options->cases = wcstoull(value, &end, 0);
    } else if (arg == L"--seed") {
      options->seed = wcstoull(value, &end, 0);
    } else if (arg == L"--case") {
      options->onlyCase = static_cast<long long>(wcstoull(value, &end, 0));
    } else if (arg == L"--slack-ms") {
      options->slackMs = wcstod(value, &end);
    } else {
      fprintf(stderr,
              "usage: KestrovProviderFuzz [--cases N] [--seed S] [--case K] [--slack-ms MS]\n");
      return false;
    }
    if (end == nullptr || *end != 0) {
      fprintf(stderr, "%ls: not a number: %ls\n", arg.c_str(), value);
      return false;
    }
    ++k;
  }
  return true;
}

// Content that tells positions apart, as large as any request may carry.
BYTE* MakeContent() {
  BYTE* content = static_cast<BYTE*>(
      VirtualAlloc(nullptr, MaxContentBytes, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
  if (content == nullptr) return nullptr;
  for (uint32_t k = 0; k < MaxContentBytes; ++k) {
    content[k] = static_cast<BYTE>((k * 131u) ^ (k >> 8) ^ (k >> 16));
  }
  return content;
}

class CaseRunner {
 public:
  CaseRunner(IAntimalwareProvider* provider, const BYTE* content, const Options& options,
             bool report = true)
      : provider_(provider),
        content_(content),
        options_(options),
        report_(report),
        image_(ProgramImage()) {
    QueryPerformanceFrequency(&frequency_);
  }

  // Runs case `index`; false when an invariant failed (printed).
  bool Run(unsigned long long index, Totals* totals);

 private:
  bool Fail(const FuzzCase& c, const std::string& why);

  IAntimalwareProvider* provider_;
  const BYTE* content_;
  const Options& options_;
  bool report_;
  std::wstring image_;
  LARGE_INTEGER frequency_;
  FuzzServer server_;
  unsigned long long index_ = 0;
};

bool CaseRunner::Fail(const FuzzCase& c, const std::string& why) {
  if (!report_) return false;
  fprintf(stderr, "FAIL case %llu of seed %llu: %s\n  %s\n  reproduce with --seed %llu --case %llu\n",
          index_, options_.seed, why.c_str(), Describe(c).c_str(), options_.seed, index_);
  return false;
}

bool CaseRunner::Run(unsigned long long index, Totals* totals) {
  index_ = index;
  const FuzzCase c = MakeCase(CaseSeed(options_.seed, index), image_);
  const DWORD processId = GetCurrentProcessId();
  const Expectation e = Expect(c, content_, processId);
  ++totals->cases;

  if (!server_.Prepare(c.server, e.opensPipe ? e.request.size() : 0)) {
    return Fail(c, "the fuzz server could not be set up, error " + std::to_string(GetLastError()));
  }
  FakeAmsiStream stream;
  ConfigureStream(c.stream, content_, MaxContentBytes, &stream);
  AMSI_RESULT result = static_cast<AMSI_RESULT>(0xdeadbeef);
  const long handlesBefore = ProcessHandleCount(processId);

  gCurrentSeed = options_.seed;
  gCurrentCase = index;
  gCaseStartedMs = GetTickCount64();
  gCaseRunning = 1;
  ArmFaults(c.faults);
  LARGE_INTEGER start, end;
  QueryPerformanceCounter(&start);
  const HRESULT hr = provider_->lpVtbl->Scan(provider_, c.nullStream ? nullptr : stream.get(),
                                             c.nullResult ? nullptr : &result);
  QueryPerformanceCounter(&end);
  DisarmFaults();
  const bool serverEnded = server_.Finish(HangMs);
  gCaseRunning = 0;
  const long handlesAfter = ProcessHandleCount(processId);
  const HookCounters& hooks = Counters();

  const double elapsedMs =
      static_cast<double>(end.QuadPart - start.QuadPart) * 1000.0 / frequency_.QuadPart;
  if (elapsedMs > totals->worstMs) {
    totals->worstMs = elapsedMs;
    totals->worstCase = index;
  }
  totals->faultsInjected += hooks.faultsFired + (c.faults.clockJumpMs ? 1 : 0) +
                            (c.faults.pieceLimit ? 1 : 0) + (c.faults.imagePath.empty() ? 0 : 1);
  if (server_.connected()) ++totals->connections;
  if (e.opensPipe && e.readPath) ++totals->readPath;
  if (!c.serverTrusted) ++totals->rogue;

  bool ok = true;
  auto check = [&](bool condition, const std::string& why) {
    if (condition || !ok) return;
    char seen[256];
    snprintf(seen, sizeof seen,
             "; seen: hr 0x%08lX, result %lu, %.1f ms, %s, %u of %u bytes received, %lu replied, "
             "%u faults fired",
             static_cast<unsigned long>(hr), static_cast<unsigned long>(result), elapsedMs,
             server_.connected() ? "connected" : "not connected",
             static_cast<unsigned>(server_.received().size()),
             static_cast<unsigned>(e.request.size()), server_.replied(), hooks.faultsFired);
    ok = Fail(c, why + seen);
  };
  check(serverEnded, "the fuzz server did not end");

  // The result.
  if (c.nullResult) {
    check(hr == E_INVALIDARG, "a null result pointer did not give E_INVALIDARG");
  } else {
    check(hr == S_OK, "Scan returned " + std::to_string(hr));
    check(result == AMSI_RESULT_NOT_DETECTED || result == AMSI_RESULT_DETECTED,
          "the result is " + std::to_string(static_cast<unsigned long>(result)));
  }
  const std::vector<BYTE>& reply = c.server.reply;
  const bool saidDetected = server_.replied() >= 4 && reply[0] == 1 && reply[1] == 0 &&
                            reply[2] == 0 && reply[3] == 0;
  const bool detected = !c.nullResult && result == AMSI_RESULT_DETECTED;
  if (detected) ++totals->detected;
  check(!detected || saidDetected, "detected, but the server did not send exactly 1 first");

  // The bound.
  check(elapsedMs <= BudgetMs + WaitsMs + options_.slackMs,
        "the scan took " + std::to_string(elapsedMs) + " ms");

  // What reached the server: a prefix of the request, from trusted servers
  // only, and nothing at all when the provider had no reason to connect.
  const std::vector<BYTE>& received = server_.received();
  check(e.opensPipe || !server_.connected(), "connected although nothing was to be sent");
  check(received.size() <= e.request.size() &&
            memcmp(received.data(), e.request.data(), received.size()) == 0,
        "the server received bytes that differ from the request (" +
            std::to_string(received.size()) + " of " + std::to_string(e.request.size()) + ")");
  check(received.size() + server_.unread() <= e.request.size(),
        "the client sent more than the request");
  const bool identityFault = hooks.faultsFired > 0 &&
                             (c.faults.call == FailingCall::ServerProcessId ||
                              c.faults.call == FailingCall::ServerProcessIdZero ||
                              c.faults.call == FailingCall::OpenProcess ||
                              c.faults.call == FailingCall::ImageQuery);
  check((c.serverTrusted && !identityFault) || received.empty(),
        "an unverified server received " + std::to_string(received.size()) + " bytes");
  if (detected && !c.server.replyEarly) {
    check(received.size() == e.request.size(), "detected before the whole request was read");
  }
  if (e.mustComplete && hooks.faultsFired == 0 && !c.nullResult) {
    ++totals->completed;
    check(detected, "nothing stood in the way, but the scan did not report the server's 1");
  }
  if (e.opensPipe && e.cappedSize == MaxContentBytes) ++totals->truncated;

  // Memory and handles.
  check(hooks.outstanding == 0 && hooks.unknownFrees == 0,
        "heap blocks left: " + std::to_string(hooks.outstanding) + ", unknown frees " +
            std::to_string(hooks.unknownFrees));
  check(hooks.crtAllocs == 0, "the scan used the C runtime heap");
  if (e.opensPipe || (!c.nullResult && !c.nullStream && SUCCEEDED(c.stream.size.result) &&
                      e.cappedSize > 0)) {
    const unsigned expectedAllocs = e.readPath ? 1 : 0;
    check(hooks.heapAllocs == expectedAllocs,
          std::to_string(hooks.heapAllocs) + " allocations, not " +
              std::to_string(expectedAllocs));
    if (e.readPath) {
      check(hooks.largestAlloc == e.cappedSize,
            "allocated " + std::to_string(hooks.largestAlloc) + " bytes, not the capped size");
    }
  }
  check(handlesBefore >= 0 && handlesAfter == handlesBefore,
        "handles " + std::to_string(handlesBefore) + " before, " + std::to_string(handlesAfter) +
            " after");
  server_.Close();
  if (!ok) ++totals->failures;
  return ok;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  Options options;
  if (!ParseOptions(argc, argv, &options)) return 2;
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
  gCurrentSeed = options.seed;

  LoadedProvider loaded;
  std::wstring failure;
  if (FAILED(LoadBuiltProvider(&loaded, &failure))) {
    fprintf(stderr, "cannot load %ls: %ls\n", ProviderDllPath().c_str(), failure.c_str());
    return 2;
  }
  if (!InstallDllHooks(GetModuleHandleW(ProviderDllName))) {
    fprintf(stderr, "the DLL lacks an import the fuzzer hooks\n");
    return 2;
  }
  BYTE* content = MakeContent();
  if (content == nullptr || ProcessHandleCount(GetCurrentProcessId()) < 0) {
    fprintf(stderr, "cannot set up: no memory or no handle count\n");
    return 2;
  }
  SetUnhandledExceptionFilter(OnCrash);
  CloseHandle(CreateThread(nullptr, 0, Watchdog, nullptr, 0, nullptr));

  CaseRunner runner(loaded.provider(), content, options);
  Totals totals;
  // The first cases settle what the platform sets up once per process (the
  // first pipe open, the first wait); their handles are not the provider's.
  // They run unchecked, from a seed of their own.
  {
    Options warmOptions = options;
    warmOptions.seed = options.seed ^ 0x5A5A5A5A5A5A5A5Aull;
    CaseRunner warm(loaded.provider(), content, warmOptions, false);
    Totals ignored;
    for (unsigned long long k = 0; k < 20; ++k) warm.Run(k, &ignored);
  }

  const ULONGLONG started = GetTickCount64();
  unsigned long long first = 0, last = options.cases;
  if (options.onlyCase >= 0) {
    first = static_cast<unsigned long long>(options.onlyCase);
    last = first + 1;
  }
  for (unsigned long long k = first; k < last; ++k) {
    runner.Run(k, &totals);
    if ((k + 1) % 1000 == 0) {
      fprintf(stderr, "%llu of %llu cases, %llu failures\n", k + 1, last, totals.failures);
    }
    if (totals.failures >= 20) break;
  }
  const double seconds = static_cast<double>(GetTickCount64() - started) / 1000.0;
  printf("provider fuzz: seed %llu, %llu cases in %.1f s, %llu faults injected, %llu failures, "
         "0 crashes, 0 hangs\n",
         options.seed, totals.cases, seconds, totals.faultsInjected, totals.failures);
  printf("  %llu connections, %llu scans reported the server's 1 (%llu had to), %llu by Read, "
         "%llu capped at 8 MiB, %llu rogue servers\n",
         totals.connections, totals.detected, totals.completed, totals.readPath,
         totals.truncated, totals.rogue);
  printf("  slowest scan %.1f ms (case %llu), bound %.0f ms + %.0f ms slack\n", totals.worstMs,
         totals.worstCase, BudgetMs + WaitsMs, options.slackMs);
  return totals.failures == 0 ? 0 : 1;
}
