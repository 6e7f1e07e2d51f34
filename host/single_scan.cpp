#include "host/single_scan.h"

#include "host/console.h"
#include "host/latency.h"
#include "host/load_engine.h"

namespace {

const wchar_t* Verdict(AMSI_RESULT result) { return IsMalware(result) ? L"malware" : L"clean"; }

long long Now() {
  LARGE_INTEGER counter;
  QueryPerformanceCounter(&counter);
  return counter.QuadPart;
}

}  // namespace

int OverallExit(bool failed, bool malware) {
  Out(std::wstring(L"overall: ") + (failed ? L"error" : malware ? L"malware" : L"clean") + L"\n");
  return failed ? ExitError : malware ? ExitDetected : ExitClean;
}

int ScanOnce(const std::vector<LoadedProvider>& providers, const FileStreamSettings& settings,
             bool loadFailed) {
  IAmsiStream* stream = nullptr;
  const HRESULT created = CreateFileStream(settings, &stream);
  if (FAILED(created)) {
    Err(Format(L"cannot create the stream: 0x%08lX", static_cast<unsigned long>(created)));
    return ExitError;
  }
  LARGE_INTEGER frequency;
  QueryPerformanceFrequency(&frequency);
  bool failed = loadFailed;
  bool malware = false;
  for (const LoadedProvider& loaded : providers) {
    IAntimalwareProvider* provider = loaded.provider();
    AMSI_RESULT result = AMSI_RESULT_NOT_DETECTED;
    const long long start = Now();
    const HRESULT hr = provider->lpVtbl->Scan(provider, stream, &result);
    const double ms = ElapsedMs(start, Now(), frequency.QuadPart);
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
