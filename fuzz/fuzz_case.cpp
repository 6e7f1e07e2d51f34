#include "fuzz/fuzz_case.h"

#include "fuzz/random.h"
#include "testkit/request_bytes.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr uint32_t BudgetMs = 1500;

ULONGLONG DrawContentSize(Random& random) {
  switch (random.Below(20)) {
    case 0: return 0;
    case 1: return random.Between(1, 3);
    case 2: return 1024;
    case 3: return 65536 + random.Below(2);
    case 4: return 1024 * 1024;
    case 5: return MaxContentBytes - 1 + random.Below(3);  // around the cap
    case 6: {
      static const ULONGLONG huge[] = {0x100000000ull, 0x100000001ull, 0xFFFFFFFFull,
                                       0x1234567890ull, ~0ull};
      return huge[random.Below(5)];
    }
    case 7: case 8: return random.Between(1, 65536);
    default: return random.Between(1, 4096);
  }
}

HRESULT DrawFailure(Random& random) {
  static const HRESULT failures[] = {E_NOTIMPL, E_FAIL, E_INVALIDARG, E_NOT_SUFFICIENT_BUFFER,
                                     E_OUTOFMEMORY, static_cast<HRESULT>(0x80000000)};
  return failures[random.Below(6)];
}

HRESULT DrawResult(Random& random, uint32_t failPercent) {
  if (random.Chance(failPercent)) return DrawFailure(random);
  return random.Chance(5) ? S_FALSE : S_OK;
}

AttributeAnswer DrawSizeAnswer(Random& random) {
  AttributeAnswer answer;
  answer.result = DrawResult(random, 8);
  const ULONGLONG size = DrawContentSize(random);
  BYTE bytes[12];
  memcpy(bytes, &size, 8);
  for (int k = 8; k < 12; ++k) bytes[k] = static_cast<BYTE>(random.Next());
  // Mostly the 8 bytes asked for; sometimes fewer, or more than fit.
  const uint32_t length = random.Chance(85) ? 8 : random.Chance(50) ? random.Below(8) : 12;
  answer.data.assign(bytes, bytes + length);
  answer.returnedSize = random.Chance(80) ? length : static_cast<ULONG>(random.Next());
  return answer;
}

AttributeAnswer DrawNameAnswer(Random& random) {
  AttributeAnswer answer;
  answer.result = DrawResult(random, 10);
  const uint32_t units = random.Chance(10) ? random.Between(500, 700) : random.Below(80);
  for (uint32_t k = 0; k < units; ++k) {
    // Mostly letters, with the odd NUL and non-ASCII unit.
    const uint16_t unit = random.Chance(3)    ? 0
                          : random.Chance(10) ? static_cast<uint16_t>(random.Next())
                                              : static_cast<uint16_t>(L'a' + random.Below(26));
    answer.data.push_back(static_cast<BYTE>(unit));
    answer.data.push_back(static_cast<BYTE>(unit >> 8));
  }
  const uint32_t terminators = random.Chance(70) ? 1 : random.Below(4);
  for (uint32_t k = 0; k < terminators; ++k) answer.data.insert(answer.data.end(), {0, 0});
  if (random.Chance(5)) answer.data.push_back(static_cast<BYTE>(random.Next()));  // odd
  const ULONG length = static_cast<ULONG>(answer.data.size());
  switch (random.Below(12)) {
    case 0: answer.returnedSize = random.Below(4); break;  // 0 to 3
    case 1: answer.returnedSize = length | 1; break;
    case 2: answer.returnedSize = MaxNameBytes - 1 + random.Below(4); break;
    case 3: answer.returnedSize = 0xFFFFFFFF - random.Below(2); break;
    case 4: answer.returnedSize = random.Below(2048); break;
    default: answer.returnedSize = length;
  }
  return answer;
}

