#include "testkit/provider_dll.h"

#include "testkit/child_process.h"
#include "testkit/failure.h"

std::wstring ProviderDllPath() { return ProgramDirectory() + ProviderDllName; }

namespace {

// GetProcAddress's result typed as the export really is.
template <typename F>
F Export(HMODULE module, const char* name) {
  return reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

std::string Hex(HRESULT hr) {
  char text[16];
  snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(hr));
  return text;
}

}  // namespace

bool ProviderDll::Load(const std::wstring& path) {
  module = LoadLibraryW(path.c_str());
  if (module == nullptr) {
    ReportKitFailure("LoadLibraryW failed with " + std::to_string(GetLastError()));
    return false;
  }
  getClassObject = Export<GetClassObjectFn>(module, "DllGetClassObject");
  canUnloadNow = Export<NoArgumentFn>(module, "DllCanUnloadNow");
  registerServer = Export<NoArgumentFn>(module, "DllRegisterServer");
  unregisterServer = Export<NoArgumentFn>(module, "DllUnregisterServer");
  if (!getClassObject || !canUnloadNow || !registerServer || !unregisterServer) {
    ReportKitFailure("an export is missing");
    return false;
  }
  return true;
}

ProviderDll::~ProviderDll() {
  if (module != nullptr) FreeLibrary(module);
}

IClassFactory* ProviderDll::Factory() {
  void* factory = nullptr;
  const HRESULT hr = getClassObject(ProviderClassId, IID_IClassFactory, &factory);
  if (hr != S_OK) ReportKitFailure("DllGetClassObject returned " + Hex(hr));
  return static_cast<IClassFactory*>(factory);
}

IAntimalwareProvider* ProviderDll::NewProvider() {
  IClassFactory* factory = Factory();
  if (factory == nullptr) return nullptr;
  void* provider = nullptr;
  const HRESULT hr = factory->CreateInstance(nullptr, IID_IAntimalwareProvider, &provider);
  if (hr != S_OK) ReportKitFailure("CreateInstance returned " + Hex(hr));
  return static_cast<IAntimalwareProvider*>(provider);
}

HRESULT LoadBuiltProvider(LoadedProvider* loaded, std::wstring* failure) {
  return loaded->Load(ProviderDllPath(), ProviderClassId, failure);
}
