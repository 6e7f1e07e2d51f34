// Allocations and copies that one scan costs on each path, counted through
// the DLL's import table and the stream's Read.
#pragma once

#include "bench/provider_runner.h"

#include <vector>

struct AccountingRow {
  size_t contentBytes = 0;  // as the host reports it
  bool addressPath = true;
  unsigned scans = 0;
  // Per scan, the largest seen over the scans.
  unsigned allocations = 0;        // HeapAlloc in the DLL
  unsigned frees = 0;              // HeapFree, free in the DLL
  SIZE_T largestAllocation = 0;    // bytes
  unsigned copies = 0;             // IAmsiStream::Read calls: each copies the content
  unsigned long long copiedBytes = 0;  // bytes asked for by those reads
  SIZE_T expectedAllocation = 0;   // the capped size on the Read path, else 0
  bool asExpected = false;
};

// Points the DLL's imports at the counting hooks, for the rest of the
// process's life. False if an import is missing.
bool InstallCountingHooks(const ProviderRunner& provider);

// Needs InstallCountingHooks first.
std::vector<AccountingRow> CountAllocationsAndCopies(const ProviderRunner& provider,
                                                     const std::vector<size_t>& sizes,
                                                     unsigned scansEach);
