// What the reference service takes: raw scans per second at several
// client counts, and its private memory under concurrent 8 MiB requests.
#pragma once

#include "testkit/reference_service.h"

#include <vector>

struct CapacityRow {
  unsigned clients = 0;
  double scansPerSecond = 0;  // successful scans over the wall time
  unsigned long scans = 0, failed = 0, busy = 0;
};

struct MemoryFigures {
  unsigned clients = 0;
  size_t requestBytes = 0;
  SIZE_T idleBytes = 0;     // PagefileUsage before the burst
  SIZE_T sampledPeak = 0;   // the largest PagefileUsage seen during it
  SIZE_T reportedPeak = 0;  // PeakPagefileUsage afterwards
  unsigned long failed = 0;
};

// Each client makes raw 1 KiB exchanges back to back for `seconds`.
std::vector<CapacityRow> MeasureCapacity(const std::vector<unsigned>& clients, double seconds);

// `clients` raw requests of `requestBytes` content, all started at once
// against a freshly started service.
MemoryFigures MeasurePeakMemory(const ReferenceService& service, unsigned clients,
                                size_t requestBytes);
