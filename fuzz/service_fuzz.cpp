// KestrovServiceFuzz: hostile clients against the reference scan service.
//
//   KestrovServiceFuzz [--rounds N] [--seed S]
//
// Each round runs a crowd of clients at once: random bytes, random headers,
// lengths at and over the limits, requests cut off, slow writers, idle
// connections, requests with bytes to spare. Then a good client must get
// its verdict within a bound, the service must still run, and its handles
// and memory must not keep growing. Replies to bad requests are checked
// too: a malformed request gets no verdict at all.
#include "fuzz/random.h"
#include "platform/unique_handle.h"
#include "protocol/wire_format.h"
#include "testkit/pipe_client.h"
#include "testkit/process_metrics.h"
#include "testkit/reference_service.h"
#include "testkit/temp_files.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

namespace {

constexpr char Marker[] = "KESTROV-FUZZ-MARKER";
constexpr DWORD ConnectionTimeoutMs = 1000;
// Instances of the service under test; idle rounds hold every one of them.
constexpr unsigned Instances = 64;
// A good client is served within this, even when idle clients hold every
// instance: they are dropped after the connection time-out.
constexpr DWORD GoodClientBoundMs = ConnectionTimeoutMs + 4000;
// Memory the service may hold beyond its first-round level: its instances'
// buffers are made once, so anything near this is growth.
constexpr size_t MemorySlack = 8 * 1024 * 1024;

std::vector<BYTE> Request(const ScanRequestHeader& header, const std::vector<BYTE>& body) {
  std::vector<BYTE> bytes(sizeof header + body.size());
  memcpy(bytes.data(), &header, sizeof header);
  if (!body.empty()) memcpy(bytes.data() + sizeof header, body.data(), body.size());
  return bytes;
}

ScanRequestHeader ValidHeader(uint32_t app, uint32_t name, uint32_t content) {
  ScanRequestHeader header = {ScanRequestMagic, ScanRequestVersion, GetCurrentProcessId(),
                              app, name, content, 0};
  return header;
}

// A good request: small, marked, answered with 1.
std::vector<BYTE> GoodRequest() {
  std::vector<BYTE> body = {'a', 0, 'p', 0};
  body.insert(body.end(), Marker, Marker + sizeof Marker - 1);
  return Request(ValidHeader(4, 0, sizeof Marker - 1), body);
}

struct Shared {
  std::atomic<unsigned long> clients{0}, violations{0};
  std::atomic<unsigned long> kinds[8] = {};
};

void Violation(Shared& shared, uint64_t seed, const char* what) {
  ++shared.violations;
  fprintf(stderr, "VIOLATION (client seed %llu): %s\n", static_cast<unsigned long long>(seed),
          what);
}

// Reads what the service answers after a request, within `timeoutMs`.
std::vector<BYTE> ReadAnswer(PipeClient& client, DWORD timeoutMs) {
  std::vector<BYTE> answer(8);
  const DWORD got =
      client.Move(false, answer.data(), static_cast<DWORD>(answer.size()), timeoutMs).moved;
  answer.resize(got);
  return answer;
}

// One hostile client, drawn from `seed`.
void HostileClient(uint64_t seed, Shared& shared) {
  Random random(seed);
  PipeClient client;
  if (!client.Connect(GoodClientBoundMs, false)) return;  // all instances busy: that is allowed
  ++shared.clients;
  const uint32_t kind = random.Below(8);
  ++shared.kinds[kind];
  switch (kind) {
    case 0: {  // random bytes
      std::vector<BYTE> bytes(random.Between(1, 200));
      for (BYTE& b : bytes) b = static_cast<BYTE>(random.Next());
      client.Move(true, bytes.data(), static_cast<DWORD>(bytes.size()), 500);
      ScanRequestHeader header = {};
      memcpy(&header, bytes.data(), bytes.size() < sizeof header ? bytes.size() : sizeof header);
      const std::vector<BYTE> answer = ReadAnswer(client, 300);
      if (!answer.empty() && (bytes.size() < sizeof header || !IsValidRequestHeader(header))) {
        Violation(shared, seed, "a verdict for random bytes");
      }
      break;
    }
    case 1: case 2: {  // a header with fields at and beyond the limits, and a body
      static const uint32_t names[] = {0, 2, 1, 1023, 1024, 1025, 1026, 0xFFFFFFFF, 100};
      static const uint32_t contents[] = {0, 1, 2, 4096, MaxContentBytes - 1, MaxContentBytes,
                                          MaxContentBytes + 1, 0x80000000, 0xFFFFFFFF};
      ScanRequestHeader header = ValidHeader(names[random.Below(9)], names[random.Below(9)],
                                             contents[random.Below(9)]);
      if (random.Chance(15)) header.magic ^= 1u << random.Below(32);
      if (random.Chance(15)) header.version = random.Below(4);
      header.truncated = random.Chance(80) ? random.Below(2) : random.Below(5);
      const bool valid = IsValidRequestHeader(header);
      const uint64_t announced = static_cast<uint64_t>(header.appNameBytes) +
                                 header.contentNameBytes + header.contentBytes;
      // The whole body when it is small enough to send, else part of it: a
      // service that took a bad header for a good one would then answer.
      const bool whole = announced <= 2 * MaxContentBytes && random.Chance(70);
      const size_t sent = whole ? static_cast<size_t>(announced) : random.Below(5000);
      std::vector<BYTE> body(sent);
      for (BYTE& b : body) b = static_cast<BYTE>('a' + random.Below(26));
      const std::vector<BYTE> request = Request(header, body);
      client.Move(true, const_cast<BYTE*>(request.data()),
                      static_cast<DWORD>(request.size()), 5000);
      const std::vector<BYTE> answer = ReadAnswer(client, whole ? 5000 : 300);
      if (!valid && !answer.empty()) Violation(shared, seed, "a verdict for a malformed header");
      if (valid && whole && (answer.size() != 4 || answer[1] || answer[2] || answer[3] || answer[0] > 1)) {
        Violation(shared, seed, "no verdict of 0 or 1 for a whole, valid request");
      }
      break;
    }
    case 3: {  // cut off part way
      const std::vector<BYTE> request = GoodRequest();
      client.Move(true, const_cast<BYTE*>(request.data()),
                      random.Below(static_cast<uint32_t>(request.size())), 500);
      break;
    }
    case 4: {  // a slow writer: a byte every 50 to 150 ms
      const std::vector<BYTE> request = GoodRequest();
      const ULONGLONG started = GetTickCount64();
      size_t k = 0;
      for (; k < request.size(); ++k) {
        BYTE b = request[k];
        if (!client.Move(true, &b, 1, 2000).complete) break;
        Sleep(random.Between(50, 150));
      }
      if (k == request.size() && !ReadAnswer(client, 500).empty()) {
        Violation(shared, seed, "a verdict for a request slower than the connection time-out");
      }
      if (GetTickCount64() - started > ConnectionTimeoutMs + 3000) {
        Violation(shared, seed, "a slow writer was not dropped in time");
      }
      break;
    }
    case 5: {  // idle until dropped
      const ULONGLONG started = GetTickCount64();
      const std::vector<BYTE> answer = ReadAnswer(client, ConnectionTimeoutMs + 3000);
      if (!answer.empty()) Violation(shared, seed, "an idle client got bytes");
      if (GetTickCount64() - started > ConnectionTimeoutMs + 2500) {
        Violation(shared, seed, "an idle client was not dropped in time");
      }
      break;
    }
    case 6: break;  // gone at once
    default: {      // a good request with bytes to spare behind it
      std::vector<BYTE> request = GoodRequest();
      request.resize(request.size() + random.Between(1, 3000), 'z');
      client.Move(true, request.data(), static_cast<DWORD>(request.size()), 2000);
      const std::vector<BYTE> answer = ReadAnswer(client, 2000);
      if (!answer.empty() && (answer.size() != 4 || answer[0] != 1)) {
        Violation(shared, seed, "a wrong verdict for a request with bytes to spare");
      }
    }
  }
}

struct ClientStart {
  uint64_t seed;
  Shared* shared;
};

DWORD WINAPI ClientThread(void* parameter) {
  const ClientStart* start = static_cast<ClientStart*>(parameter);
  HostileClient(start->seed, *start->shared);
  return 0;
}

// A good client: true when it got 1 within the bound. `ms` is how long it took.
bool GoodClient(double* ms) {
  LARGE_INTEGER frequency, start, end;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&start);
  PipeClient client;
  std::vector<BYTE> request = GoodRequest();
  BYTE verdict[4] = {0xEF, 0xBE, 0xAD, 0xDE};
  const bool ok = client.Connect(GoodClientBoundMs, false) &&
                  client.Move(true, request.data(), static_cast<DWORD>(request.size()),
                              GoodClientBoundMs).complete &&
                  client.Move(false, verdict, 4, GoodClientBoundMs).complete && verdict[0] == 1 &&
                  verdict[1] == 0 && verdict[2] == 0 && verdict[3] == 0;
  QueryPerformanceCounter(&end);
  *ms = static_cast<double>(end.QuadPart - start.QuadPart) * 1000.0 / frequency.QuadPart;
  return ok && *ms <= GoodClientBoundMs;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  unsigned long rounds = 10;
  unsigned long long seed = 1;
  for (int k = 1; k + 1 < argc; k += 2) {
    const std::wstring arg = argv[k];
    if (arg == L"--rounds") {
      rounds = wcstoul(argv[k + 1], nullptr, 10);
    } else if (arg == L"--seed") {
      seed = wcstoull(argv[k + 1], nullptr, 0);
    }
  }

