#include "host/options.h"

#include "host/console.h"
#include "host/provider_host.h"
#include "protocol/provider_identity.h"

#include <cwchar>

std::wstring UsageText() {
  return std::wstring(
    L"usage: amsiscan [options] [FILE | -]\n"
    L"\n"
    L"Scans the content of FILE, or of standard input when FILE is - or missing,\n"
    L"with every antimalware provider registered under\n"
    L"HKLM\\Software\\Microsoft\\AMSI\\Providers in this program's registry view,\n"
    L"the way the AMSI host does.\n"
    L"\n"
    L"options:\n"
    L"  --provider DLL   load this provider DLL directly instead of the registered ones\n"
    L"  --clsid {GUID}   the class to create from --provider's DLL\n"
    L"                   (default ") + ProviderClassIdText + L")\n"
    L"  --app NAME       the application name the stream reports (default amsiscan)\n"
    L"  --no-address     do not offer the content's address: providers must Read it\n"
    L"  --repeat N       run N scans (1 to 1000000) and print a latency summary\n"
    L"  --threads T      spread the scans over T threads (1 to 64, default 1)\n"
    L"  --help           print this text and exit\n"
    L"\n"
    L"output, one scan (standard output):\n"
    L"  loaded \"NAME\" CLSID from DLL                      one line per provider\n"
    L"  provider \"NAME\": result R (malware|clean) in T ms  one line per provider\n"
    L"  provider \"NAME\": scan failed with 0xHHHHHHHH in T ms\n"
    L"  overall: malware|clean|error\n"
    L"output, with --repeat or --threads:\n"
    L"  provider \"NAME\": N scans, M malware, C clean, F failed\n"
    L"  scans: N on T threads in S s, R scans/s\n"
    L"  latency: p50 A ms, p99 B ms, max C ms\n"
    L"  overall: malware|clean|error\n"
    L"When HKLM\\SOFTWARE\\Microsoft\\AMSI\\FeatureBits (64-bit view) is 2, only\n"
    L"providers with a valid Authenticode signature whose signer chain ends in a\n"
    L"trusted root are loaded; each one refused is reported with the reason, and\n"
    L"each one accepted with a line \"signature of DLL: trusted\".\n"
    L"A result of 32768 or more is malware; the content is malware overall when\n"
    L"any provider says so. Progress of long runs and errors go to standard error.\n"
    L"\n"
    L"exit codes: 0 clean, 1 malware, 2 error (bad option, unreadable file, no\n"
    L"provider, a provider that does not load or whose Scan fails)\n";
}

bool ParseCount(const wchar_t* text, unsigned long low, unsigned long high, unsigned long* out) {
  if (text[0] < L'0' || text[0] > L'9') return false;
  wchar_t* end = nullptr;
  const unsigned long value = wcstoul(text, &end, 10);
  if (*end != L'\0' || value < low || value > high) return false;
  *out = value;
  return true;
}

// False, with the reason on standard error, for a command line that cannot run.
bool ParseOptions(int argc, wchar_t** argv, Options* options) {
  bool fileGiven = false;
  bool optionsEnded = false;
  for (int i = 1; i < argc; ++i) {
    const std::wstring arg = argv[i];
    const bool isOption = !optionsEnded && arg.size() > 1 && arg[0] == L'-';
    if (!isOption) {
      if (fileGiven) {
        Err(L"more than one file: " + arg);
        return false;
      }
      fileGiven = true;
      options->fromStdin = arg == L"-";
      if (!options->fromStdin) options->file = arg;
      continue;
    }
    if (arg == L"--") {
      optionsEnded = true;
      continue;
    }
    if (arg == L"--help" || arg == L"-h" || arg == L"-?") {
      options->help = true;
      continue;
    }
    if (arg == L"--no-address") {
      options->offerAddress = false;
      continue;
    }
    const bool takesValue = arg == L"--provider" || arg == L"--clsid" || arg == L"--app" ||
                            arg == L"--repeat" || arg == L"--threads";
    if (!takesValue) {
      Err(L"unknown option " + arg + L" (see --help)");
      return false;
    }
    if (i + 1 >= argc) {
      Err(arg + L" needs a value");
      return false;
    }
    const wchar_t* value = argv[++i];
    if (arg == L"--provider") {
      if (value[0] == L'\0') {
        Err(L"--provider needs a DLL path");
        return false;
      }
      options->directProvider = true;
      options->providerDll = value;
    } else if (arg == L"--clsid") {
      if (!ParseClassId(value, &options->classId)) {
        Err(std::wstring(L"--clsid wants {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}, not ") + value);
        return false;
      }
      options->classIdGiven = true;
    } else if (arg == L"--app") {
      options->appName = value;
    } else if (arg == L"--repeat") {
      if (!ParseCount(value, 1, MaxRepeat, &options->repeat)) {
        Err(std::wstring(L"--repeat wants a count from 1 to 1000000, not ") + value);
        return false;
      }
      options->loadRun = true;
    } else {
      if (!ParseCount(value, 1, MaxThreads, &options->threads)) {
        Err(std::wstring(L"--threads wants a count from 1 to 64, not ") + value);
        return false;
      }
      options->loadRun = true;
    }
  }
  if (options->classIdGiven && !options->directProvider) {
    Err(L"--clsid needs --provider");
    return false;
  }
  if (!options->classIdGiven) ParseClassId(ProviderClassIdText, &options->classId);
  return true;
}