std::vector<BYTE> DrawReply(Random& random) {
  std::vector<BYTE> detected = {1, 0, 0, 0};
  switch (random.Below(20)) {
    case 0: case 1: case 2: case 3: case 4: case 5: case 6: case 7: case 8: return detected;
    case 9: case 10: case 11: return {0, 0, 0, 0};
    case 12: {
      detected.resize(4 + random.Between(1, 8));
      for (size_t k = 4; k < detected.size(); ++k) detected[k] = static_cast<BYTE>(random.Next());
      return detected;
    }
    case 13: return std::vector<BYTE>(detected.begin(), detected.begin() + random.Below(4));
    case 14: {  // one bit away from "detected"
      const uint32_t bit = random.Below(32);
      detected[bit / 8] = static_cast<BYTE>(detected[bit / 8] ^ (1u << (bit % 8)));
      return detected;
    }
    default: {
      std::vector<BYTE> reply(random.Below(9));
      for (BYTE& b : reply) b = static_cast<BYTE>(random.Below(3) == 0 ? random.Next() : 0);
      return reply;
    }
  }
}

// Image paths for the server that differ from the real one in one way.
std::wstring VaryImagePath(Random& random, const std::wstring& image, bool* trusted) {
  const size_t slash = image.rfind(L'\\');
  const std::wstring directory = image.substr(0, slash + 1);
  const std::wstring name = image.substr(slash + 1);
  switch (random.Below(7)) {
    case 0: {  // the same path in other letter case is the same directory
      std::wstring upper = image;
      for (wchar_t& c : upper) {
        if (c >= L'a' && c <= L'z') c = static_cast<wchar_t>(c - 0x20);
      }
      *trusted = true;
      return upper;
    }
    case 1: *trusted = true; return directory + L"Other Name.exe";
    case 2: *trusted = false; return L"C:\\Kestrov-elsewhere\\" + name;
    case 3: *trusted = false; return directory + L"sub\\" + name;
    case 4: {  // the parent directory
      const size_t parent = image.rfind(L'\\', slash - 1);
      *trusted = false;
      return image.substr(0, parent + 1) + name;
    }
    case 5: {  // a character that some comparisons ignore
      *trusted = false;
      return directory.substr(0, slash) + L"\u00AD\\" + name;
    }
    default: *trusted = false; return directory.substr(0, slash) + L"2\\" + name;
  }
}

size_t RequestBytesFor(const FuzzCase& c) { return Expect(c, nullptr, 0).requestBytes; }

// Trimmed length of a name the way the provider must send it.
ULONG ExpectedNameBytes(const AttributeAnswer& answer, BYTE* buffer) {
  const ULONG copied = answer.data.size() < MaxNameBytes ? static_cast<ULONG>(answer.data.size())
                                                       : MaxNameBytes;
  for (ULONG k = 0; k < MaxNameBytes; ++k) {
    buffer[k] = k < copied ? answer.data[k] : NameFillerByte(k);
  }
  if (FAILED(answer.result) || answer.returnedSize < 2) return 0;
  ULONG length = (answer.returnedSize < MaxNameBytes ? answer.returnedSize : MaxNameBytes) & ~1u;
  while (length >= 2 && buffer[length - 2] == 0 && buffer[length - 1] == 0) length -= 2;
  return length;
}

}  // namespace

