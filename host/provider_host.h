// Providers loaded the way the AMSI host loads them: from the registered
// in-process servers, or from one DLL named directly.
#pragma once

#include "platform/amsi.h"
#include "platform/unique_handle.h"

#include <unknwn.h>

#include <string>
#include <vector>

// Modules from LoadLibraryExW.
struct LibraryModuleTraits {
  using Type = HMODULE;
  static Type Invalid() noexcept { return nullptr; }
  static void Close(Type module) noexcept { FreeLibrary(module); }
};
using UniqueLibraryModule = UniqueResource<LibraryModuleTraits>;

// One provider object with the class factory and the module it came from.
// Destruction is the host's teardown: CloseSession(session) when a session
// was set, then the provider, the factory and the module are released in
// that order.
class LoadedProvider {
 public:
  LoadedProvider() = default;
  ~LoadedProvider();
  LoadedProvider(LoadedProvider&& other) noexcept;
  LoadedProvider& operator=(LoadedProvider&&) = delete;
  LoadedProvider(const LoadedProvider&) = delete;
  LoadedProvider& operator=(const LoadedProvider&) = delete;

  // Loads `dllPath`, asks its DllGetClassObject for the factory of `classId`
  // and creates one provider. On failure, `failure` tells which step failed.
  HRESULT Load(const std::wstring& dllPath, const CLSID& classId, std::wstring* failure);

  IAntimalwareProvider* provider() const { return provider_; }
  // The provider's DisplayName, or the class id when it has none.
  const std::wstring& displayName() const { return displayName_; }
  const std::wstring& dllPath() const { return dllPath_; }
  const std::wstring& classIdText() const { return classIdText_; }
  // The session closed on this provider at teardown.
  void SetSession(ULONGLONG session) {
    session_ = session;
    hasSession_ = true;
  }

 private:
  UniqueLibraryModule module_;
  IClassFactory* factory_ = nullptr;
  IAntimalwareProvider* provider_ = nullptr;
  std::wstring displayName_, dllPath_, classIdText_;
  ULONGLONG session_ = 0;
  bool hasSession_ = false;
};

// A provider registered under HKLM\Software\Microsoft\AMSI\Providers.
struct RegisteredProvider {
  std::wstring classIdText;  // the subkey name
  std::wstring dllPath;      // InprocServer32's default value; empty if missing
};

// The registered providers in this process's registry view, in enumeration
// order. S_FALSE when the Providers key does not exist.
HRESULT EnumerateRegisteredProviders(std::vector<RegisteredProvider>* providers);

// Which providers a host run loads: one DLL and class named directly, or
// every registered one.
struct ProviderChoice {
  bool direct = false;
  std::wstring dllPath;
  CLSID classId = {};
};
// Loads the chosen providers; false when any of them failed (reported on
// standard error). Those that loaded are kept either way.
bool LoadProviders(const ProviderChoice& choice, std::vector<LoadedProvider>* providers);

// The class id in its braced text form, and back.
std::wstring ClassIdText(const CLSID& classId);
bool ParseClassId(const std::wstring& text, CLSID* classId);
