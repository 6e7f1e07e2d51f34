// KestrovLeakSoak: many scans through the provider DLL against the reference
// service, with the process's handles, the DLL's heap blocks and the
// process's private memory sampled as they go. Any growth is a leak.
//
//   KestrovLeakSoak [--scans N]
#include "host/file_stream.h"
#include "host/provider_host.h"
#include "platform/unique_handle.h"
#include "testkit/dll_hooks.h"
#include "testkit/process_metrics.h"
#include "testkit/provider_dll.h"
#include "testkit/reference_service.h"
#include "testkit/temp_files.h"

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

namespace {

constexpr char Marker[] = "KESTROV-SOAK-MARKER";
constexpr int Samples = 10;
// Private memory may move by allocator noise; a leak of even a handful of
// bytes per scan passes this over 10,000 scans.
constexpr size_t PrivateBytesSlack = 1024 * 1024;

struct Sample {
  unsigned long scans;
  long handles, serviceHandles, blocks;
  size_t privateBytes, servicePrivateBytes;
};

}  // namespace

int wmain(int argc, wchar_t** argv) {
  unsigned long scans = 10000;
  for (int k = 1; k < argc; ++k) {
    if (std::wstring(argv[k]) == L"--scans" && k + 1 < argc) {
      scans = wcstoul(argv[++k], nullptr, 10);
    } else {
      fprintf(stderr, "usage: KestrovLeakSoak [--scans N]\n");
      return 2;
    }
  }
  if (scans < Samples) scans = Samples;

  ReferenceService service;
  const std::wstring rulesPath = service.PathOf(L"rules.txt");
  if (!WriteTextFile(rulesPath, std::string("SOAK text ") + Marker + "\n")) {
    fprintf(stderr, "cannot write the signature file\n");
    return 2;
  }
  if (!service.Start({L"--log", L"NUL", L"--max-seconds", L"3600", L"--signatures", rulesPath})) {
    fprintf(stderr, "the reference service did not start\n");
    return 2;
  }

  int status = 0;
  {
    LoadedProvider loaded;
    std::wstring failure;
    if (FAILED(LoadBuiltProvider(&loaded, &failure)) ||
        !InstallDllHooks(GetModuleHandleW(ProviderDllName))) {
      fprintf(stderr, "cannot load the provider: %ls\n", failure.c_str());
      return 2;
    }
    IAntimalwareProvider* provider = loaded.provider();
    ArmFaults(PlatformFaults());  // no faults: counting only, for the whole run

    // Contents of several sizes, each clean and marked.
    const size_t sizes[] = {1, 100, 1024, 4000, 65536, 300000};
    std::vector<ScanContent> contents(2 * (sizeof sizes / sizeof sizes[0]));
    for (size_t k = 0; k < contents.size(); ++k) {
      std::vector<BYTE> bytes(sizes[k / 2] + (k % 2 ? sizeof Marker : 0), 'a' + k % 26);
      if (k % 2) memcpy(bytes.data() + bytes.size() - (sizeof Marker - 1) - 1, Marker,
                        sizeof Marker - 1);
      contents[k].Assign(bytes.data(), bytes.size());
    }

    std::vector<Sample> samples;
    unsigned long wrong = 0;
    const DWORD self = GetCurrentProcessId(), servicePid = service.processId();
    for (unsigned long n = 0; n < scans; ++n) {
      const size_t which = n % contents.size();
      FileStreamSettings settings;
      settings.content = &contents[which];
      settings.appName = L"KestrovLeakSoak";
      settings.contentName = L"soak";
      settings.offerAddress = (n / contents.size()) % 2 == 0;  // both paths in turn
      IAmsiStream* stream = nullptr;
      if (FAILED(CreateFileStream(settings, &stream))) {
        fprintf(stderr, "no stream\n");
        status = 2;
        break;
      }
      AMSI_RESULT result = AMSI_RESULT_CLEAN;
      const HRESULT hr = provider->lpVtbl->Scan(provider, stream, &result);
      stream->lpVtbl->Release(stream);
      const AMSI_RESULT expected = which % 2 ? AMSI_RESULT_DETECTED : AMSI_RESULT_NOT_DETECTED;
      if (hr != S_OK || result != expected) ++wrong;
      if ((n + 1) % (scans / Samples) == 0) {
        samples.push_back({n + 1, ProcessHandleCount(self), ProcessHandleCount(servicePid),
                           Counters().outstanding, PrivateBytes(GetCurrentProcess()),
                           PrivateBytes(service.process())});
      }
    }

    printf("%8s %8s %12s %14s %16s %22s\n", "scans", "handles", "heap blocks", "private KiB",
           "service handles", "service private KiB");
    for (const Sample& s : samples) {
      printf("%8lu %8ld %12ld %14zu %16ld %22zu\n", s.scans, s.handles, s.blocks,
             s.privateBytes / 1024, s.serviceHandles, s.servicePrivateBytes / 1024);
    }
    // The first sample is the baseline: by then everything the process and
    // the service set up once is in place.
    bool flat = !samples.empty();
    for (const Sample& s : samples) {
      flat = flat && s.handles == samples[0].handles && s.blocks == 0 &&
             s.privateBytes <= samples[0].privateBytes + PrivateBytesSlack;
    }
    const HookCounters& hooks = Counters();
    printf("leak soak: %lu scans, %lu wrong verdicts, %u heap allocations and %u frees in the "
           "DLL, handles %ld -> %ld, private memory %+lld KiB: %s\n",
           scans, wrong, hooks.heapAllocs, hooks.heapFrees,
           samples.empty() ? -1 : samples.front().handles,
           samples.empty() ? -1 : samples.back().handles,
           samples.empty() ? 0LL
                           : (static_cast<long long>(samples.back().privateBytes) -
                              static_cast<long long>(samples.front().privateBytes)) / 1024,
           flat && wrong == 0 ? "flat" : "LEAK OR WRONG VERDICTS");
    if (!flat || wrong != 0 || hooks.heapAllocs != hooks.heapFrees) status = 1;
  }
  service.Kill();
  return status;
}
