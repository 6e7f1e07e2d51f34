#include "host/provider_host.h"

#include "host/signature_check.h"

#include "host/console.h"

#include <objbase.h>

#include <cwchar>

namespace {

constexpr wchar_t ProvidersKey[] = L"Software\\Microsoft\\AMSI\\Providers";
constexpr wchar_t ClassesKey[] = L"Software\\Classes\\CLSID\\";
// The registry view this process's own architecture sees.
constexpr REGSAM OwnView = sizeof(void*) == 8 ? KEY_WOW64_64KEY : KEY_WOW64_32KEY;

using GetClassObjectFn = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, LPVOID*);

bool IsAbsolutePath(const std::wstring& path) {
  return (path.size() >= 3 && path[1] == L':' && (path[2] == L'\\' || path[2] == L'/')) ||
         (path.size() >= 2 && path[0] == L'\\' && path[1] == L'\\');
}

std::wstring HexText(HRESULT hr) {
  wchar_t text[16];
  swprintf(text, 16, L"0x%08lX", static_cast<unsigned long>(hr));
  return text;
}

int HexDigit(wchar_t c) {
  if (c >= L'0' && c <= L'9') return c - L'0';
  if (c >= L'a' && c <= L'f') return c - L'a' + 10;
  if (c >= L'A' && c <= L'F') return c - L'A' + 10;
  return -1;
}

// The default value of HKLM\`path` as text, REG_EXPAND_SZ expanded.
bool ReadDefaultValue(const std::wstring& path, std::wstring* value) {
  HKEY opened = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_QUERY_VALUE | OwnView, &opened) !=
      ERROR_SUCCESS) {
    return false;
  }
  UniqueRegistryKey key(opened);
  DWORD bytes = 0;
  // REG_SZ alone admits REG_EXPAND_SZ as well, expanded.
  const DWORD types = RRF_RT_REG_SZ;
  if (RegGetValueW(key.get(), nullptr, nullptr, types, nullptr, nullptr, &bytes) !=
      ERROR_SUCCESS) {
    return false;
  }
  // Expansion may need more than the stored size; ask again until it fits.
  for (int attempt = 0; attempt < 4; ++attempt) {
    std::wstring text(bytes / sizeof(wchar_t) + 1, L'\0');
    DWORD size = static_cast<DWORD>(text.size() * sizeof(wchar_t));
    const LSTATUS status =
        RegGetValueW(key.get(), nullptr, nullptr, types, nullptr, &text[0], &size);
    if (status == ERROR_SUCCESS) {
      text.resize(wcslen(text.c_str()));
      *value = text;
      return true;
    }
    if (status != ERROR_MORE_DATA) return false;
    bytes = size;
  }
  return false;
}

}  // namespace

std::wstring ClassIdText(const CLSID& id) {
  wchar_t text[40];
  swprintf(text, 40, L"{%08lX-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
           static_cast<unsigned long>(id.Data1), id.Data2, id.Data3, id.Data4[0], id.Data4[1],
           id.Data4[2], id.Data4[3], id.Data4[4], id.Data4[5], id.Data4[6], id.Data4[7]);
  return text;
}

bool ParseClassId(const std::wstring& text, CLSID* classId) {
  // {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}
  if (text.size() != 38 || text[0] != L'{' || text[37] != L'}') return false;
  unsigned char bytes[16];
  size_t count = 0;
  for (size_t i = 1; i < 37;) {
    if (i == 9 || i == 14 || i == 19 || i == 24) {
      if (text[i] != L'-') return false;
      ++i;
      continue;
    }
    const int high = HexDigit(text[i]);
    const int low = HexDigit(text[i + 1]);
    if (high < 0 || low < 0 || count == 16) return false;
    bytes[count++] = static_cast<unsigned char>(high * 16 + low);
    i += 2;
  }
  if (count != 16) return false;
  classId->Data1 = static_cast<unsigned long>(bytes[0]) << 24 |
                   static_cast<unsigned long>(bytes[1]) << 16 |
                   static_cast<unsigned long>(bytes[2]) << 8 | bytes[3];
  classId->Data2 = static_cast<unsigned short>(bytes[4] << 8 | bytes[5]);
  classId->Data3 = static_cast<unsigned short>(bytes[6] << 8 | bytes[7]);
  for (int i = 0; i < 8; ++i) classId->Data4[i] = bytes[8 + i];
  return true;
}

LoadedProvider::LoadedProvider(LoadedProvider&& other) noexcept
    : module_(std::move(other.module_)),
      factory_(other.factory_),
      provider_(other.provider_),
      displayName_(std::move(other.displayName_)),
      dllPath_(std::move(other.dllPath_)),
      classIdText_(std::move(other.classIdText_)),
      session_(other.session_),
      hasSession_(other.hasSession_) {
  other.factory_ = nullptr;
  other.provider_ = nullptr;
  other.hasSession_ = false;
}

LoadedProvider::~LoadedProvider() {
  if (provider_ != nullptr) {
    if (hasSession_) provider_->lpVtbl->CloseSession(provider_, session_);
    provider_->lpVtbl->Release(provider_);
    provider_ = nullptr;
  }
  if (factory_ != nullptr) {
    factory_->Release();
    factory_ = nullptr;
  }
  module_.reset();
}