FuzzCase MakeCase(uint64_t seed, const std::wstring& serverImage) {
  Random random(seed);
  FuzzCase c;
  c.seed = seed;
  c.nullResult = random.Chance(1);
  c.nullStream = random.Chance(1);

  StreamPlan& s = c.stream;
  s.size = DrawSizeAnswer(random);
  s.appName = DrawNameAnswer(random);
  s.contentName = DrawNameAnswer(random);
  s.addressResult = random.Chance(50) ? DrawResult(random, 0) : DrawFailure(random);
  s.addressNull = random.Chance(10);
  s.readResult = DrawResult(random, 8);
  s.readReportsAsked = random.Chance(70);
  switch (random.Below(5)) {
    case 0: s.readReported = 0; break;
    case 1: s.readReported = 1; break;
    case 2: s.readReported = 0xFFFFFFFF; break;
    default: s.readReported = random.Below(2 * MaxContentBytes);
  }

  ServerPlan& v = c.server;
  const uint32_t mode = random.Below(100);
  v.mode = mode < 4   ? ServerPlan::Mode::Absent
           : mode < 6 ? ServerPlan::Mode::Busy
           : mode < 9 ? ServerPlan::Mode::BusyThenFree
                      : ServerPlan::Mode::Serve;
  v.freeAfterMs = random.Below(250);
  const size_t requestBytes = RequestBytesFor(c);
  if (random.Chance(20) && requestBytes > 0) {
    v.readLimit = random.Below(static_cast<uint32_t>(requestBytes));
    v.closeAtLimit = random.Chance(50);
  }
  v.replyEarly = random.Chance(4);
  v.reply = DrawReply(random);
  v.replyPieces = random.Chance(80) ? 1 : random.Between(2, 4);
  v.pieceDelayMs = random.Chance(50) ? 0 : random.Below(20);

  PlatformFaults& f = c.faults;
  if (random.Chance(40)) {
    switch (random.Below(9)) {
      case 0: f.call = FailingCall::HeapAlloc; f.nth = 1; break;
      case 1: f.call = FailingCall::CreateEvent; f.nth = random.Between(1, 6); break;
      case 2: {
        static const DWORD errors[] = {ERROR_ACCESS_DENIED, ERROR_PIPE_BUSY, ERROR_FILE_NOT_FOUND,
                                       ERROR_NOT_ENOUGH_MEMORY};
        f.call = FailingCall::CreateFile;
        f.nth = random.Between(1, 2);
        f.error = errors[random.Below(4)];
        break;
      }
      case 3: f.call = FailingCall::WaitNamedPipe; f.nth = random.Between(1, 2); break;
      case 4: f.call = FailingCall::ServerProcessId; break;
      case 5: f.call = FailingCall::ServerProcessIdZero; break;
      case 6: f.call = FailingCall::OpenProcess; break;
      case 7: f.call = FailingCall::ImageQuery; break;
      default: f.call = FailingCall::Wait; f.nth = random.Between(1, 6); break;
    }
  }
  if (random.Chance(8)) f.imagePath = VaryImagePath(random, serverImage, &c.serverTrusted);
  if (random.Chance(12)) {
    // Parts small enough to take many passes, but not so many that a large
    // request takes long.
    f.pieceLimit = requestBytes > 65536 ? random.Between(256 * 1024, 4 * 1024 * 1024)
                                        : random.Between(1, 4096);
  }

  // Waiting out the deadline takes 1.5 s of real time. Most cases that come
  // near it jump the clock forward right after the deadline is set, so that
  // only tens of milliseconds of budget are left, and a few wait for real.
  const bool silent = v.reply.size() < 4 || v.readLimit != 0xFFFFFFFF;
  const uint32_t timing = random.Below(1000);
  if (timing < 150) {  // a reply around the end of a short budget
    f.clockJumpMs = random.Between(1380, 1480);
    const uint32_t left = BudgetMs - static_cast<uint32_t>(f.clockJumpMs);
    v.delayMs = left > 30 ? left - 30 + random.Below(60) : random.Below(left + 30);
  } else if (timing < 155) {  // the same with the whole budget
    v.delayMs = BudgetMs - 40 + random.Below(80);
  } else if (timing < 185) {  // a clock that jumps past the deadline
    f.clockJumpMs = random.Between(1500, 5000);
  } else if (silent && timing < 995) {
    f.clockJumpMs = random.Between(1400, 1490);
  } else if (random.Chance(10)) {
    v.delayMs = random.Below(50);
  }
  return c;
}

