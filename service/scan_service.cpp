#include "service/scan_service.h"

#include <shlobj.h>

std::wstring DefaultServiceLogPath() {
  wchar_t folder[MAX_PATH];
  if (FAILED(SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT,
                              folder))) {
    return std::wstring();
  }
  const std::wstring directory = std::wstring(folder) + L"\\Kestrov";
  CreateDirectoryW(directory.c_str(), nullptr);
  return directory + L"\\scans.log";
}

ScanService::ScanService(const CommandLine& commandLine, bool underServiceControl,
                         EventLog* events)
    : commandLine_(commandLine), underServiceControl_(underServiceControl), events_(events) {}

ScanService::~ScanService() {
  if (!stopped_) Stop();
}

LogFileSettings ScanService::LogSettings(const ServiceOptions& options) const {
  LogFileSettings settings = options.log;
  // A service has no console to write to.
  if (settings.path.empty() && underServiceControl_) settings.path = DefaultServiceLogPath();
  return settings;
}

bool ScanService::LoadRules(const ServiceOptions& options, std::shared_ptr<const RuleSet>* rules,
                            std::wstring* error) {
  auto loaded = std::make_shared<RuleSet>();
  loaded->AddBuiltInRules();
  if (!options.signaturesPath.empty() && !loaded->LoadSignatureFile(options.signaturesPath, error)) {
    return false;
  }
  *rules = std::move(loaded);
  return true;
}

int ScanService::Start(std::wstring* error) {
  if (!LoadOptions(commandLine_, &options_, error)) return ExitBadSetup;
  std::shared_ptr<const RuleSet> rules;
  if (!LoadRules(options_, &rules, error)) return ExitBadSetup;
  if (!log_.Open(LogSettings(options_), error)) return ExitBadSetup;
  scanSettings_.setRules(rules);
  scanSettings_.setConnectionTimeoutMs(options_.connectionTimeoutMs);

  ServerSettings settings;
  settings.instances = options_.instances;
  settings.scan = &scanSettings_;
  settings.log = &log_;
  settings.events = events_;
  server_ = std::make_unique<PipeServer>(settings);
  stopped_ = false;
  DWORD startError = 0;
  switch (server_->Start(&startError)) {
    case StartResult::NameTaken:
      *error = std::wstring(ServicePipeName) +
               L" is already being served; is another scan service running?";
      Stop();
      return ExitCannotServe;
    case StartResult::Failed:
      *error = L"cannot serve " + std::wstring(ServicePipeName) + L" (error " +
               std::to_wstring(startError) + L")";
      Stop();
      return ExitCannotServe;
    case StartResult::Serving:
      break;
  }
  events_->Started(ServicePipeName, options_.instances, rules->ruleCount());
  return 0;
}

bool ScanService::Reload() {
  ServiceOptions options;
  std::shared_ptr<const RuleSet> rules;
  std::wstring error;
  if (!LoadOptions(commandLine_, &options, &error) || !LoadRules(options, &rules, &error)) {
    events_->ReloadFailed(error);
    return false;
  }
  const LogFileSettings logSettings = LogSettings(options);
  const LogFileSettings current = LogSettings(options_);
  const bool logChanged = logSettings.path != current.path ||
                          logSettings.maxBytes != current.maxBytes ||
                          logSettings.files != current.files;
  if (logChanged && !log_.Reopen(logSettings, &error)) {
    events_->ReloadFailed(error);
    return false;
  }
  scanSettings_.setRules(rules);
  scanSettings_.setConnectionTimeoutMs(options.connectionTimeoutMs);
  server_->SettingsChanged();
  // The pipe keeps its instances until the next start.
  options.instances = options_.instances;
  options_ = options;
  events_->Reloaded(rules->ruleCount());
  return true;
}

bool ScanService::Stop() {
  if (stopped_) return true;
  const ULONGLONG giveUp = GetTickCount64() + StopBoundMs;
  // The server gets most of the bound; what it leaves is the log's.
  constexpr DWORD LogShareMs = 500;
  const bool serverStopped = !server_ || server_->Stop(StopBoundMs - LogShareMs);
  const ULONGLONG now = GetTickCount64();
  const DWORD left = now >= giveUp ? 0 : static_cast<DWORD>(giveUp - now);
  const bool logClosed = log_.Close(left);
  if (!serverStopped || !logClosed) return false;
  stopped_ = true;
  return true;
}
