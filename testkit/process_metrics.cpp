#include "testkit/process_metrics.h"

#include <psapi.h>

#include <vector>

namespace {

// SystemHandleInformation's records.
struct HandleEntry {
  ULONG ownerProcessId;
  BYTE objectType;
  BYTE flags;
  USHORT handleValue;
  void* object;
  ACCESS_MASK access;
};
struct HandleTable {
  ULONG count;
  HandleEntry entries[1];
};
constexpr ULONG SystemHandleInformation = 16;
constexpr LONG StatusInfoLengthMismatch = static_cast<LONG>(0xC0000004);

using QuerySystemInformation = LONG(WINAPI*)(ULONG, void*, ULONG, ULONG*);

}  // namespace

long ProcessHandleCount(DWORD processId) {
  static const auto query = reinterpret_cast<QuerySystemInformation>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
  if (query == nullptr) return -1;
  // The table grows while other processes run; a too-small buffer is retried
  // with room to spare, a few times at most.
  static thread_local std::vector<BYTE> buffer(1 << 20);
  for (int attempt = 0; attempt < 4; ++attempt) {
    ULONG needed = 0;
    const LONG status =
        query(SystemHandleInformation, buffer.data(), static_cast<ULONG>(buffer.size()), &needed);
    if (status == StatusInfoLengthMismatch) {
      buffer.resize(buffer.size() * 2 > needed + 65536 ? buffer.size() * 2 : needed + 65536);
      continue;
    }
    if (status < 0) return -1;
    const auto* table = reinterpret_cast<const HandleTable*>(buffer.data());
    long count = 0;
    for (ULONG k = 0; k < table->count; ++k) {
      if (table->entries[k].ownerProcessId == processId) ++count;
    }
    return count;
  }
  return -1;
}

namespace {

bool MemoryCounters(HANDLE process, PROCESS_MEMORY_COUNTERS* counters) {
  *counters = {};
  counters->cb = sizeof *counters;
  return K32GetProcessMemoryInfo(process, counters, sizeof *counters) != FALSE;
}

}  // namespace

size_t PrivateBytes(HANDLE process) {
  PROCESS_MEMORY_COUNTERS counters;
  return MemoryCounters(process, &counters) ? counters.PagefileUsage : 0;
}

size_t PeakPrivateBytes(HANDLE process) {
  PROCESS_MEMORY_COUNTERS counters;
  return MemoryCounters(process, &counters) ? counters.PeakPagefileUsage : 0;
}
