#include "bench/scan_accounting.h"

#include "bench/bench_support.h"
#include "testkit/dll_hooks.h"
#include "testkit/fake_amsi_stream.h"

bool InstallCountingHooks(const ProviderRunner& provider) {
  return InstallDllHooks(provider.module());
}

std::vector<AccountingRow> CountAllocationsAndCopies(const ProviderRunner& provider,
                                                     const std::vector<size_t>& sizes,
                                                     unsigned scansEach) {
  std::vector<AccountingRow> rows;
  for (const size_t bytes : sizes) {
    for (int path = 0; path < 2; ++path) {
      AccountingRow row;
      row.contentBytes = bytes;
      row.addressPath = path == 0;
      row.expectedAllocation = row.addressPath ? 0 : (bytes < MaxContentBytes ? bytes
                                                                              : MaxContentBytes);
      FakeAmsiStream stream;
      stream.SetName(AMSI_ATTRIBUTE_APP_NAME, BenchAppName);
      stream.SetName(AMSI_ATTRIBUTE_CONTENT_NAME, L"bench-" + std::to_wstring(bytes));
      stream.SetContent(MarkedContent(bytes), row.addressPath);
      bool consistent = true;
      for (unsigned n = 0; n < scansEach; ++n) {
        stream.callCount = 0;
        ArmFaults(PlatformFaults());  // no faults: counters only, reset per scan
        provider.Scan(stream.get());
        DisarmFaults();
        const HookCounters& counted = Counters();
        const unsigned allocations = counted.heapAllocs + counted.crtAllocs;
        const unsigned frees = counted.heapFrees + counted.crtFrees;
        unsigned copies = 0;
        unsigned long long copied = 0;
        for (size_t k = 0; k < stream.callCount && k < FakeAmsiStream::MaxCalls; ++k) {
          if (!stream.calls[k].isRead) continue;
          ++copies;
          copied += stream.calls[k].dataSize;
        }
        if (n > 0 && (allocations != row.allocations || copies != row.copies)) consistent = false;
        if (allocations > row.allocations) row.allocations = allocations;
        if (frees > row.frees) row.frees = frees;
        if (counted.largestAlloc > row.largestAllocation) {
          row.largestAllocation = counted.largestAlloc;
        }
        if (copies > row.copies) row.copies = copies;
        if (copied > row.copiedBytes) row.copiedBytes = copied;
        ++row.scans;
        if (counted.outstanding != 0) consistent = false;  // a block the scan kept
      }
      row.asExpected =
          consistent && (row.addressPath
                             ? row.allocations == 0 && row.copies == 0
                             : row.allocations == 1 && row.frees == 1 &&
                                   row.largestAllocation == row.expectedAllocation &&
                                   row.copies == 1 && row.copiedBytes == row.expectedAllocation);
      rows.push_back(row);
    }
  }
  return rows;
}
