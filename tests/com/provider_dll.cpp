#include "tests/com/provider_dll.h"

#include "tests/support/test_service.h"

#include <gtest/gtest.h>

std::wstring ProviderDllPath() { return TestProgramDirectory() + ProviderDllName; }

namespace {

// GetProcAddress's result typed as the export really is.
template <typename F>
F Export(HMODULE module, const char* name) {
  return reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

}  // namespace

bool ProviderDll::Load(const std::wstring& path) {
  module = LoadLibraryW(path.c_str());
  if (module == nullptr) {
    ADD_FAILURE() << "LoadLibraryW failed with " << GetLastError();
    return false;
  }
  getClassObject = Export<GetClassObjectFn>(module, "DllGetClassObject");
  canUnloadNow = Export<NoArgumentFn>(module, "DllCanUnloadNow");
  registerServer = Export<NoArgumentFn>(module, "DllRegisterServer");
  unregisterServer = Export<NoArgumentFn>(module, "DllUnregisterServer");
  if (!getClassObject || !canUnloadNow || !registerServer || !unregisterServer) {
    ADD_FAILURE() << "an export is missing";
    return false;
  }
  return true;
}

ProviderDll::~ProviderDll() {
  if (module != nullptr) FreeLibrary(module);
}

IClassFactory* ProviderDll::Factory() {
  void* factory = nullptr;
  EXPECT_EQ(getClassObject(ProviderClassId, IID_IClassFactory, &factory), S_OK);
  return static_cast<IClassFactory*>(factory);
}

IAntimalwareProvider* ProviderDll::NewProvider() {
  IClassFactory* factory = Factory();
  if (factory == nullptr) return nullptr;
  void* provider = nullptr;
  EXPECT_EQ(factory->CreateInstance(nullptr, IID_IAntimalwareProvider, &provider), S_OK);
  return static_cast<IAntimalwareProvider*>(provider);
}
