#include "service/options.h"

#include "protocol/wire_format.h"
#include "service/text.h"

namespace {

constexpr DWORD MaxInstances = 254;  // PIPE_UNLIMITED_INSTANCES (255) is not a count
constexpr DWORD MaxConnectionTimeoutMs = 600000;
constexpr DWORD MaxSeconds = 1000000000;

// Strict decimal: digits only, within [low, high].
bool ParseNumber(const wchar_t* text, DWORD low, DWORD high, DWORD* value) {
  if (*text == 0) return false;
  ULONGLONG number = 0;
  for (const wchar_t* c = text; *c != 0; ++c) {
    if (*c < L'0' || *c > L'9') return false;
    number = number * 10 + static_cast<ULONGLONG>(*c - L'0');
    if (number > high) return false;
  }
  if (number < low) return false;
  *value = static_cast<DWORD>(number);
  return true;
}

}  // namespace

std::string UsageText() {
  return "Usage: KestrovScanService [options]\n"
         "\n"
         "Serves antimalware scan requests on " + WideToUtf8(ServicePipeName) +
         " and answers each\n"
         "with a verdict: detected when the content holds a built-in test string (the\n"
         "EICAR test file, the AMSI test sample; as bytes or UTF-16LE text) or matches\n"
         "a rule of the signature file. Logs one JSON line per answered scan.\n"
         "\n"
         "Options:\n"
         "  --instances N              pipe instances, that is scans served at once\n"
         "                             (1 to 254, default 128)\n"
         "  --connection-timeout-ms MS time a connection may take from connecting to its\n"
         "                             close, after which it is dropped (1 to 600000,\n"
         "                             default 5000)\n"
         "  --signatures FILE          add the rules of FILE (see below)\n"
         "  --log FILE                 append the JSON lines to FILE instead of stdout\n"
         "  --max-seconds S            stop after S seconds (default 0: run until Ctrl-C\n"
         "                             or the console closes)\n"
         "  --help                     show this text\n"
         "\n"
         "Signature file: UTF-8, one rule per line; blank lines and lines starting\n"
         "with # are ignored.\n"
         "  NAME text LITERAL TEXT     the text after one blank, to the end of the line;\n"
         "                             matches as UTF-8 bytes and as UTF-16LE text\n"
         "  NAME hex 4B 45 53 54       bytes as pairs of hex digits, blanks optional\n"
         "NAME: 1 to 64 of A-Z a-z 0-9 . _ - :, unique. Patterns: at most 4096 bytes.\n"
         "A bad line stops the service from starting, naming FILE:LINE.\n"
         "\n"
         "Log line fields: time (UTC), pid, app, contentName, contentBytes, truncated,\n"
         "verdict (1 or 0), rule (name or null), us (microseconds until the verdict).\n"
         "\n"
         "Exit codes: 0 stopped cleanly or --help, 2 bad command line, signature\n"
         "file or log file, 3 the pipe cannot be served (for example, already served),\n"
         "4 stopped, but a connection did not end in time.\n";
}

ParseOutcome ParseOptions(int argc, wchar_t** argv, ServiceOptions* options) {
  for (int i = 1; i < argc; ++i) {
    const std::wstring name = argv[i];
    if (name == L"--help" || name == L"-h" || name == L"/?") return ParseOutcome::Help;
    const wchar_t* value = i + 1 < argc ? argv[i + 1] : nullptr;
    auto fail = [&](const std::wstring& why) {
      PrintError(why + L" (see --help)");
      return ParseOutcome::Error;
    };
    auto number = [&](DWORD low, DWORD high, DWORD* out) {
      return value != nullptr && ParseNumber(value, low, high, out);
    };
    auto range = [](DWORD low, DWORD high) {
      return L" needs a number from " + std::to_wstring(low) + L" to " + std::to_wstring(high);
    };
    if (name == L"--instances") {
      if (!number(1, MaxInstances, &options->instances)) return fail(name + range(1, MaxInstances));
    } else if (name == L"--connection-timeout-ms") {
      if (!number(1, MaxConnectionTimeoutMs, &options->connectionTimeoutMs)) {
        return fail(name + range(1, MaxConnectionTimeoutMs));
      }
    } else if (name == L"--max-seconds") {
      if (!number(0, MaxSeconds, &options->maxSeconds)) return fail(name + range(0, MaxSeconds));
    } else if (name == L"--signatures" || name == L"--log") {
      if (value == nullptr || *value == 0) return fail(name + L" needs a file name");
      (name == L"--log" ? options->logPath : options->signaturesPath) = value;
    } else {
      return fail(L"unknown option " + name);
    }
    ++i;
  }
  return ParseOutcome::Run;
}
