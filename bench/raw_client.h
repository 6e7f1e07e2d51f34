// The raw exchange: the request bytes the provider would send, sent by the
// least a client can do on this platform. It opens the pipe once, skips
// the server check, uses one event, writes the whole request in one write
// and reads the verdict once. Its time is the floor for a provider scan.
#pragma once

#include "bench/bench_support.h"

#include <windows.h>

#include <string>
#include <vector>

// The whole request for `content` under the given names, built as the
// provider builds it (header, application name, content name, content).
std::vector<BYTE> BuildRawRequest(const std::wstring& appName, const std::wstring& contentName,
                                  const std::vector<BYTE>& content);

enum class RawOutcome { Detected, NotDetected, Busy, Failed };

// One exchange. `tally`, when given, receives the time of each platform
// call.
RawOutcome RawExchange(const std::vector<BYTE>& request, CallTally* tally = nullptr);
