// Self-registration: the COM class with its in-process server, and the AMSI
// provider entry, all under HKEY_LOCAL_MACHINE in the caller's registry view.
#include "com/module.h"
#include "com/provider.h"
#include "platform/unique_handle.h"

#include <olectl.h>

namespace {

constexpr wchar_t ClassKeyFormat[] = L"Software\\Classes\\CLSID\\%s";
constexpr wchar_t InprocServerKeyFormat[] = L"Software\\Classes\\CLSID\\%s\\InprocServer32";
constexpr wchar_t ProviderKeyFormat[] = L"Software\\Microsoft\\AMSI\\Providers\\%s";
constexpr DWORD KeyPathChars = 160;

void FormatKeyPath(wchar_t (&path)[KeyPathChars], const wchar_t* format) {
  wsprintfW(path, format, ProviderClassIdText);
}

// Opens (creating where missing) the key at `path` and writes one REG_SZ
// value with its terminator; the key is closed before the write's result is
// looked at. Registration is not transactional: what was written before a
// failure stays.
bool WriteValue(const wchar_t* path, const wchar_t* name, const wchar_t* data) {
  HKEY opened = nullptr;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, path, 0, nullptr, REG_OPTION_NON_VOLATILE,
                      KEY_SET_VALUE, nullptr, &opened, nullptr) != ERROR_SUCCESS) {
    return false;
  }
  UniqueRegistryKey key(opened);
  const DWORD bytes = static_cast<DWORD>(lstrlenW(data) + 1) * DWORD{sizeof(wchar_t)};
  const LSTATUS written =
      RegSetValueExW(key.get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(data), bytes);
  key.reset();
  return written == ERROR_SUCCESS;
}

}  // namespace

extern "C" HRESULT STDAPICALLTYPE DllRegisterServer() {
  wchar_t modulePath[MAX_PATH];
  const DWORD length = GetModuleFileNameW(moduleInstance, modulePath, MAX_PATH);
  // 0 is failure; MAX_PATH means the path was cut short (and may lack its
  // terminator), and registering it would name a file that does not exist.
  if (length == 0 || length >= MAX_PATH) return E_FAIL;

  wchar_t path[KeyPathChars];
  FormatKeyPath(path, ClassKeyFormat);
  if (!WriteValue(path, nullptr, KestrovDisplayName)) return SELFREG_E_CLASS;
  FormatKeyPath(path, InprocServerKeyFormat);
  if (!WriteValue(path, nullptr, modulePath)) return SELFREG_E_CLASS;
  if (!WriteValue(path, L"ThreadingModel", L"Both")) return SELFREG_E_CLASS;
  FormatKeyPath(path, ProviderKeyFormat);
  if (!WriteValue(path, nullptr, KestrovDisplayName)) return SELFREG_E_CLASS;
  return S_OK;
}

extern "C" HRESULT STDAPICALLTYPE DllUnregisterServer() {
  // The provider entry first, then the class with its InprocServer32 key;
  // their parents stay. Nothing to delete is no failure.
  wchar_t path[KeyPathChars];
  FormatKeyPath(path, ProviderKeyFormat);
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, path);
  FormatKeyPath(path, ClassKeyFormat);
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, path);
  return S_OK;
}
