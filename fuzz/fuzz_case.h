// One fuzz case: what the stream answers, how the service behaves and which
// platform call fails, all drawn from one seed; and what the provider must
// then do.
#pragma once

#include "fuzz/fuzz_server.h"
#include "fuzz/fuzz_stream.h"
#include "protocol/wire_format.h"
#include "testkit/dll_hooks.h"

#include <cstdint>
#include <string>
#include <vector>

struct FuzzCase {
  uint64_t seed = 0;
  bool nullResult = false;  // Scan gets no result pointer
  bool nullStream = false;
  StreamPlan stream;
  ServerPlan server;
  PlatformFaults faults;
  // False when the server's image path is made to lie outside the DLL's
  // directory.
  bool serverTrusted = true;
};

// Draws case `seed`. `serverImage` is this program's own image path, which
// the server's image path variations start from.
FuzzCase MakeCase(uint64_t seed, const std::wstring& serverImage);

// What a correct provider does with a case, worked out from the answers
// alone.
struct Expectation {
  bool opensPipe = false;     // it gets as far as opening the pipe
  bool readPath = false;      // ... through one Read into a copy
  uint32_t cappedSize = 0;
  size_t requestBytes = 0;
  std::vector<BYTE> request;  // the whole request it sends, if it sends one
  // Nothing stands in the way of the exchange: the provider must report
  // what the server replied.
  bool mustComplete = false;
};
// `content` is the stream's content, `processId` the scanning process.
Expectation Expect(const FuzzCase& fuzzCase, const BYTE* content, DWORD processId);

std::string Describe(const FuzzCase& fuzzCase);
