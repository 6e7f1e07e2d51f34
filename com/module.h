// Module-wide state of the provider DLL and its COM entry points.
#pragma once

#include "protocol/provider_identity.h"  // ProviderClassId

#include <windows.h>

// The DLL's own module handle, stored at process attach.
extern HINSTANCE moduleInstance;
// Live provider objects, and the balance of IClassFactory::LockServer calls.
// Changed only by interlocked increments and decrements.
extern LONG objectCount;
extern LONG lockCount;

// True when two GUIDs hold the same 16 bytes.
bool SameGuid(REFGUID a, REFGUID b);