  ReferenceService service;
  const std::wstring rulesPath = service.PathOf(L"rules.txt");
  if (!WriteTextFile(rulesPath, std::string("FUZZ text ") + Marker + "\n")) {
    fprintf(stderr, "cannot write the signature file\n");
    return 2;
  }
  if (!service.Start({L"--log", L"NUL", L"--max-seconds", L"3600", L"--signatures", rulesPath,
                      L"--connection-timeout-ms", std::to_wstring(ConnectionTimeoutMs),
                      L"--instances", std::to_wstring(Instances)})) {
    fprintf(stderr, "the service did not start\n");
    return 2;
  }

  Shared shared;
  unsigned long failures = 0;
  double worstGoodMs = 0;
  size_t baseMemory = 0, peakMemory = 0;
  long baseHandles = -1, lastHandles = -1;
  const DWORD servicePid = service.processId();
  for (unsigned long round = 0; round < rounds; ++round) {
    Random random(CaseSeed(seed, round));
    // The last round of every ten holds every instance with idle clients.
    const unsigned crowd = round % 10 == 9 ? Instances : random.Between(8, 40);
    std::vector<ClientStart> starts(crowd);
    std::vector<UniqueKernelHandle> threads;
    for (unsigned k = 0; k < crowd; ++k) {
      starts[k] = {round % 10 == 9 ? (random.Next() & ~7ull) : random.Next(), &shared};
      if (round % 10 == 9) {
        // Kind 5 (idle) for every client of this round.
        uint64_t s = random.Next();
        while (Random(s).Below(8) != 5) ++s;
        starts[k].seed = s;
      }
      threads.emplace_back(CreateThread(nullptr, 0, ClientThread, &starts[k], 0, nullptr));
    }
    Sleep(50);  // let the crowd connect before the good client comes
    double goodMs = 0;
    const bool served = GoodClient(&goodMs);
    if (goodMs > worstGoodMs) worstGoodMs = goodMs;
    for (UniqueKernelHandle& thread : threads) {
      // Every client's transfers are bounded; this only reaps them.
      if (thread) WaitForSingleObject(thread.get(), 30000);
    }
    const bool alive = WaitForSingleObject(service.process(), 0) == WAIT_TIMEOUT;
    // Wait for the service to drop what is left of this round before
    // sampling, so that samples compare like with like.
    Sleep(ConnectionTimeoutMs + 200);
    const size_t memory = PrivateBytes(service.process());
    lastHandles = ProcessHandleCount(servicePid);
    if (round == 0) {
      baseMemory = memory;
      baseHandles = lastHandles;
    }
    if (memory > peakMemory) peakMemory = memory;
    if (!served || !alive) {
      ++failures;
      fprintf(stderr, "FAIL round %lu of seed %llu: %s\n", round, seed,
              !alive ? "the service is gone" : "the good client was not served in time");
      if (!alive) break;
    }
  }
  const bool grew = peakMemory > baseMemory + MemorySlack || lastHandles > baseHandles + 2;
  if (grew) {
    ++failures;
    fprintf(stderr, "FAIL: the service grew: memory %zu -> %zu KiB, handles %ld -> %ld\n",
            baseMemory / 1024, peakMemory / 1024, baseHandles, lastHandles);
  }
  printf("service fuzz: seed %llu, %lu rounds, %lu hostile clients (random bytes %lu, headers "
         "%lu, cut off %lu, slow %lu, idle %lu, gone %lu, spare bytes %lu), %lu violations, "
         "%lu failures\n",
         seed, rounds, shared.clients.load(), shared.kinds[0].load(),
         shared.kinds[1].load() + shared.kinds[2].load(), shared.kinds[3].load(),
         shared.kinds[4].load(), shared.kinds[5].load(), shared.kinds[6].load(),
         shared.kinds[7].load(), shared.violations.load(), failures);
  printf("  good client worst %.1f ms (bound %lu ms); service memory %zu KiB first, %zu KiB "
         "peak; handles %ld first, %ld last\n",
         worstGoodMs, GoodClientBoundMs, baseMemory / 1024, peakMemory / 1024, baseHandles,
         lastHandles);
  service.Kill();
  return failures == 0 && shared.violations == 0 ? 0 : 1;
}
