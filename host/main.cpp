// amsiscan: plays the AMSI host. Loads the registered antimalware providers
// (or one DLL named on the command line), offers them the content of a file
// or of standard input through an IAmsiStream, and prints what each one
// says and what the host makes of it.

#include "host/file_stream.h"
#include "host/latency.h"
#include "host/provider_host.h"
#include "host/signature_check.h"

#include <objbase.h>

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cwchar>
#include <string>
#include <vector>

namespace {

// The exit codes.
constexpr int ExitClean = 0;
constexpr int ExitDetected = 1;
constexpr int ExitError = 2;

constexpr wchar_t DefaultClassIdText[] = L"{5D3A9C71-2E4B-4F86-A1C9-7B20E6D4F358}";
constexpr unsigned long MaxRepeat = 1000000;
// The waits on the worker threads cover them all in one call.
constexpr unsigned long MaxThreads = MAXIMUM_WAIT_OBJECTS;
constexpr DWORD ProgressIntervalMs = 1000;

constexpr wchar_t Usage[] =
    L"usage: amsiscan [options] [FILE | -]\n"
    L"\n"
    L"Scans the content of FILE, or of standard input when FILE is - or missing,\n"
    L"with every antimalware provider registered under\n"
    L"HKLM\\Software\\Microsoft\\AMSI\\Providers in this program's registry view,\n"
    L"the way the AMSI host does.\n"
    L"\n"
    L"options:\n"
    L"  --provider DLL   load this provider DLL directly instead of the registered ones\n"
    L"  --clsid {GUID}   the class to create from --provider's DLL\n"
    L"                   (default {5D3A9C71-2E4B-4F86-A1C9-7B20E6D4F358})\n"
    L"  --app NAME       the application name the stream reports (default amsiscan)\n"
    L"  --no-address     do not offer the content's address: providers must Read it\n"
    L"  --repeat N       run N scans (1 to 1000000) and print a latency summary\n"
    L"  --threads T      spread the scans over T threads (1 to 64, default 1)\n"
    L"  --help           print this text and exit\n"
    L"\n"
    L"output, one scan (standard output):\n"
    L"  loaded \"NAME\" CLSID from DLL                      one line per provider\n"
    L"  provider \"NAME\": result R (malware|clean) in T ms  one line per provider\n"
    L"  provider \"NAME\": scan failed with 0xHHHHHHHH in T ms\n"
    L"  overall: malware|clean|error\n"
    L"output, with --repeat or --threads:\n"
    L"  provider \"NAME\": N scans, M malware, C clean, F failed\n"
    L"  scans: N on T threads in S s, R scans/s\n"
    L"  latency: p50 A ms, p99 B ms, max C ms\n"
    L"  overall: malware|clean|error\n"
    L"When HKLM\\SOFTWARE\\Microsoft\\AMSI\\FeatureBits (64-bit view) is 2, only\n"
    L"providers with a valid Authenticode signature whose signer chain ends in a\n"
    L"trusted root are loaded; each one refused is reported with the reason, and\n"
    L"each one accepted with a line \"signature of DLL: trusted\".\n"
    L"A result of 32768 or more is malware; the content is malware overall when\n"
    L"any provider says so. Progress of long runs and errors go to standard error.\n"
    L"\n"
    L"exit codes: 0 clean, 1 malware, 2 error (bad option, unreadable file, no\n"
    L"provider, a provider that does not load or whose Scan fails)\n";

// Text to one of the standard handles: UTF-16 to a console, UTF-8 elsewhere.
void WriteText(DWORD which, const std::wstring& text) {
  const HANDLE handle = GetStdHandle(which);
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE || text.empty()) return;
  DWORD mode = 0;
  DWORD written = 0;
  if (GetConsoleMode(handle, &mode)) {
    WriteConsoleW(handle, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    return;
  }
  const int length = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                         nullptr, 0, nullptr, nullptr);
  if (length <= 0) return;
  std::string bytes(static_cast<size_t>(length), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &bytes[0], length,
                      nullptr, nullptr);
  WriteFile(handle, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

std::wstring Format(const wchar_t* format, ...) {
  wchar_t buffer[4096];
  va_list arguments;
  va_start(arguments, format);
  const int length = vswprintf(buffer, sizeof buffer / sizeof buffer[0], format, arguments);
  va_end(arguments);
  return length < 0 ? std::wstring() : std::wstring(buffer, static_cast<size_t>(length));
}

void Out(const std::wstring& text) { WriteText(STD_OUTPUT_HANDLE, text); }
void Err(const std::wstring& text) { WriteText(STD_ERROR_HANDLE, L"amsiscan: " + text + L"\n"); }

bool IsMalware(AMSI_RESULT result) { return result >= AMSI_RESULT_DETECTED; }
const wchar_t* Verdict(AMSI_RESULT result) { return IsMalware(result) ? L"malware" : L"clean"; }

long long Now() {
  LARGE_INTEGER counter;
  QueryPerformanceCounter(&counter);
  return counter.QuadPart;
}

long long Frequency() {
  LARGE_INTEGER frequency;
  QueryPerformanceFrequency(&frequency);
  return frequency.QuadPart;
}

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

bool ParseCount(const wchar_t* text, unsigned long low, unsigned long high, unsigned long* out) {
  if (text[0] < L'0' || text[0] > L'9') return false;
  wchar_t* end = nullptr;
  const unsigned long value = wcstoul(text, &end, 10);
  if (*end != L'\0' || value < low || value > high) return false;
  *out = value;
  return true;
}

// False, with the reason on standard error, for a command line that cannot run.
bool ParseOptions(int argc, wchar_t** argv, Options* options) {
  bool fileGiven = false;
  bool optionsEnded = false;
  for (int i = 1; i < argc; ++i) {
    const std::wstring arg = argv[i];
    const bool isOption = !optionsEnded && arg.size() > 1 && arg[0] == L'-';
    if (!isOption) {
      if (fileGiven) {
        Err(L"more than one file: " + arg);
        return false;
      }
      fileGiven = true;
      options->fromStdin = arg == L"-";
      if (!options->fromStdin) options->file = arg;
      continue;
    }
    if (arg == L"--") {
      optionsEnded = true;
      continue;
    }
    if (arg == L"--help" || arg == L"-h" || arg == L"-?") {
      options->help = true;
      continue;
    }
    if (arg == L"--no-address") {
      options->offerAddress = false;
      continue;
    }
    const bool takesValue = arg == L"--provider" || arg == L"--clsid" || arg == L"--app" ||
                            arg == L"--repeat" || arg == L"--threads";
    if (!takesValue) {
      Err(L"unknown option " + arg + L" (see --help)");
      return false;
    }
    if (i + 1 >= argc) {
      Err(arg + L" needs a value");
      return false;
    }
    const wchar_t* value = argv[++i];
    if (arg == L"--provider") {
      if (value[0] == L'\0') {
        Err(L"--provider needs a DLL path");
        return false;
      }
      options->directProvider = true;
      options->providerDll = value;
    } else if (arg == L"--clsid") {
      if (!ParseClassId(value, &options->classId)) {
        Err(std::wstring(L"--clsid wants {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}, not ") + value);
        return false;
      }
      options->classIdGiven = true;
    } else if (arg == L"--app") {
      options->appName = value;
    } else if (arg == L"--repeat") {
      if (!ParseCount(value, 1, MaxRepeat, &options->repeat)) {
        Err(std::wstring(L"--repeat wants a count from 1 to 1000000, not ") + value);
        return false;
      }
      options->loadRun = true;
    } else {
      if (!ParseCount(value, 1, MaxThreads, &options->threads)) {
        Err(std::wstring(L"--threads wants a count from 1 to 64, not ") + value);
        return false;
      }
      options->loadRun = true;
    }
  }
  if (options->classIdGiven && !options->directProvider) {
    Err(L"--clsid needs --provider");
    return false;
  }
  if (!options->classIdGiven) ParseClassId(DefaultClassIdText, &options->classId);
  return true;
}

// Loads the providers; false when any of them failed or was refused
// (reported on standard error). Those that loaded are kept either way.
bool LoadProviders(const Options& options, std::vector<LoadedProvider>* providers) {
  bool allLoaded = true;
  const bool signedOnly = SignedProvidersRequiredByMachine();
  auto load = [&](const std::wstring& dllPath, const CLSID& classId) {
    if (signedOnly) {
      const SignatureVerdict verdict = CheckProviderSignature(dllPath);
      if (!verdict.trusted()) {
        Err(L"provider " + ClassIdText(classId) + L" from " + dllPath + L": refused, " +
            verdict.reason);
        allLoaded = false;
        return;
      }
      Out(L"signature of " + dllPath + L": trusted\n");
    }
    LoadedProvider loaded;
    std::wstring failure;
    if (FAILED(loaded.Load(dllPath, classId, &failure))) {
      Err(L"provider " + ClassIdText(classId) + L" from " + dllPath + L": " + failure);
      allLoaded = false;
      return;
    }
    providers->push_back(std::move(loaded));
  };

  if (options.directProvider) {
    wchar_t full[MAX_PATH * 2];
    const DWORD length = GetFullPathNameW(options.providerDll.c_str(),
                                          sizeof full / sizeof full[0], full, nullptr);
    const bool resolved = length > 0 && length < sizeof full / sizeof full[0];
    load(resolved ? std::wstring(full, length) : options.providerDll, options.classId);
    return allLoaded;
  }

  std::vector<RegisteredProvider> registered;
  const HRESULT hr = EnumerateRegisteredProviders(&registered);
  if (FAILED(hr)) {
    Err(Format(L"cannot read the registered providers: 0x%08lX", static_cast<unsigned long>(hr)));
    return false;
  }
  for (const RegisteredProvider& entry : registered) {
    CLSID classId;
    if (!ParseClassId(entry.classIdText, &classId)) {
      Err(L"registered provider " + entry.classIdText + L": not a class id");
      allLoaded = false;
    } else if (entry.dllPath.empty()) {
      Err(L"registered provider " + entry.classIdText + L": no InprocServer32 path");
      allLoaded = false;
    } else {
      load(entry.dllPath, classId);
    }
  }
  return allLoaded;
}

int OverallExit(bool failed, bool malware) {
  Out(std::wstring(L"overall: ") + (failed ? L"error" : malware ? L"malware" : L"clean") + L"\n");
  return failed ? ExitError : malware ? ExitDetected : ExitClean;
}

// One stream through every provider, as one scan of the host.
// `loadFailed`: a provider did not load, which makes the run an error even
// when the others ran.
int ScanOnce(const std::vector<LoadedProvider>& providers, const FileStreamSettings& settings,
             bool loadFailed) {
  IAmsiStream* stream = nullptr;
  const HRESULT created = CreateFileStream(settings, &stream);
  if (FAILED(created)) {
    Err(Format(L"cannot create the stream: 0x%08lX", static_cast<unsigned long>(created)));
    return ExitError;
  }
  const long long frequency = Frequency();
  bool failed = loadFailed;
  bool malware = false;
  for (const LoadedProvider& loaded : providers) {
    IAntimalwareProvider* provider = loaded.provider();
    AMSI_RESULT result = AMSI_RESULT_NOT_DETECTED;
    const long long start = Now();
    const HRESULT hr = provider->lpVtbl->Scan(provider, stream, &result);
    const double ms = ElapsedMs(start, Now(), frequency);
    if (FAILED(hr)) {
      failed = true;
      Out(Format(L"provider \"%ls\": scan failed with 0x%08lX in %.1f ms\n",
                 loaded.displayName().c_str(), static_cast<unsigned long>(hr), ms));
      continue;
    }
    malware = malware || IsMalware(result);
    Out(Format(L"provider \"%ls\": result %lu (%ls) in %.1f ms\n", loaded.displayName().c_str(),
               static_cast<unsigned long>(result), Verdict(result), ms));
  }
  stream->lpVtbl->Release(stream);
  return OverallExit(failed, malware);
}

// Shared by the workers of a load run.
struct LoadRun {
  const std::vector<LoadedProvider>* providers = nullptr;
  FileStreamSettings settings;
  long total = 0;
  long long frequency = 1;
  std::atomic<long> next{0};
  std::atomic<long> done{0};
  std::vector<double> latencyMs;  // one per scan, by scan number
  // Per provider: counts of results.
  std::vector<std::atomic<long>> malware, clean, failed;
  explicit LoadRun(size_t providerCount)
      : malware(providerCount), clean(providerCount), failed(providerCount) {}
};

DWORD WINAPI LoadWorker(void* parameter) {
  LoadRun& run = *static_cast<LoadRun*>(parameter);
  const HRESULT initialized = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  const std::vector<LoadedProvider>& providers = *run.providers;
  for (;;) {
    const long index = run.next.fetch_add(1);
    if (index >= run.total) break;
    // Each scan has its own stream over the shared content.
    IAmsiStream* stream = nullptr;
    if (FAILED(CreateFileStream(run.settings, &stream))) {
      for (size_t p = 0; p < providers.size(); ++p) ++run.failed[p];
      ++run.done;
      continue;
    }
    const long long start = Now();
    for (size_t p = 0; p < providers.size(); ++p) {
      IAntimalwareProvider* provider = providers[p].provider();
      AMSI_RESULT result = AMSI_RESULT_NOT_DETECTED;
      const HRESULT hr = provider->lpVtbl->Scan(provider, stream, &result);
      if (FAILED(hr)) {
        ++run.failed[p];
      } else if (IsMalware(result)) {
        ++run.malware[p];
      } else {
        ++run.clean[p];
      }
    }
    run.latencyMs[static_cast<size_t>(index)] = ElapsedMs(start, Now(), run.frequency);
    stream->lpVtbl->Release(stream);
    ++run.done;
  }
  if (SUCCEEDED(initialized)) CoUninitialize();
  return 0;
}

int ScanRepeatedly(const std::vector<LoadedProvider>& providers,
                   const FileStreamSettings& settings, unsigned long repeat,
                   unsigned long threads, bool loadFailed) {
  LoadRun run(providers.size());
  run.providers = &providers;
  run.settings = settings;
  run.total = static_cast<long>(repeat);
  run.frequency = Frequency();
  run.latencyMs.assign(repeat, 0.0);
  if (threads > repeat) threads = repeat;

  const long long start = Now();
  std::vector<UniqueKernelHandle> workers;
  std::vector<HANDLE> waits;
  for (unsigned long i = 0; i < threads; ++i) {
    UniqueKernelHandle worker(CreateThread(nullptr, 0, LoadWorker, &run, 0, nullptr));
    if (!worker) break;
    waits.push_back(worker.get());
    workers.push_back(std::move(worker));
  }
  if (workers.empty()) {
    Err(Format(L"cannot start a scan thread: error %lu", GetLastError()));
    return ExitError;
  }
  while (WaitForMultipleObjects(static_cast<DWORD>(waits.size()), waits.data(), TRUE,
                                ProgressIntervalMs) == WAIT_TIMEOUT) {
    Err(Format(L"%ld of %ld scans done", run.done.load(), run.total));
  }
  const double seconds = ElapsedMs(start, Now(), run.frequency) / 1000.0;

  bool failed = loadFailed;
  bool malware = false;
  for (size_t p = 0; p < providers.size(); ++p) {
    const long m = run.malware[p].load(), c = run.clean[p].load(), f = run.failed[p].load();
    failed = failed || f > 0;
    malware = malware || m > 0;
    Out(Format(L"provider \"%ls\": %ld scans, %ld malware, %ld clean, %ld failed\n",
               providers[p].displayName().c_str(), m + c + f, m, c, f));
  }
  std::vector<double>& sorted = run.latencyMs;
  std::sort(sorted.begin(), sorted.end());
  Out(Format(L"scans: %ld on %lu threads in %.2f s, %.1f scans/s\n", run.total,
             static_cast<unsigned long>(workers.size()), seconds,
             seconds > 0 ? static_cast<double>(run.total) / seconds : 0.0));
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
    const bool allLoaded = LoadProviders(options, &providers);
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
    Out(Usage);
    return ExitClean;
  }
  return Run(options);
}
