#include "com/provider.h"

#include "com/module.h"
#include "scan/scan.h"

#include <objbase.h>

#include <cstring>

namespace {

AmsiProvider* AsProvider(IAntimalwareProvider* self) {
  return reinterpret_cast<AmsiProvider*>(self);
}

HRESULT STDMETHODCALLTYPE ProviderQueryInterface(IAntimalwareProvider* self, REFIID riid,
                                                 void** object) {
  if (object == nullptr) return E_POINTER;
  if (SameGuid(riid, IID_IUnknown) || SameGuid(riid, IID_IAntimalwareProvider)) {
    *object = self;
    self->lpVtbl->AddRef(self);
    return S_OK;
  }
  *object = nullptr;
  return E_NOINTERFACE;
}

ULONG STDMETHODCALLTYPE ProviderAddRef(IAntimalwareProvider* self) {
  return static_cast<ULONG>(InterlockedIncrement(&AsProvider(self)->refCount));
}

ULONG STDMETHODCALLTYPE ProviderRelease(IAntimalwareProvider* self) {
  const LONG count = InterlockedDecrement(&AsProvider(self)->refCount);
  if (count == 0) {
    // The record goes first; only then may the module be unloaded.
    HeapFree(GetProcessHeap(), 0, self);
    InterlockedDecrement(&objectCount);
  }
  return static_cast<ULONG>(count);
}

void STDMETHODCALLTYPE ProviderCloseSession(IAntimalwareProvider*, ULONGLONG) {}

HRESULT STDMETHODCALLTYPE ProviderDisplayName(IAntimalwareProvider*, LPWSTR* displayName) {
  if (displayName == nullptr) return E_POINTER;
  // Stored before the test, so that a failed allocation leaves null behind.
  *displayName = static_cast<LPWSTR>(CoTaskMemAlloc(sizeof KestrovDisplayName));
  if (*displayName == nullptr) return E_OUTOFMEMORY;
  memcpy(*displayName, KestrovDisplayName, sizeof KestrovDisplayName);
  return S_OK;
}

}  // namespace

const IAntimalwareProviderVtbl ProviderFunctionTable = {
    ProviderQueryInterface, ProviderAddRef,       ProviderRelease,
    Scan,                   ProviderCloseSession, ProviderDisplayName};
