// Driving KestrovScanService.exe from tests: the test strings it knows,
// whole scans through its pipe, and reading its log. The service itself is
// started with the kit's ReferenceService, and requests are built with the
// kit's independent statement of the byte format (testkit/request_bytes.h).
#pragma once

#include "platform/unique_handle.h"
#include "testkit/pipe_client.h"
#include "testkit/reference_service.h"
#include "testkit/request_bytes.h"
#include "testkit/temp_files.h"

#include <windows.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

// Generous bounds for a slow (emulated) machine; each is far above what the
// service needs, so reaching one means the behaviour under test is missing.
constexpr DWORD ClientWaitMs = DefaultPipeWaitMs;

// The two built-in test strings, and the names the service reports for them.
std::string EicarText();
std::string AmsiSampleText();
constexpr char EicarRule[] = "EICAR-Test-File";
constexpr char AmsiSampleRule[] = "AMSI-Test-Sample";

Bytes AsBytes(const std::string& text);
// UTF-16LE bytes of ASCII text (testkit's Utf16Bytes takes wide text).
Bytes Utf16(const std::string& ascii);
Bytes Concat(std::initializer_list<Bytes> parts);

// A whole scan: connect, send, read the verdict. -1 if the exchange failed.
int64_t Scan(const ScanRequest& request);

// The complete lines of a log text.
std::vector<std::string> LogLines(const std::string& text);
// Polls `read` until it yields at least `count` lines or the time is up.
template <typename ReadText>
std::vector<std::string> WaitForLogLines(ReadText read, size_t count, DWORD timeoutMs = ClientWaitMs) {
  // The service writes a scan's line right after sending its verdict, so the
  // line may follow the client's read by a moment.
  const ULONGLONG giveUp = GetTickCount64() + timeoutMs;
  for (;;) {
    std::vector<std::string> lines = LogLines(read());
    if (lines.size() >= count || GetTickCount64() >= giveUp) return lines;
    Sleep(10);
  }
}

// A flat JSON object as the log writes it: strings, integers, booleans and
// null.
struct JsonValue {
  enum class Kind { String, Number, Bool, Null } kind = Kind::Null;
  std::string text;     // String: UTF-8; Number: its digits
  bool flag = false;    // Bool
};
// False if `line` is not exactly one such object.
bool ParseFlatJson(const std::string& line, std::map<std::string, JsonValue>* object);
