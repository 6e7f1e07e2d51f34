#include "bench/clamd_figures.h"

#include "bench/matrix.h"
#include "service/engine/clamd_client.h"
#include "testkit/reference_service.h"
#include "testkit/temp_files.h"

#include <cstdio>
#include <memory>

namespace {

// clamd answers a 1 MiB stream in tens of milliseconds; the bound only
// keeps a wedged clamd from hanging the benchmark.
constexpr ULONGLONG RawScanBoundMs = 10000;
// Scans before the measured ones: connections, caches and pages warmed.
constexpr unsigned WarmUpScans = 3;

bool ProviderDetects(const ProviderRunner& provider, IAmsiStream* stream) {
  return provider.Scan(stream) == AMSI_RESULT_DETECTED;
}

// One raw zINSTREAM of `content`; true when clamd names the sample signature.
bool RawClamdDetects(const ClamdAddress& address, const std::vector<BYTE>& content) {
  ClamdScan scan;
  scan.Begin(address, GetTickCount64() + RawScanBoundMs, ClamdTextMode::Raw, content.size());
  scan.Feed(content.data(), content.size());
  const ClamdResult result = scan.Finish();
  return result.outcome == ClamdOutcome::Found && result.text == ClamdSignature;
}

// Times `scan` in turns with `other` (when given), so that both see the
// same machine; failed scans are counted, not timed.
void Alternate(unsigned scans, const std::function<bool()>& scan, std::vector<double>* samples,
               unsigned long* failed, const std::function<bool()>& other = nullptr,
               std::vector<double>* otherSamples = nullptr, unsigned long* otherFailed = nullptr) {
  for (unsigned k = 0; k < WarmUpScans; ++k) {
    scan();
    if (other) other();
  }
  for (unsigned k = 0; k < scans; ++k) {
    long long start = CounterNow();
    if (scan()) {
      samples->push_back(CounterMs(start, CounterNow()));
    } else {
      ++*failed;
    }
    if (!other) continue;
    start = CounterNow();
    if (other()) {
      otherSamples->push_back(CounterMs(start, CounterNow()));
    } else {
      ++*otherFailed;
    }
  }
}

// The log's lines are written by the service's writer thread: poll until
// `text` shows, for five seconds at most.
bool LogShows(const std::wstring& log, const std::string& text) {
  const ULONGLONG giveUp = GetTickCount64() + 5000;
  for (;;) {
    if (ReadTextFile(log).find(text) != std::string::npos) return true;
    if (GetTickCount64() >= giveUp) return false;
    Sleep(50);
  }
}

// What the service logged for clamd on the first scan it did not judge
// (`"clamd":"failed: WHY"` or `"skipped ..."`), or nothing.
std::string FirstClamdFailure(const std::wstring& log) {
  const std::string text = ReadTextFile(log);
  const std::string key = "\"clamd\":\"";
  for (size_t at = text.find(key); at != std::string::npos; at = text.find(key, at + 1)) {
    const size_t start = at + key.size();
    const size_t end = text.find('"', start);
    if (end == std::string::npos) break;
    const std::string said = text.substr(start, end - start);
    if (said.rfind("found", 0) != 0) return said;
  }
  return std::string();
}

bool StartService(ReferenceService* service, const std::wstring& clamd, bool cacheOn) {
  std::vector<std::wstring> arguments = {L"--log", service->PathOf(L"scans.log"),
                                         L"--max-seconds", L"3600"};
  if (!clamd.empty()) {
    arguments.push_back(L"--clamd");
    arguments.push_back(clamd);
  }
  if (!cacheOn) {
    arguments.push_back(L"--cache-entries");
    arguments.push_back(L"0");
  }
  return service->Start(arguments);
}

}  // namespace

