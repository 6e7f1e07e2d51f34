// Who the provider is, as hosts, registration and tests know it: its class
// identifier, its display name and this architecture's DLL file name.
#pragma once

#include <windows.h>

// {5D3A9C71-2E4B-4F86-A1C9-7B20E6D4F358}
inline constexpr CLSID ProviderClassId = {
    0x5d3a9c71, 0x2e4b, 0x4f86, {0xa1, 0xc9, 0x7b, 0x20, 0xe6, 0xd4, 0xf3, 0x58}};
// The same identifier in its braced registry form.
inline constexpr wchar_t ProviderClassIdText[] = L"{5D3A9C71-2E4B-4F86-A1C9-7B20E6D4F358}";

// "Kestrov Antivirus", as DisplayName hands it out and registration writes it.
inline constexpr wchar_t KestrovDisplayName[] = L"Kestrov Antivirus";
static_assert(sizeof KestrovDisplayName == 36, "17 characters and the terminator");

// The provider DLL of the architecture this is built for.
#ifdef _WIN64
inline constexpr wchar_t ProviderDllName[] = L"KestrovAmsi64.dll";
#else
inline constexpr wchar_t ProviderDllName[] = L"KestrovAmsi32.dll";
#endif

// The Windows service that serves the pipe, as the service control manager
// knows it.
inline constexpr wchar_t ScanServiceName[] = L"KestrovScanService";
