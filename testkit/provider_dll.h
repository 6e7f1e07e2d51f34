// The provider DLL as built, beside the program: loaded directly to reach
// its exports, or the way the AMSI host loads it.
#pragma once

#include "host/provider_host.h"
#include "platform/amsi.h"
#include "protocol/provider_identity.h"

#include <unknwn.h>

#include <string>

// ProviderDllName in this program's directory.
std::wstring ProviderDllPath();

// The DLL loaded with LoadLibraryW, its exports typed.
struct ProviderDll {
  using GetClassObjectFn = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, LPVOID*);
  using NoArgumentFn = HRESULT(STDAPICALLTYPE*)();

  // False (reported) if the DLL or an export is missing.
  bool Load(const std::wstring& path = ProviderDllPath());
  ~ProviderDll();

  // The class factory, through DllGetClassObject; null (reported) on failure.
  IClassFactory* Factory();
  // A new provider from the factory, or null (reported).
  IAntimalwareProvider* NewProvider();

  HMODULE module = nullptr;
  GetClassObjectFn getClassObject = nullptr;
  NoArgumentFn canUnloadNow = nullptr;
  NoArgumentFn registerServer = nullptr;
  NoArgumentFn unregisterServer = nullptr;
};

// One provider of the built DLL, created as the AMSI host creates it
// (DllGetClassObject, IClassFactory::CreateInstance); see LoadedProvider.
HRESULT LoadBuiltProvider(LoadedProvider* loaded, std::wstring* failure);
