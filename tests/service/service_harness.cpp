#include "tests/service/service_harness.h"

#include "protocol/wire_format.h"
#include "tests/support/test_service.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

namespace {


// The test strings are stored reversed, so that this program's image does
// not carry them for other scanners to find.
std::string Reversed(std::string text) {
  std::reverse(text.begin(), text.end());
  return text;
}

std::wstring UniqueDirectory() {
  static LONG counter = 0;
  wchar_t temp[MAX_PATH];
  GetTempPathW(MAX_PATH, temp);
  wchar_t name[MAX_PATH + 64];
  swprintf(name, MAX_PATH + 64, L"%lskestrov-service-%lu-%ld-%llu", temp, GetCurrentProcessId(),
           InterlockedIncrement(&counter), GetTickCount64());
  return name;
}

void AppendField(Bytes* out, uint32_t value) {
  for (int shift = 0; shift < 32; shift += 8) out->push_back(static_cast<BYTE>(value >> shift));
}

UniqueFileHandle InheritableFile(const std::wstring& path) {
  SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
  return UniqueFileHandle(CreateFileW(path.c_str(), GENERIC_WRITE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      &inherit, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
}

}  // namespace

std::string EicarText() {
  return Reversed("*H+H$!ELIF-TSET-SURIVITNA-DRADNATS-RACIE$}7)CC7)^P(45XZP\\4[PA@%P!O5X");
}

std::string AmsiSampleText() {
  return Reversed("6831c4841ca0-0478-9334-b168-ec3c27e7 :elpmaS tseT ISMA");
}

Bytes AsBytes(const std::string& text) { return Bytes(text.begin(), text.end()); }

Bytes Utf16(const std::string& ascii) {
  Bytes out;
  for (const char c : ascii) {
    out.push_back(static_cast<BYTE>(c));
    out.push_back(0);
  }
  return out;
}

Bytes Utf16(const std::wstring& text) {
  Bytes out;
  for (const wchar_t unit : text) {
    out.push_back(static_cast<BYTE>(unit & 0xFF));
    out.push_back(static_cast<BYTE>(unit >> 8));
  }
  return out;
}

Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

Bytes EncodeHeader(const RequestHeader& header) {
  Bytes out;
  AppendField(&out, header.magic);
  AppendField(&out, header.version);
  AppendField(&out, header.processId);
  AppendField(&out, header.appNameBytes);
  AppendField(&out, header.contentNameBytes);
  AppendField(&out, header.contentBytes);
  AppendField(&out, header.truncated);
  return out;
}

std::vector<Bytes> RequestPieces(const ScanRequest& request) {
  RequestHeader header;
  header.processId = request.processId;
  header.appNameBytes = static_cast<uint32_t>(request.appName.size());
  header.contentNameBytes = static_cast<uint32_t>(request.contentName.size());
  header.contentBytes = static_cast<uint32_t>(request.content.size());
  header.truncated = request.truncated ? 1 : 0;
  std::vector<Bytes> pieces = {EncodeHeader(header)};
  for (const Bytes* piece : {&request.appName, &request.contentName, &request.content}) {
    if (!piece->empty()) pieces.push_back(*piece);
  }
  return pieces;
}

Bytes RequestBytes(const ScanRequest& request) {
  Bytes out;
  for (const Bytes& piece : RequestPieces(request)) out.insert(out.end(), piece.begin(), piece.end());
  return out;
}

DWORD PipeClient::TryConnect() {
  pipe_.reset(CreateFileW(ServicePipeName, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                          FILE_FLAG_OVERLAPPED, nullptr));
  if (!pipe_) return GetLastError();
  event_.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  return 0;
}

bool PipeClient::Connect(DWORD timeoutMs) {
  const ULONGLONG giveUp = GetTickCount64() + timeoutMs;
  for (;;) {
    const DWORD error = TryConnect();
    if (error == 0) return true;
    if (GetTickCount64() >= giveUp) return false;
    // A busy pipe frees up when the service drops or finishes a connection;
    // a missing one appears once the service has started.
    if (error == ERROR_PIPE_BUSY) {
      WaitNamedPipeW(ServicePipeName, 100);
    } else {
      Sleep(20);
    }
  }
}

bool PipeClient::Transfer(bool write, BYTE* bytes, DWORD count, DWORD timeoutMs, DWORD* moved,
                          bool* timedOut) {
  OVERLAPPED overlapped = {};
  overlapped.hEvent = event_.get();
  *moved = 0;
  *timedOut = false;
  const BOOL started = write ? WriteFile(pipe_.get(), bytes, count, nullptr, &overlapped)
                             : ReadFile(pipe_.get(), bytes, count, nullptr, &overlapped);
  if (!started && GetLastError() != ERROR_IO_PENDING) return false;
  // Bounded, so that a service that never answers fails the test instead
  // of hanging it.
  if (WaitForSingleObject(event_.get(), timeoutMs) != WAIT_OBJECT_0) {
    CancelIoEx(pipe_.get(), &overlapped);
    DWORD ignored = 0;
    GetOverlappedResult(pipe_.get(), &overlapped, &ignored, TRUE);
    *timedOut = true;
    return false;
  }
  return GetOverlappedResult(pipe_.get(), &overlapped, moved, FALSE) && *moved > 0;
}

bool PipeClient::Write(const Bytes& bytes, DWORD timeoutMs) {
  if (!pipe_) return false;
  size_t done = 0;
  while (done < bytes.size()) {
    DWORD moved = 0;
    bool timedOut = false;
    if (!Transfer(true, const_cast<BYTE*>(bytes.data()) + done,
                  static_cast<DWORD>(bytes.size() - done), timeoutMs, &moved, &timedOut)) {
      return false;
    }
    done += moved;
  }
  return true;
}

PipeClient::ReadResult PipeClient::Read(size_t count, DWORD timeoutMs) {
  ReadResult result;
  result.bytes.resize(count);
  size_t done = 0;
  while (done < count && pipe_) {
    DWORD moved = 0;
    if (!Transfer(false, result.bytes.data() + done, static_cast<DWORD>(count - done), timeoutMs,
                  &moved, &result.timedOut)) {
      result.ended = !result.timedOut;
      break;
    }
    done += moved;
  }
  result.bytes.resize(done);
  return result;
}

int64_t Scan(const ScanRequest& request) {
  PipeClient client;
  if (!client.Connect()) return -1;
  for (const Bytes& piece : RequestPieces(request)) {
    if (!client.Write(piece)) return -1;
  }
  const PipeClient::ReadResult reply = client.Read(4);
  if (reply.bytes.size() != 4) return -1;
  uint32_t verdict = 0;
  memcpy(&verdict, reply.bytes.data(), 4);
  return verdict;
}

std::wstring ServiceProgram() { return TestProgramDirectory() + L"KestrovScanService.exe"; }

ServiceProcess::ServiceProcess() : directory_(UniqueDirectory()) {
  CreateDirectoryW(directory_.c_str(), nullptr);
}

ServiceProcess::~ServiceProcess() {
  Kill();
  RemoveTestDirectory(directory_);
}

bool ServiceProcess::Launch(const std::vector<std::wstring>& arguments) {
  Kill();
  const std::wstring program = ServiceProgram();
  std::wstring command = L"\"" + program + L"\"";
  for (const std::wstring& argument : arguments) command += L" \"" + argument + L"\"";
  std::vector<wchar_t> line(command.begin(), command.end());
  line.push_back(0);

  UniqueFileHandle out = InheritableFile(PathOf(L"stdout.txt"));
  UniqueFileHandle err = InheritableFile(PathOf(L"stderr.txt"));
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = nullptr;
  startup.hStdOutput = out.get();
  startup.hStdError = err.get();
  PROCESS_INFORMATION info = {};
  if (!CreateProcessW(program.c_str(), line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                      &startup, &info)) {
    ADD_FAILURE() << "cannot start the service, error " << GetLastError();
    return false;
  }
  CloseHandle(info.hThread);
  process_.reset(info.hProcess);
  return true;
}

bool ServiceProcess::Start(const std::vector<std::wstring>& arguments) {
  // A service a test forgets ends by itself; a test's own limit comes later
  // on the command line and wins.
  std::vector<std::wstring> all = {L"--max-seconds", L"300"};
  all.insert(all.end(), arguments.begin(), arguments.end());
  if (!Launch(all)) return false;
  // Polled: nothing signals that the service is up but its "serving" line,
  // written once every instance exists. The pipe alone is not enough: it may
  // still be the last service's, or this one's first instance of many. The
  // bound covers a slow Wine start.
  const ULONGLONG giveUp = GetTickCount64() + ClientWaitMs;
  while (Stderr().find("serving ") == std::string::npos || !PipeExists()) {
    if (WaitForSingleObject(process_.get(), 20) == WAIT_OBJECT_0) {
      ADD_FAILURE() << "the service exited at start: " << Stderr();
      return false;
    }
    if (GetTickCount64() >= giveUp) {
      ADD_FAILURE() << "the service did not create its pipe";
      return false;
    }
  }
  return true;
}

bool ServiceProcess::WaitForExit(DWORD timeoutMs, DWORD* exitCode) {
  if (!process_ || WaitForSingleObject(process_.get(), timeoutMs) != WAIT_OBJECT_0) return false;
  return GetExitCodeProcess(process_.get(), exitCode) != 0;
}

void ServiceProcess::Kill() {
  if (!process_) return;
  const bool wasServing = WaitForSingleObject(process_.get(), 0) == WAIT_TIMEOUT &&
                          Stderr().find("serving ") != std::string::npos;
  TerminateProcess(process_.get(), 99);
  // Bounded only against a wedged process; termination is immediate.
  WaitForSingleObject(process_.get(), 10000);
  process_.reset();
  // The process can end before all of its pipe instances are gone, and the
  // next service must find the name free: polled, within the same bound.
  // Only one service serves the name, so once this one is gone it goes too.
  const ULONGLONG giveUp = GetTickCount64() + 10000;
  while (wasServing && PipeExists() && GetTickCount64() < giveUp) Sleep(10);
}

std::string ServiceProcess::Stdout() const { return ReadTextFile(PathOf(L"stdout.txt")); }
std::string ServiceProcess::Stderr() const { return ReadTextFile(PathOf(L"stderr.txt")); }

bool WriteTextFile(const std::wstring& path, const std::string& text) {
  UniqueFileHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
  DWORD written = 0;
  return file && WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written,
                           nullptr) && written == text.size();
}

std::string ReadTextFile(const std::wstring& path) {
  std::string text;
  UniqueFileHandle file(CreateFileW(path.c_str(), GENERIC_READ,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, 0, nullptr));
  if (!file) return text;
  char chunk[4096];
  DWORD count = 0;
  while (ReadFile(file.get(), chunk, sizeof chunk, &count, nullptr) && count > 0) {
    text.append(chunk, count);
  }
  return text;
}

bool PipeExists() {
  // WaitNamedPipeW fails at once with ERROR_FILE_NOT_FOUND when no instance
  // exists; otherwise it returns when one is free or after this short wait.
  if (WaitNamedPipeW(ServicePipeName, 1)) return true;
  return GetLastError() != ERROR_FILE_NOT_FOUND && GetLastError() != ERROR_BAD_PATHNAME;
}

std::vector<std::string> LogLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    lines.push_back(text.substr(start, end - start));
  }
  return lines;
}

