// Module-wide state of the provider DLL and its COM entry points.
#pragma once

#include <windows.h>

// {5D3A9C71-2E4B-4F86-A1C9-7B20E6D4F358}
inline constexpr CLSID CLSID_KestrovAmsiProvider = {
    0x5d3a9c71, 0x2e4b, 0x4f86, {0xa1, 0xc9, 0x7b, 0x20, 0xe6, 0xd4, 0xf3, 0x58}};

// The DLL's own module handle, stored at process attach.
extern HINSTANCE moduleInstance;
// Live provider objects, and the balance of IClassFactory::LockServer calls.
// Changed only by interlocked increments and decrements.
extern LONG objectCount;
extern LONG lockCount;

// True when two GUIDs hold the same 16 bytes.
bool SameGuid(REFGUID a, REFGUID b);
