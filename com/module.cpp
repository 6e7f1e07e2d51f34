#include "com/module.h"

#include "com/class_factory.h"
#include "scan/directory_key.h"

#include <cstring>

HINSTANCE moduleInstance = nullptr;
LONG objectCount = 0;
LONG lockCount = 0;

bool SameGuid(REFGUID a, REFGUID b) { return memcmp(&a, &b, sizeof(GUID)) == 0; }

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID /*reserved*/) {
  // Detach does no clean-up: the module owns nothing that needs it.
  if (reason != DLL_PROCESS_ATTACH) return TRUE;
  moduleInstance = instance;
  DisableThreadLibraryCalls(instance);
  // An empty key (no path, or one too long) is no reason to refuse the load:
  // every server is rejected then, and every scan is not detected.
  InitModuleDirectoryKey(instance);
  return TRUE;
}

extern "C" HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID classId, REFIID interfaceId,
                                                    LPVOID* object) {
  if (object == nullptr) return E_POINTER;
  *object = nullptr;
  if (!SameGuid(classId, ProviderClassId)) return CLASS_E_CLASSNOTAVAILABLE;
  return ProviderClassFactory.lpVtbl->QueryInterface(&ProviderClassFactory, interfaceId, object);
}

extern "C" HRESULT STDAPICALLTYPE DllCanUnloadNow() {
  return objectCount == 0 && lockCount == 0 ? S_OK : S_FALSE;
}
