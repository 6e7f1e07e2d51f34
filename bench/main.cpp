// KestrovBench: scans through the provider DLL against the raw pipe
// exchange with the reference service, side by side, plus allocation and
// copy counts, the deadline overshoot, the service's capacity, its memory at
// rest, the time it takes to stop, and scans judged by clamd.
//
//   KestrovBench [--smoke] [--repetitions N] [--json FILE] [--clamd-port N]
//
// --clamd-port names the port of a clamd on 127.0.0.1 loaded with the
// project's sample signatures (tools/clamd.sh); without it the clamd
// figures are skipped. A smoke run skips them and the stop time, which
// installs the service in the prefix.
//
// Tables go to stdout, progress to stderr, and everything to FILE (by
// default bench.json, or bench-smoke.json, beside the bin directory).
#include "bench/at_rest.h"
#include "bench/bench_support.h"
#include "bench/call_profile.h"
#include "bench/capacity.h"
#include "bench/clamd_figures.h"
#include "bench/matrix.h"
#include "bench/overshoot.h"
#include "bench/provider_runner.h"
#include "bench/report.h"
#include "bench/scan_accounting.h"
#include "bench/service_stop.h"

#include <cstdio>
#include <cwchar>
#include <string>

namespace {

constexpr int ExitCannotRun = 2;
constexpr int ExitSmokeFailed = 1;

struct Options {
  bool smoke = false;
  unsigned repetitions = 5;
  unsigned clamdPort = 0;  // 0: no clamd
  std::wstring jsonPath;
};

bool ParseArguments(int argc, wchar_t** argv, Options* options) {
  bool repetitionsGiven = false;
  for (int k = 1; k < argc; ++k) {
    const std::wstring arg = argv[k];
    if (arg == L"--smoke") {
      options->smoke = true;
    } else if (arg == L"--repetitions" && k + 1 < argc) {
      options->repetitions = static_cast<unsigned>(wcstoul(argv[++k], nullptr, 10));
      repetitionsGiven = true;
      if (options->repetitions == 0) return false;
    } else if (arg == L"--clamd-port" && k + 1 < argc) {
      const unsigned long port = wcstoul(argv[++k], nullptr, 10);
      if (port == 0 || port > 65535) return false;
      options->clamdPort = static_cast<unsigned>(port);
    } else if (arg == L"--json" && k + 1 < argc) {
      options->jsonPath = argv[++k];
    } else {
      return false;
    }
  }
  if (options->smoke && !repetitionsGiven) options->repetitions = 2;
  if (options->jsonPath.empty()) {
    const std::wstring path =
        ProgramDirectory() + (options->smoke ? L"..\\bench-smoke.json" : L"..\\bench.json");
    wchar_t full[MAX_PATH];
    const DWORD length = GetFullPathNameW(path.c_str(), MAX_PATH, full, nullptr);
    options->jsonPath = length > 0 && length < MAX_PATH ? std::wstring(full, length) : path;
  }
  return true;
}

// What a smoke run insists on: every measurement produced figures, and the
// properties that do not depend on timing hold.
bool SmokeChecksPass(const BenchResults& r) {
  bool pass = !r.matrix.empty() && !r.accounting.empty() && r.overshoot.scans > 0;
  for (const MatrixCell& c : r.matrix) {
    const bool measured = c.provider.attempted > c.provider.failed && c.raw.attempted > c.raw.failed;
    // One thread at a time never meets a busy pipe.
    const bool clean = c.threads > 1 || (c.provider.failed == 0 && c.raw.failed == 0);
    if (!measured || !clean) {
      fprintf(stderr, "smoke: %s %s x%u: %lu/%lu provider and %lu/%lu raw scans failed\n",
              SizeLabel(c.contentBytes).c_str(), c.addressPath ? "address" : "Read", c.threads,
              c.provider.failed, c.provider.attempted, c.raw.failed, c.raw.attempted);
      pass = false;
    }
  }
  for (const AccountingRow& a : r.accounting) pass = pass && a.asExpected;
  pass = pass && r.overshoot.serverStarted && r.overshoot.returnedEarly == 0 &&
         r.overshoot.detected == 0;
  for (const CapacityRow& c : r.capacity) {
    // With more instances than clients an open never finds them all taken.
    if (c.scans == 0 || c.busy != 0) {
      fprintf(stderr, "smoke: capacity at %u clients: %lu scans, %lu busy opens\n", c.clients,
              c.scans, c.busy);
      pass = false;
    }
  }
  pass = pass && r.memory.reportedPeak > 0 && r.memory.idleBytes > 0;
  if (!r.idleProgram.started || r.idleProgram.privateBytes == 0) {
    fprintf(stderr, "smoke: the idle program's private bytes were not measured\n");
    pass = false;
  }
  return pass;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  Options options;
  if (!ParseArguments(argc, argv, &options)) {
    fprintf(stderr,
            "usage: KestrovBench [--smoke] [--repetitions N] [--json FILE] [--clamd-port N]\n");
    return ExitCannotRun;
  }
  const long long started = CounterNow();
  BenchResults results;
#ifdef _WIN64
  results.architecture = "x64";
#else
  results.architecture = "x86";
#endif
  results.smoke = options.smoke;
  results.repetitions = options.repetitions;

  ReferenceService service;
  if (!StartBenchService(&service)) {
    fprintf(stderr, "the reference service did not start from %ls\n", ProgramDirectory().c_str());
    return ExitCannotRun;
  }
  ProviderRunner provider;
  std::wstring failure;
  if (!provider.Load(&failure)) {
    fprintf(stderr, "cannot load the provider: %ls\n", failure.c_str());
    return ExitCannotRun;
  }
  {
    // Nothing below means anything unless a marked scan is detected.
    const std::vector<BYTE> probe = MarkedContent(1024);
    ScanContent content;
    content.Assign(probe.data(), probe.size());
    BenchStream stream(content, L"bench-probe", true);
    if (provider.Scan(stream.get()) != AMSI_RESULT_DETECTED) {
      fprintf(stderr, "the provider does not detect the marker through the service\n");
      return ExitCannotRun;
    }
  }

  fprintf(stderr, "%s: scan matrix\n", results.architecture.c_str());
  MatrixSettings matrix;
  if (options.smoke) {
    matrix.sizes = {1024, 64 * 1024};
    matrix.threads = {1, 4};
    matrix.scansScale = 0;
  } else {
    matrix.sizes = {1024, 64 * 1024, 1024 * 1024, MaxContentBytes};
    matrix.threads = {1, 4, 16};
  }
  matrix.repetitions = options.repetitions;
  results.matrix = RunMatrix(provider, matrix);

  fprintf(stderr, "%s: call profiles\n", results.architecture.c_str());
  results.profiles.push_back(ProfileCalls(provider, 1024, true, options.smoke ? 20 : 300));
  if (!options.smoke) {
    results.profiles.push_back(ProfileCalls(provider, MaxContentBytes, true, 12));
    results.profiles.push_back(ProfileCalls(provider, MaxContentBytes, false, 12));
  }

  fprintf(stderr, "%s: service capacity\n", results.architecture.c_str());
  if (options.smoke) {
    results.capacity = MeasureCapacity({1, 4}, 0.3);
  } else {
    results.capacity = MeasureCapacity({1, 16, 64}, 3.0);
  }
  // A fresh service, so that its peak memory is that of the burst alone.
  if (!StartBenchService(&service)) {
    fprintf(stderr, "the reference service did not start again\n");
    return ExitCannotRun;
  }
  results.memory = options.smoke ? MeasurePeakMemory(service, 4, 1024 * 1024)
                                 : MeasurePeakMemory(service, 64, MaxContentBytes);
  results.idleProgram = MeasureIdleProgram();

  // The figures below run services of their own on the pipe.
  service.Kill();
  if (options.smoke) {
    results.clamd.skipped = "smoke run";
  } else if (options.clamdPort == 0) {
    results.clamd.skipped = "no clamd (no --clamd-port; is clamav-daemon installed?)";
  } else {
    fprintf(stderr, "%s: scans with clamd\n", results.architecture.c_str());
    ClamdSettings clamd;
    clamd.sizes = {1024, 1024 * 1024};
    clamd.threads = {1, 16};
    results.clamd = MeasureClamd(provider, options.clamdPort, clamd);
  }
  if (options.smoke) {
    results.stop.failure = "skipped in a smoke run (it installs the service in the prefix)";
  } else {
    fprintf(stderr, "%s: stopping the installed service\n", results.architecture.c_str());
    results.stop = MeasureServiceStop(options.repetitions, 16);
  }
  if (!StartBenchService(&service)) {
    fprintf(stderr, "the reference service did not start again\n");
    return ExitCannotRun;
  }

  fprintf(stderr, "%s: allocations and copies\n", results.architecture.c_str());
  if (!InstallCountingHooks(provider)) {
    fprintf(stderr, "cannot hook the provider's imports\n");
    return ExitCannotRun;
  }
  results.accounting = CountAllocationsAndCopies(
      provider, {1024, 64 * 1024, 1024 * 1024, MaxContentBytes, MaxContentBytes + 1024 * 1024},
      options.smoke ? 1 : 3);

  fprintf(stderr, "%s: deadline overshoot\n", results.architecture.c_str());
  service.Kill();
  results.overshoot = MeasureOvershoot(provider, options.smoke ? 2 : 20);
  results.seconds = CounterMs(started, CounterNow()) / 1000.0;

  printf("== %s benchmark%s: %u repetitions, %.0f s\n", results.architecture.c_str(),
         options.smoke ? " (smoke)" : "", options.repetitions, results.seconds);
  PrintMatrix(results.matrix);
  for (const CallProfile& profile : results.profiles) PrintProfile(profile);
  PrintAccounting(results.accounting);
  PrintOvershoot(results.overshoot);
  PrintCapacity(results.capacity, results.memory);
  PrintAtRest(results.memory, results.idleProgram);
  PrintStop(results.stop);
  PrintClamd(results.clamd);
  PrintTargets(results);
  if (!WriteJson(results, options.jsonPath)) {
    fprintf(stderr, "cannot write %ls\n", options.jsonPath.c_str());
    return ExitCannotRun;
  }
  printf("\nJSON: %ls\n", options.jsonPath.c_str());
  fflush(stdout);
  if (options.smoke && !SmokeChecksPass(results)) {
    printf("smoke: FAILED\n");
    return ExitSmokeFailed;
  }
  return 0;
}
