#include "service/options.h"

#include "platform/unique_handle.h"
#include "service/text.h"

namespace {

constexpr DWORD MaxInstances = 254;  // PIPE_UNLIMITED_INSTANCES (255) is not a count
constexpr DWORD MaxConnectionTimeoutMs = 600000;
constexpr DWORD MaxSeconds = 1000000000;
constexpr DWORD MaxLogFiles = 100;
constexpr DWORD MaxConfigFileBytes = 1 << 20;

enum class Kind { Number, Path };

// One setting: its name (the option without dashes, the key in the file),
// what its value is, and where it goes.
struct Setting {
  const wchar_t* name;
  Kind kind;
  DWORD low, high;  // Number only
  void (*apply)(ServiceOptions* options, DWORD number, const std::wstring& path);
};

const Setting Settings[] = {
    {L"instances", Kind::Number, 1, MaxInstances,
     [](ServiceOptions* o, DWORD n, const std::wstring&) { o->instances = n; }},
    {L"connection-timeout-ms", Kind::Number, 1, MaxConnectionTimeoutMs,
     [](ServiceOptions* o, DWORD n, const std::wstring&) { o->connectionTimeoutMs = n; }},
    {L"signatures", Kind::Path, 0, 0,
     [](ServiceOptions* o, DWORD, const std::wstring& p) { o->signaturesPath = p; }},
    {L"log", Kind::Path, 0, 0,
     [](ServiceOptions* o, DWORD, const std::wstring& p) { o->log.path = p; }},
    {L"log-max-bytes", Kind::Number, 0, 0xFFFFFFFF,
     [](ServiceOptions* o, DWORD n, const std::wstring&) { o->log.maxBytes = n; }},
    {L"log-files", Kind::Number, 1, MaxLogFiles,
     [](ServiceOptions* o, DWORD n, const std::wstring&) { o->log.files = n; }},
    {L"max-seconds", Kind::Number, 0, MaxSeconds,
     [](ServiceOptions* o, DWORD n, const std::wstring&) { o->maxSeconds = n; }},
};

const Setting* FindSetting(const std::wstring& name) {
  for (const Setting& setting : Settings) {
    if (name == setting.name) return &setting;
  }
  return nullptr;
}

// Strict decimal: digits only, within [low, high].
bool ParseNumber(const std::wstring& text, DWORD low, DWORD high, DWORD* value) {
  if (text.empty()) return false;
  ULONGLONG number = 0;
  for (wchar_t c : text) {
    if (c < L'0' || c > L'9') return false;
    number = number * 10 + static_cast<ULONGLONG>(c - L'0');
    if (number > high) return false;
  }
  if (number < low) return false;
  *value = static_cast<DWORD>(number);
  return true;
}

std::wstring FullPath(const std::wstring& path) {
  wchar_t full[MAX_PATH * 4];
  const DWORD length = GetFullPathNameW(path.c_str(), MAX_PATH * 4, full, nullptr);
  return length == 0 || length >= MAX_PATH * 4 ? path : std::wstring(full, length);
}

bool IsRelative(const std::wstring& path) {
  const bool drive = path.size() >= 2 && path[1] == L':';
  const bool rooted = !path.empty() && (path[0] == L'\\' || path[0] == L'/');
  return !drive && !rooted;
}

// Applies one setting's text; false with the reason (without a place).
bool Apply(const Setting& setting, const std::wstring& value, ServiceOptions* options,
           std::wstring* why) {
  if (setting.kind == Kind::Number) {
    DWORD number = 0;
    if (!ParseNumber(value, setting.low, setting.high, &number)) {
      *why = std::wstring(setting.name) + L" needs a number from " +
             std::to_wstring(setting.low) + L" to " + std::to_wstring(setting.high);
      return false;
    }
    setting.apply(options, number, std::wstring());
    return true;
  }
  if (value.empty()) {
    *why = std::wstring(setting.name) + L" needs a file name";
    return false;
  }
  setting.apply(options, 0, value);
  return true;
}

std::wstring Trim(const std::wstring& text) {
  const size_t first = text.find_first_not_of(L" \t");
  if (first == std::wstring::npos) return std::wstring();
  const size_t last = text.find_last_not_of(L" \t");
  return text.substr(first, last - first + 1);
}

bool ReadConfigFile(const std::wstring& path, ServiceOptions* options, std::wstring* error) {
  UniqueFileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) {
    *error = path + L": cannot open the configuration file (error " +
             std::to_wstring(GetLastError()) + L")";
    return false;
  }
  std::string bytes(MaxConfigFileBytes + 1, '\0');
  DWORD got = 0;
  if (!ReadFile(file.get(), bytes.data(), MaxConfigFileBytes + 1, &got, nullptr)) {
    *error = path + L": cannot read the configuration file (error " +
             std::to_wstring(GetLastError()) + L")";
    return false;
  }
  if (got > MaxConfigFileBytes) {
    *error = path + L": the configuration file is larger than 1 MiB";
    return false;
  }
  bytes.resize(got);
  if (bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) bytes.erase(0, 3);
  const std::wstring directory = path.substr(0, path.find_last_of(L"\\/") + 1);

