// Driving KestrovScanService.exe from tests: starting it with its output in
// files, talking to its pipe the way the provider does, and reading its log.
#pragma once

#include "platform/unique_handle.h"

#include <windows.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

using Bytes = std::vector<BYTE>;

// The request's byte format, restated here on purpose and independently of
// protocol/wire_format.h: the tests check the service against this oracle,
// not against the definitions the service itself is built from.
constexpr uint32_t RequestMagic = 0x5453454B;  // 'K' 'E' 'S' 'T'
constexpr uint32_t RequestVersion = 1;
constexpr DWORD MaxRequestContentBytes = 8 * 1024 * 1024;
// Generous bounds for a slow (emulated) machine; each is far above what the
// service needs, so reaching one means the behaviour under test is missing.
constexpr DWORD ClientWaitMs = 20000;

// The two built-in test strings, and the names the service reports for them.
std::string EicarText();
std::string AmsiSampleText();
constexpr char EicarRule[] = "EICAR-Test-File";
constexpr char AmsiSampleRule[] = "AMSI-Test-Sample";

Bytes AsBytes(const std::string& text);
// UTF-16LE bytes of ASCII or wide text.
Bytes Utf16(const std::string& ascii);
Bytes Utf16(const std::wstring& text);
Bytes Concat(std::initializer_list<Bytes> parts);

struct RequestHeader {
  uint32_t magic = RequestMagic;
  uint32_t version = RequestVersion;
  uint32_t processId = 0;
  uint32_t appNameBytes = 0;
  uint32_t contentNameBytes = 0;
  uint32_t contentBytes = 0;
  uint32_t truncated = 0;
};
Bytes EncodeHeader(const RequestHeader& header);

struct ScanRequest {
  uint32_t processId = 1234;
  Bytes appName;
  Bytes contentName;
  Bytes content;
  bool truncated = false;
};
// The header and each non-empty piece, as the client writes them.
std::vector<Bytes> RequestPieces(const ScanRequest& request);
Bytes RequestBytes(const ScanRequest& request);

// One client connection, opened for overlapped I/O like the provider's.
class PipeClient {
 public:
  // Opens the pipe, waiting while it does not exist yet or every instance is
  // busy. Returns false once `timeoutMs` has passed.
  bool Connect(DWORD timeoutMs = ClientWaitMs);
  // One attempt; returns 0 or the error of CreateFileW.
  DWORD TryConnect();
  bool Write(const Bytes& bytes, DWORD timeoutMs = ClientWaitMs);

  struct ReadResult {
    Bytes bytes;
    bool ended = false;     // the service disconnected or closed
    bool timedOut = false;  // neither `count` bytes nor an end within the time
  };
  // Reads until `count` bytes are in, the pipe ends or the time is up.
  ReadResult Read(size_t count, DWORD timeoutMs = ClientWaitMs);
  void Close() { pipe_.reset(); }

 private:
  // Runs one overlapped transfer; false on failure or time-out.
  bool Transfer(bool write, BYTE* bytes, DWORD count, DWORD timeoutMs, DWORD* moved,
                bool* timedOut);

  UniqueFileHandle pipe_;
  UniqueKernelHandle event_;
};

// A whole scan: connect, send, read the verdict. -1 if the exchange failed.
int64_t Scan(const ScanRequest& request);

// One service process with stdout and stderr in files of a private
// directory, which tests also use for signature and log files.
class ServiceProcess {
 public:
  ServiceProcess();
  ~ServiceProcess();
  ServiceProcess(const ServiceProcess&) = delete;
  ServiceProcess& operator=(const ServiceProcess&) = delete;

  bool Launch(const std::vector<std::wstring>& arguments);
  // Launches and waits until the pipe takes clients; false (with a test
  // failure) if the service exited or never got there.
  bool Start(const std::vector<std::wstring>& arguments);
  // True with the exit code if the process ended within `timeoutMs`.
  bool WaitForExit(DWORD timeoutMs, DWORD* exitCode);
  void Kill();

  std::string Stdout() const;
  std::string Stderr() const;
  const std::wstring& directory() const { return directory_; }
  std::wstring PathOf(const wchar_t* name) const { return directory_ + L"\\" + name; }

 private:
  std::wstring directory_;
  UniqueKernelHandle process_;
};

std::wstring ServiceProgram();
bool WriteTextFile(const std::wstring& path, const std::string& text);
std::string ReadTextFile(const std::wstring& path);
// True if the pipe name exists (some instance, busy or not).
bool PipeExists();

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