HRESULT LoadedProvider::Load(const std::wstring& dllPath, const CLSID& classId,
                             std::wstring* failure) {
  dllPath_ = dllPath;
  classIdText_ = ClassIdText(classId);
  displayName_ = classIdText_;
  // An absolute path has the module's own directory searched for what it
  // imports, as for any in-process server.
  module_.reset(LoadLibraryExW(dllPath.c_str(), nullptr,
                               IsAbsolutePath(dllPath) ? LOAD_WITH_ALTERED_SEARCH_PATH : 0));
  if (!module_) {
    const HRESULT hr = HRESULT_FROM_WIN32(GetLastError());
    *failure = L"LoadLibraryExW failed with " + HexText(hr);
    return hr;
  }
  const auto getClassObject = reinterpret_cast<GetClassObjectFn>(
      reinterpret_cast<void*>(GetProcAddress(module_.get(), "DllGetClassObject")));
  if (getClassObject == nullptr) {
    *failure = L"the module has no DllGetClassObject";
    return HRESULT_FROM_WIN32(ERROR_PROC_NOT_FOUND);
  }
  void* factory = nullptr;
  HRESULT hr = getClassObject(classId, IID_IClassFactory, &factory);
  if (FAILED(hr) || factory == nullptr) {
    *failure = L"DllGetClassObject failed with " + HexText(hr);
    return FAILED(hr) ? hr : E_POINTER;
  }
  factory_ = static_cast<IClassFactory*>(factory);
  void* provider = nullptr;
  hr = factory_->CreateInstance(nullptr, IID_IAntimalwareProvider, &provider);
  if (FAILED(hr) || provider == nullptr) {
    *failure = L"IClassFactory::CreateInstance failed with " + HexText(hr);
    return FAILED(hr) ? hr : E_POINTER;
  }
  provider_ = static_cast<IAntimalwareProvider*>(provider);
  LPWSTR name = nullptr;
  if (SUCCEEDED(provider_->lpVtbl->DisplayName(provider_, &name)) && name != nullptr &&
      name[0] != L'\0') {
    displayName_ = name;
  }
  CoTaskMemFree(name);
  return S_OK;
}

HRESULT EnumerateRegisteredProviders(std::vector<RegisteredProvider>* providers) {
  providers->clear();
  HKEY opened = nullptr;
  const LSTATUS status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, ProvidersKey, 0,
                                       KEY_ENUMERATE_SUB_KEYS | OwnView, &opened);
  if (status == ERROR_FILE_NOT_FOUND) return S_FALSE;
  if (status != ERROR_SUCCESS) return HRESULT_FROM_WIN32(static_cast<DWORD>(status));
  UniqueRegistryKey key(opened);
  for (DWORD index = 0;; ++index) {
    wchar_t name[256];
    DWORD length = 256;
    const LSTATUS found =
        RegEnumKeyExW(key.get(), index, name, &length, nullptr, nullptr, nullptr, nullptr);
    if (found == ERROR_NO_MORE_ITEMS) break;
    if (found != ERROR_SUCCESS) return HRESULT_FROM_WIN32(static_cast<DWORD>(found));
    RegisteredProvider entry;
    entry.classIdText.assign(name, length);
    ReadDefaultValue(std::wstring(ClassesKey) + entry.classIdText + L"\\InprocServer32",
                     &entry.dllPath);
    providers->push_back(std::move(entry));
  }
  return S_OK;
}

bool LoadProviders(const ProviderChoice& choice, std::vector<LoadedProvider>* providers) {
  bool allLoaded = true;
  const bool signedOnly = SignedProvidersRequiredByMachine();
  auto load = [&](const std::wstring& dllPath, const CLSID& classId) {
    if (signedOnly) {
      const SignatureVerdict verdict = CheckProviderSignature(dllPath);
      if (!verdict.trusted()) {
        Err(L"provider " + ClassIdText(classId) + L" from " + dllPath + L": refused, " +
            verdict.reason);
        allLoaded = false;
        return;
      }
      Out(L"signature of " + dllPath + L": trusted\n");
    }
    LoadedProvider loaded;
    std::wstring failure;
    if (FAILED(loaded.Load(dllPath, classId, &failure))) {
      Err(L"provider " + ClassIdText(classId) + L" from " + dllPath + L": " + failure);
      allLoaded = false;
      return;
    }
    providers->push_back(std::move(loaded));
  };

  if (choice.direct) {
    wchar_t full[MAX_PATH * 2];
    const DWORD length = GetFullPathNameW(choice.dllPath.c_str(),
                                          sizeof full / sizeof full[0], full, nullptr);
    const bool resolved = length > 0 && length < sizeof full / sizeof full[0];
    load(resolved ? std::wstring(full, length) : choice.dllPath, choice.classId);
    return allLoaded;
  }

  std::vector<RegisteredProvider> registered;
  const HRESULT hr = EnumerateRegisteredProviders(&registered);
  if (FAILED(hr)) {
    Err(Format(L"cannot read the registered providers: 0x%08lX", static_cast<unsigned long>(hr)));
    return false;
  }
  for (const RegisteredProvider& entry : registered) {
    CLSID classId;
    if (!ParseClassId(entry.classIdText, &classId)) {
      Err(L"registered provider " + entry.classIdText + L": not a class id");
      allLoaded = false;
    } else if (entry.dllPath.empty()) {
      Err(L"registered provider " + entry.classIdText + L": no InprocServer32 path");
      allLoaded = false;
    } else {
      load(entry.dllPath, classId);
    }
  }
  return allLoaded;
}
