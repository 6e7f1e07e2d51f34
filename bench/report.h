// The benchmark's results as tables on stdout and as JSON.
#pragma once

#include "bench/at_rest.h"
#include "bench/call_profile.h"
#include "bench/clamd_figures.h"
#include "bench/capacity.h"
#include "bench/matrix.h"
#include "bench/overshoot.h"
#include "bench/scan_accounting.h"
#include "bench/service_stop.h"

#include <string>
#include <vector>

struct BenchResults {
  std::string architecture;
  bool smoke = false;
  unsigned repetitions = 0;
  std::vector<MatrixCell> matrix;
  std::vector<AccountingRow> accounting;
  std::vector<CallProfile> profiles;
  OvershootFigures overshoot;
  std::vector<CapacityRow> capacity;
  MemoryFigures memory;
  IdleProgramFigures idleProgram;
  StopFigures stop;
  ClamdFigures clamd;
  double seconds = 0;
};

void PrintMatrix(const std::vector<MatrixCell>& cells);
void PrintAccounting(const std::vector<AccountingRow>& rows);
void PrintProfile(const CallProfile& profile);
void PrintOvershoot(const OvershootFigures& figures);
void PrintCapacity(const std::vector<CapacityRow>& rows, const MemoryFigures& memory);
void PrintAtRest(const MemoryFigures& service, const IdleProgramFigures& idle);
void PrintStop(const StopFigures& stop);
void PrintClamd(const ClamdFigures& clamd);
// The targets, each met or missed; and a WARNING line per kind of failure.
void PrintTargets(const BenchResults& results);

bool WriteJson(const BenchResults& results, const std::wstring& path);
