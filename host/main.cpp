// amsiscan: plays the AMSI host. Loads the registered antimalware providers
// (or one DLL named on the command line), offers them the content of a file
// or of standard input through an IAmsiStream, and prints what each one
// says and what the host makes of it.
//
// The jobs live beside this file: the command line (options.cpp), output
// (console.cpp), provider loading (provider_host.cpp), one scan
// (single_scan.cpp) and the load of --repeat and --threads (load_engine.cpp).
#include "host/console.h"
#include "host/file_stream.h"
#include "host/latency.h"
#include "host/load_engine.h"
#include "host/options.h"
#include "host/provider_host.h"
#include "host/single_scan.h"

#include <objbase.h>

#include <string>
#include <vector>

namespace {

void ReportProgress(long done, long total) {
  Err(Format(L"%ld of %ld scans done", done, total));
}

int ScanRepeatedly(const std::vector<LoadedProvider>& providers,
                   const FileStreamSettings& stream, unsigned long repeat,
                   unsigned long threads, bool loadFailed) {
  LoadSettings settings;
  settings.providers = &providers;
  settings.stream = stream;
  settings.scans = repeat;
  settings.threads = threads;
  settings.progress = ReportProgress;
  LoadFigures figures;
  if (!RunLoad(settings, &figures)) {
    Err(Format(L"cannot start a scan thread: error %lu", GetLastError()));
    return ExitError;
  }

  bool failed = loadFailed;
  bool malware = false;
  for (size_t p = 0; p < providers.size(); ++p) {
    const ProviderCounts& counts = figures.providers[p];
    failed = failed || counts.failed > 0;
    malware = malware || counts.malware > 0;
    Out(Format(L"provider \"%ls\": %ld scans, %ld malware, %ld clean, %ld failed\n",
               providers[p].displayName().c_str(), counts.malware + counts.clean + counts.failed,
               counts.malware, counts.clean, counts.failed));
  }
  const std::vector<double>& sorted = figures.latencyMs;
  const long total = static_cast<long>(repeat);
  Out(Format(L"scans: %ld on %lu threads in %.2f s, %.1f scans/s\n", total,
             figures.threadsStarted, figures.seconds,
             figures.seconds > 0 ? static_cast<double>(total) / figures.seconds : 0.0));
  Out(Format(L"latency: p50 %.2f ms, p99 %.2f ms, max %.2f ms\n",
             NearestRankPercentile(sorted.data(), sorted.size(), 50),
             NearestRankPercentile(sorted.data(), sorted.size(), 99), sorted.back()));
  return OverallExit(failed, malware);
}

int Run(const Options& options) {
  ScanContent content;
  const HRESULT loaded =
      options.fromStdin ? content.LoadHandle(GetStdHandle(STD_INPUT_HANDLE))
                        : content.LoadFile(options.file.c_str());
  if (FAILED(loaded)) {
    Err(Format(L"cannot read %ls: 0x%08lX",
               options.fromStdin ? L"standard input" : options.file.c_str(),
               static_cast<unsigned long>(loaded)));
    return ExitError;
  }

  const HRESULT initialized = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  if (FAILED(initialized)) {
    Err(Format(L"CoInitializeEx failed with 0x%08lX", static_cast<unsigned long>(initialized)));
    return ExitError;
  }
  int exitCode = ExitError;
  {
    // Destroyed before CoUninitialize: the teardown of every provider.
    std::vector<LoadedProvider> providers;
    ProviderChoice choice;
    choice.direct = options.directProvider;
    choice.dllPath = options.providerDll;
    choice.classId = options.classId;
    const bool allLoaded = LoadProviders(choice, &providers);
    for (const LoadedProvider& provider : providers) {
      Out(L"loaded \"" + provider.displayName() + L"\" " + provider.classIdText() + L" from " +
          provider.dllPath() + L"\n");
    }
    if (providers.empty()) {
      if (allLoaded) Err(L"no provider found");
    } else {
      // One session for the whole run, closed on every provider at teardown.
      const ULONGLONG session =
          (static_cast<ULONGLONG>(GetCurrentProcessId()) << 32) | (GetTickCount() | 1u);
      for (LoadedProvider& provider : providers) provider.SetSession(session);

      FileStreamSettings settings;
      settings.content = &content;
      settings.appName = options.appName.c_str();
      settings.contentName = options.fromStdin ? L"stdin" : options.file.c_str();
      settings.session = session;
      settings.offerAddress = options.offerAddress;
      exitCode = options.loadRun ? ScanRepeatedly(providers, settings, options.repeat,
                                                  options.threads, !allLoaded)
                                 : ScanOnce(providers, settings, !allLoaded);
    }
  }
  CoUninitialize();
  return exitCode;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  Options options;
  if (!ParseOptions(argc, argv, &options)) return ExitError;
  if (options.help) {
    Out(UsageText());
    return ExitClean;
  }
  return Run(options);
}
