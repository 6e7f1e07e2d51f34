// Loading the built provider DLL into a test and reaching its exports.
#pragma once

#include "platform/amsi.h"

#include <unknwn.h>

#include <string>

// {5D3A9C71-2E4B-4F86-A1C9-7B20E6D4F358}, as a host knows it.
inline constexpr CLSID ProviderClassId = {
    0x5d3a9c71, 0x2e4b, 0x4f86, {0xa1, 0xc9, 0x7b, 0x20, 0xe6, 0xd4, 0xf3, 0x58}};
inline constexpr wchar_t ProviderClassIdText[] = L"{5D3A9C71-2E4B-4F86-A1C9-7B20E6D4F358}";

// KestrovAmsi64.dll or KestrovAmsi32.dll, whichever matches the test.
const wchar_t* ProviderDllName();
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