  std::vector<const Setting*> seen;
  size_t lineNumber = 0;
  size_t at = 0;
  while (at < bytes.size()) {
    size_t end = bytes.find('\n', at);
    if (end == std::string::npos) end = bytes.size();
    std::string raw = bytes.substr(at, end - at);
    at = end + 1;
    ++lineNumber;
    if (!raw.empty() && raw.back() == '\r') raw.pop_back();
    auto fail = [&](const std::wstring& why) {
      *error = path + L":" + std::to_wstring(lineNumber) + L": " + why;
      return false;
    };
    std::wstring line;
    if (!Utf8ToWide(raw, &line)) return fail(L"not UTF-8 text");
    line = Trim(line);
    if (line.empty() || line[0] == L'#') continue;
    const size_t equals = line.find(L'=');
    if (equals == std::wstring::npos) return fail(L"expected key = value");
    const std::wstring key = Trim(line.substr(0, equals));
    std::wstring value = Trim(line.substr(equals + 1));
    const Setting* setting = FindSetting(key);
    if (setting == nullptr) return fail(L"unknown key \"" + key + L"\"");
    for (const Setting* earlier : seen) {
      if (earlier == setting) return fail(key + L" is given twice");
    }
    seen.push_back(setting);
    if (setting->kind == Kind::Path && !value.empty() && IsRelative(value)) {
      value = directory + value;
    }
    std::wstring why;
    if (!Apply(*setting, value, options, &why)) return fail(why);
  }
  return true;
}

}  // namespace

std::wstring QuoteArgument(const std::wstring& argument) {
  if (!argument.empty() && argument.find_first_of(L" \t\"") == std::wstring::npos) return argument;
  // Backslashes are literal except before a quote, where they double.
  std::wstring quoted = L"\"";
  size_t backslashes = 0;
  for (wchar_t c : argument) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    quoted.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
    backslashes = 0;
    quoted.push_back(c);
  }
  quoted.append(backslashes * 2, L'\\');
  quoted.push_back(L'"');
  return quoted;
}

bool ParseCommandLine(int argc, wchar_t** argv, CommandLine* commandLine, std::wstring* error) {
  bool commandGiven = false;
  for (int i = 1; i < argc; ++i) {
    const std::wstring argument = argv[i];
    if (argument == L"--help" || argument == L"-h" || argument == L"/?") {
      commandLine->command = Command::Help;
      return true;
    }
    struct Named {
      const wchar_t* name;
      Command command;
    };
    static const Named commands[] = {{L"--service", Command::Service},
                                     {L"--install", Command::Install},
                                     {L"--uninstall", Command::Uninstall},
                                     {L"--stop", Command::Stop}};
    bool isCommand = false;
    for (const Named& named : commands) {
      if (argument != named.name) continue;
      if (commandGiven) {
        *error = L"only one of --service, --install, --uninstall and --stop may be given";
        return false;
      }
      commandLine->command = named.command;
      commandGiven = true;
      isCommand = true;
    }
    if (isCommand) continue;

    if (argument.rfind(L"--", 0) != 0) {
      *error = L"unexpected argument " + argument;
      return false;
    }
    const std::wstring name = argument.substr(2);
    const bool hasValue = i + 1 < argc;
    if (name == L"config") {
      if (!hasValue || argv[i + 1][0] == 0) {
        *error = L"--config needs a file name";
        return false;
      }
      commandLine->configPath = FullPath(argv[++i]);
      continue;
    }
    const Setting* setting = FindSetting(name);
    if (setting == nullptr) {
      *error = L"unknown option " + argument;
      return false;
    }
    std::wstring value = hasValue ? argv[++i] : L"";
    // Checked here already, so that a bad value is reported before anything
    // is installed or started.
    ServiceOptions scratch;
    std::wstring why;
    if (!Apply(*setting, value, &scratch, &why)) {
      *error = L"--" + why;
      return false;
    }
    if (setting->kind == Kind::Path) value = FullPath(value);
    commandLine->settings.emplace_back(name, value);
  }
  if ((commandLine->command == Command::Uninstall || commandLine->command == Command::Stop) &&
      (!commandLine->settings.empty() || !commandLine->configPath.empty())) {
    *error = L"--uninstall and --stop take no other options";
    return false;
  }
  return true;
}