Expectation Expect(const FuzzCase& c, const BYTE* content, DWORD processId) {
  Expectation e;
  if (c.nullResult || c.nullStream) return e;
  const StreamPlan& s = c.stream;
  if (FAILED(s.size.result)) return e;
  ULONGLONG size = 0;
  memcpy(&size, s.size.data.data(), s.size.data.size() < 8 ? s.size.data.size() : 8);
  if (size == 0) return e;
  const bool truncated = size > MaxContentBytes;
  e.cappedSize = truncated ? MaxContentBytes : static_cast<uint32_t>(size);

  BYTE appName[MaxNameBytes], contentName[MaxNameBytes];
  const ULONG appNameBytes = ExpectedNameBytes(s.appName, appName);
  const ULONG contentNameBytes = ExpectedNameBytes(s.contentName, contentName);

  uint32_t contentBytes = e.cappedSize;
  e.readPath = FAILED(s.addressResult) || s.addressNull;
  if (e.readPath) {
    if (c.faults.call == FailingCall::HeapAlloc) return e;
    if (FAILED(s.readResult)) return e;
    const ULONG reported = s.readReportsAsked ? e.cappedSize : s.readReported;
    if (reported == 0) return e;
    contentBytes = reported < e.cappedSize ? reported : e.cappedSize;
  }
  e.opensPipe = true;

  // Worked out with the kit's independent statement of the byte format.
  RequestHeader header;
  header.processId = processId;
  header.appNameBytes = appNameBytes;
  header.contentNameBytes = contentNameBytes;
  header.contentBytes = contentBytes;
  header.truncated = truncated ? 1 : 0;
  e.requestBytes = RequestHeaderBytes + appNameBytes + contentNameBytes + contentBytes;
  if (content != nullptr) {
    e.request.reserve(e.requestBytes);
    AppendRequest(&e.request, header, appName, contentName, content);
  }

  const ServerPlan& v = c.server;
  const bool detectedReply = v.reply.size() >= 4 && v.reply[0] == 1 && v.reply[1] == 0 &&
                             v.reply[2] == 0 && v.reply[3] == 0;
  e.mustComplete = c.serverTrusted && c.faults.call == FailingCall::None &&
                   c.faults.clockJumpMs == 0 && v.mode == ServerPlan::Mode::Serve &&
                   v.readLimit == 0xFFFFFFFF && !v.replyEarly && detectedReply &&
                   v.delayMs <= 200 && v.pieceDelayMs * v.replyPieces <= 200;
  return e;
}

std::string Describe(const FuzzCase& c) {
  char text[1024];
  const StreamPlan& s = c.stream;
  const ServerPlan& v = c.server;
  ULONGLONG size = 0;
  memcpy(&size, s.size.data.data(), s.size.data.size() < 8 ? s.size.data.size() : 8);
  static const char* modes[] = {"absent", "busy", "busy-then-free", "serve"};
  snprintf(text, sizeof text,
           "result%s stream%s | size hr=0x%08lX %u bytes value=%llu | app hr=0x%08lX %u bytes "
           "ret=%lu | name hr=0x%08lX %u bytes ret=%lu | address hr=0x%08lX%s | read "
           "hr=0x%08lX reported=%s%lu | server %s free=%lu limit=%lu%s%s reply=%u bytes "
           "pieces=%lu delay=%lu+%lu | fault %s #%u err=%lu jump=%llu piece=%lu image=%s",
           c.nullResult ? "=null" : "", c.nullStream ? "=null" : "",
           static_cast<unsigned long>(s.size.result), static_cast<unsigned>(s.size.data.size()),
           size, static_cast<unsigned long>(s.appName.result),
           static_cast<unsigned>(s.appName.data.size()), s.appName.returnedSize,
           static_cast<unsigned long>(s.contentName.result),
           static_cast<unsigned>(s.contentName.data.size()), s.contentName.returnedSize,
           static_cast<unsigned long>(s.addressResult), s.addressNull ? " null" : "",
           static_cast<unsigned long>(s.readResult), s.readReportsAsked ? "asked/" : "",
           s.readReported, modes[static_cast<int>(v.mode)], v.freeAfterMs, v.readLimit,
           v.closeAtLimit ? " close" : "", v.replyEarly ? " early" : "",
           static_cast<unsigned>(v.reply.size()), v.replyPieces, v.delayMs, v.pieceDelayMs,
           FailingCallName(c.faults.call), c.faults.nth, c.faults.error, c.faults.clockJumpMs,
           c.faults.pieceLimit,
           c.faults.imagePath.empty() ? "real" : (c.serverTrusted ? "same-dir" : "rogue"));
  return text;
}
