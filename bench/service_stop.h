// How long the scan service takes to end after the service control
// manager's stop request (ControlService(SERVICE_CONTROL_STOP), what
// `sc stop` sends), at rest and with 16 raw clients scanning: the service is
// installed from this program's directory for the measurement and
// uninstalled afterwards, also when the measurement fails.
#pragma once

#include "bench/bench_support.h"

#include <string>
#include <vector>

struct StopFigures {
  bool measured = false;  // false: see `failure`
  std::string failure;
  unsigned loadClients = 0;
  std::vector<double> atRestMs, underLoadMs;  // stop request -> process ended
  LatencySummary atRest, underLoad;
  unsigned long loadScans = 0;  // successful exchanges of the loaded runs
};

StopFigures MeasureServiceStop(unsigned repetitions, unsigned loadClients);
