// Loading the built provider DLL into a test and reaching its exports.
#pragma once

#include "platform/amsi.h"
#include "protocol/provider_identity.h"

#include <unknwn.h>

#include <string>

// The DLL as built, beside the tests.
std::wstring ProviderDllPath();

struct ProviderDll {
  using GetClassObjectFn = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, LPVOID*);
  using NoArgumentFn = HRESULT(STDAPICALLTYPE*)();

  // Loads the DLL with LoadLibraryW; false (with a test failure) if it or an
  // export is missing.
  bool Load(const std::wstring& path = ProviderDllPath());
  ~ProviderDll();

  // The class factory, through DllGetClassObject.
  IClassFactory* Factory();
  // A new provider from the factory, or null.
  IAntimalwareProvider* NewProvider();

  HMODULE module = nullptr;
  GetClassObjectFn getClassObject = nullptr;
  NoArgumentFn canUnloadNow = nullptr;
  NoArgumentFn registerServer = nullptr;
  NoArgumentFn unregisterServer = nullptr;
};