namespace {

class JsonReader {
 public:
  explicit JsonReader(const std::string& text) : text_(text) {}

  bool Object(std::map<std::string, JsonValue>* object) {
    if (!Take('{')) return false;
    if (Take('}')) return AtEnd();
    do {
      std::string key;
      JsonValue value;
      if (!String(&key) || !Take(':') || !Value(&value)) return false;
      if (!object->emplace(key, value).second) return false;  // a key twice
    } while (Take(','));
    return Take('}') && AtEnd();
  }

 private:
  bool AtEnd() const { return at_ == text_.size(); }
  bool Take(char c) {
    if (at_ < text_.size() && text_[at_] == c) {
      ++at_;
      return true;
    }
    return false;
  }
  bool Word(const char* word) {
    const size_t length = strlen(word);
    if (text_.compare(at_, length, word) != 0) return false;
    at_ += length;
    return true;
  }
  bool Hex4(uint32_t* value) {
    if (at_ + 4 > text_.size()) return false;
    *value = 0;
    for (int i = 0; i < 4; ++i) {
      const char c = text_[at_++];
      const int digit = c >= '0' && c <= '9' ? c - '0'
                        : c >= 'a' && c <= 'f' ? c - 'a' + 10
                        : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
      if (digit < 0) return false;
      *value = *value * 16 + static_cast<uint32_t>(digit);
    }
    return true;
  }
  static void Utf8(uint32_t code, std::string* out) {
    if (code < 0x80) {
      out->push_back(static_cast<char>(code));
    } else if (code < 0x800) {
      out->push_back(static_cast<char>(0xC0 | (code >> 6)));
      out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else if (code < 0x10000) {
      out->push_back(static_cast<char>(0xE0 | (code >> 12)));
      out->push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
      out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else {
      out->push_back(static_cast<char>(0xF0 | (code >> 18)));
      out->push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
      out->push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
      out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
    }
  }
  bool String(std::string* out) {
    if (!Take('"')) return false;
    while (at_ < text_.size()) {
      const char c = text_[at_++];
      if (c == '"') return true;
      if (static_cast<unsigned char>(c) < 0x20) return false;  // must be escaped
      if (c != '\\') {
        out->push_back(c);
        continue;
      }
      if (at_ >= text_.size()) return false;
      const char e = text_[at_++];
      const char* simple = strchr("\"\\/bfnrt", e);
      if (e != 0 && simple != nullptr) {
        static const char Decoded[] = "\"\\/\b\f\n\r\t";
        out->push_back(Decoded[simple - "\"\\/bfnrt"]);
      } else if (e == 'u') {
        uint32_t code = 0;
        if (!Hex4(&code)) return false;
        if (code >= 0xD800 && code <= 0xDBFF) {
          uint32_t low = 0;
          if (!Word("\\u") || !Hex4(&low) || low < 0xDC00 || low > 0xDFFF) return false;
          code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
        }
        Utf8(code, out);
      } else {
        return false;
      }
    }
    return false;
  }
  bool Value(JsonValue* value) {
    if (at_ < text_.size() && text_[at_] == '"') {
      value->kind = JsonValue::Kind::String;
      return String(&value->text);
    }
    if (Word("true") || Word("false")) {
      value->kind = JsonValue::Kind::Bool;
      value->flag = text_[at_ - 1] == 'e' && text_[at_ - 2] == 'u';
      return true;
    }
    if (Word("null")) {
      value->kind = JsonValue::Kind::Null;
      return true;
    }
    const size_t start = at_;
    Take('-');
    while (at_ < text_.size() && text_[at_] >= '0' && text_[at_] <= '9') ++at_;
    if (at_ == start || (at_ == start + 1 && text_[start] == '-')) return false;
    value->kind = JsonValue::Kind::Number;
    value->text = text_.substr(start, at_ - start);
    return true;
  }

  const std::string& text_;
  size_t at_ = 0;
};

}  // namespace

bool ParseFlatJson(const std::string& line, std::map<std::string, JsonValue>* object) {
  object->clear();
  return JsonReader(line).Object(object);
}