bool LoadOptions(const CommandLine& commandLine, ServiceOptions* options, std::wstring* error) {
  ServiceOptions loaded;
  if (!commandLine.configPath.empty() && !ReadConfigFile(commandLine.configPath, &loaded, error)) {
    return false;
  }
  for (const auto& [name, value] : commandLine.settings) {
    std::wstring why;
    if (!Apply(*FindSetting(name), value, &loaded, &why)) {
      *error = L"--" + why;
      return false;
    }
  }
  *options = loaded;
  return true;
}

std::wstring ServiceCommandArguments(const CommandLine& commandLine) {
  std::wstring arguments = L"--service";
  if (!commandLine.configPath.empty()) {
    arguments += L" --config " + QuoteArgument(commandLine.configPath);
  }
  for (const auto& [name, value] : commandLine.settings) {
    arguments += L" --" + name + L" " + QuoteArgument(value);
  }
  return arguments;
}

std::string UsageText() {
  return "Usage: KestrovScanService [--config FILE] [options]\n"
         "       KestrovScanService --install [--config FILE] [options]\n"
         "       KestrovScanService --uninstall | --stop | --help\n"
         "\n"
         "Serves antimalware scan requests on \\\\.\\pipe\\KestrovAmsi and answers each\n"
         "with a verdict: detected when the content holds a built-in test string (the\n"
         "EICAR test file, the AMSI test sample; as bytes or UTF-16LE text) or matches\n"
         "a rule of the signature file. Logs one JSON line per answered scan.\n"
         "\n"
         "Without a command it serves in the foreground until Ctrl-C, Ctrl-Break, the\n"
         "console closing, --stop or --max-seconds.\n"
         "\n"
         "Commands:\n"
         "  --install                  create the Windows service KestrovScanService\n"
         "                             (automatic start, LocalSystem, restarted on\n"
         "                             failure), running with the options given here,\n"
         "                             and register the event log source Kestrov\n"
         "  --uninstall                stop and delete the service and the event source\n"
         "  --stop                     stop the running service: the Windows service,\n"
         "                             or one serving in the foreground\n"
         "  --service                  serve under the service control manager (the\n"
         "                             installed service's command line has it)\n"
         "\n"
         "Options (each also a key of the configuration file, without the dashes;\n"
         "the command line overrides the file):\n"
         "  --config FILE              read settings from FILE (see below)\n"
         "  --instances N              pipe instances, that is scans served at once\n"
         "                             (1 to 254, default 128)\n"
         "  --connection-timeout-ms MS time a connection may take from connecting to its\n"
         "                             close, after which it is dropped (1 to 600000,\n"
         "                             default 5000)\n"
         "  --signatures FILE          add the rules of FILE (see below)\n"
         "  --log FILE                 append the JSON lines to FILE (default: stdout in\n"
         "                             the foreground; %ProgramData%\\Kestrov\\scans.log\n"
         "                             as a service)\n"
         "  --log-max-bytes N          rotate the log file before it passes N bytes\n"
         "                             (0: never; default 10485760)\n"
         "  --log-files N              log files kept, the current one included (1 to\n"
         "                             100, default 5): FILE, FILE.1, ... FILE.(N-1)\n"
         "  --max-seconds S            stop after S seconds (default 0: run until stopped)\n"
         "  --help                     show this text\n"
         "\n"
         "Configuration file: UTF-8, one `key = value` a line, # starts a comment\n"
         "line. A relative path in it is taken relative to the file's directory. A bad\n"
         "line stops the service from starting, naming FILE:LINE. The service reloads\n"
         "the file and the signatures on `sc control KestrovScanService paramchange`;\n"
         "instances take effect at the next start, and a reload with an error keeps\n"
         "everything as it was.\n"
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
         "Exit codes: 0 stopped cleanly, done, or --help; 1 the command failed (for\n"
         "example, no right to install, or nothing to stop); 2 bad command line,\n"
         "configuration, signature file or log file; 3 the pipe cannot be served\n"
         "(for example, already served).\n";
}