ClamdFigures MeasureClamd(const ProviderRunner& provider, unsigned port,
                          const ClamdSettings& settings) {
  ClamdFigures figures;
  const std::string addressText = "127.0.0.1:" + std::to_string(port);
  ClamdAddress address;
  std::string why;
  if (!ParseClamdAddress(addressText, false, &address, &why)) {
    figures.skipped = "bad clamd port: " + why;
    return figures;
  }
  const std::wstring clamd(addressText.begin(), addressText.end());

  std::vector<std::vector<BYTE>> contents;
  std::vector<std::unique_ptr<ScanContent>> scanContents;
  for (const size_t bytes : settings.sizes) {
    contents.push_back(MarkedContent(bytes, ClamdMarker));
    scanContents.push_back(std::make_unique<ScanContent>());
    scanContents.back()->Assign(contents.back().data(), contents.back().size());
  }

  // Every figure below is of clamd's detections: clamd must name the
  // sample signature, and the service's own rules must pass the content.
  {
    ReferenceService rulesOnly;
    if (!StartService(&rulesOnly, L"", true)) {
      figures.skipped = "the service without clamd did not start";
      return figures;
    }
    for (size_t k = 0; k < contents.size(); ++k) {
      BenchStream stream(*scanContents[k], L"bench-clamd-check", true);
      if (provider.Scan(stream.get()) != AMSI_RESULT_NOT_DETECTED) {
        figures.skipped = "the service's own rules judge the clamd content at " +
                          SizeLabel(contents[k].size()) + " not clean";
        return figures;
      }
      if (!RawClamdDetects(address, contents[k])) {
        figures.skipped = "clamd on " + addressText + " does not report " + ClamdSignature +
                          " at " + SizeLabel(contents[k].size());
        return figures;
      }
    }
  }

  // Cache off: every scan reaches clamd.
  {
    ReferenceService service;
    if (!StartService(&service, clamd, false)) {
      figures.skipped = "the service with --clamd " + addressText + " did not start";
      return figures;
    }
    for (size_t k = 0; k < contents.size(); ++k) {
      ClamdLatencyRow row;
      row.contentBytes = contents[k].size();
      BenchStream stream(*scanContents[k], L"bench-clamd", true);
      std::vector<double> provided, raw;
      Alternate(
          row.contentBytes <= 64 * 1024 ? settings.scansSmall : settings.scansLarge,
          [&] { return ProviderDetects(provider, stream.get()); }, &provided,
          &row.providerFailed, [&] { return RawClamdDetects(address, contents[k]); }, &raw,
          &row.rawFailed);
      row.provider = Summarize(provided);
      row.raw = Summarize(raw);
      row.ratio = row.raw.p50 > 0 ? row.provider.p50 / row.raw.p50 : 0;
      figures.latency.push_back(row);
    }
    if (!LogShows(service.PathOf(L"scans.log"), std::string("\"rule\":\"") + ClamdSignature +
                                                    "\",\"engine\":\"clamd\"")) {
      figures.skipped = "the service's log shows no detection by clamd";
      figures.latency.clear();
      return figures;
    }
    if (ReadTextFile(service.PathOf(L"scans.log")).find("\"cached\":true") != std::string::npos) {
      figures.skipped = "a verdict came from the cache with --cache-entries 0";
      figures.latency.clear();
      return figures;
    }

    figures.firstFailure = FirstClamdFailure(service.PathOf(L"scans.log"));
    // A fresh service for each throughput run: a failed clamd exchange puts
    // the service's clamd client into its back-off, which must not carry
    // over from one run into the next.
    for (const unsigned threads : settings.threads) {
      if (!StartService(&service, clamd, false)) {
        figures.skipped = "the service with --clamd " + addressText + " did not start again";
        figures.latency.clear();
        figures.throughput.clear();
        return figures;
      }
      std::vector<std::unique_ptr<BenchStream>> streams;
      for (unsigned t = 0; t < threads; ++t) {
        streams.push_back(std::make_unique<BenchStream>(*scanContents[0], L"bench-clamd", true));
      }
      ProviderDetects(provider, streams[0]->get());  // warm-up
      const unsigned perThread = settings.throughputScans / threads;
      const RunFigures run = RunConcurrent(threads, perThread ? perThread : 1, [&](unsigned t) {
        return ProviderDetects(provider, streams[t]->get());
      });
      ClamdThroughputRow row;
      row.threads = threads;
      row.scans = static_cast<unsigned long>(run.latencies.size());
      row.failed = run.failed;
      row.scansPerSecond = run.wallMs > 0 ? static_cast<double>(row.scans) * 1000.0 / run.wallMs : 0;
      figures.throughput.push_back(row);
    }
    if (figures.firstFailure.empty()) {
      figures.firstFailure = FirstClamdFailure(service.PathOf(L"scans.log"));
    }
  }

  // Cache on: the first scan of each content fills it, the rest are hits.
  {
    ReferenceService service;
    if (!StartService(&service, clamd, true)) {
      figures.skipped = "the service with the cache on did not start";
      return figures;
    }
    for (size_t k = 0; k < contents.size(); ++k) {
      ClamdLatencyRow& row = figures.latency[k];
      BenchStream stream(*scanContents[k], L"bench-clamd-cached", true);
      std::vector<double> hits;
      Alternate(row.contentBytes <= 64 * 1024 ? settings.scansSmall : settings.scansLarge,
                [&] { return ProviderDetects(provider, stream.get()); }, &hits, &row.hitFailed);
      row.cacheHit = Summarize(hits);
      row.hitOverMiss = row.provider.p50 > 0 ? row.cacheHit.p50 / row.provider.p50 : 0;
    }
    if (!LogShows(service.PathOf(L"scans.log"), "\"cached\":true")) {
      figures.skipped = "no verdict came from the cache with the cache on";
      figures.latency.clear();
      figures.throughput.clear();
      return figures;
    }
  }
  figures.port = port;
  return figures;
}
