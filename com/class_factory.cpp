#include "com/class_factory.h"

#include "com/module.h"
#include "com/provider.h"

namespace {

HRESULT STDMETHODCALLTYPE FactoryQueryInterface(ClassFactory* self, REFIID riid, void** object) {
  if (object == nullptr) return E_POINTER;
  if (SameGuid(riid, IID_IUnknown) || SameGuid(riid, IID_IClassFactory)) {
    *object = self;  // static: no reference to count
    return S_OK;
  }
  *object = nullptr;
  return E_NOINTERFACE;
}

ULONG STDMETHODCALLTYPE FactoryAddRef(ClassFactory*) { return 2; }
ULONG STDMETHODCALLTYPE FactoryRelease(ClassFactory*) { return 1; }

HRESULT STDMETHODCALLTYPE FactoryCreateInstance(ClassFactory*, IUnknown* outer, REFIID riid,
                                                void** object) {
  if (object == nullptr) return E_POINTER;
  *object = nullptr;
  if (outer != nullptr) return CLASS_E_NOAGGREGATION;

  auto* provider =
      static_cast<AmsiProvider*>(HeapAlloc(GetProcessHeap(), 0, sizeof(AmsiProvider)));
  if (provider == nullptr) return E_OUTOFMEMORY;
  provider->lpVtbl = &ProviderFunctionTable;
  provider->refCount = 1;
  InterlockedIncrement(&objectCount);

  // The object's own QueryInterface hands it out (or refuses); the Release
  // that follows frees it again when it was refused.
  IAntimalwareProvider* const self = AsInterface(provider);
  const HRESULT result = self->lpVtbl->QueryInterface(self, riid, object);
  self->lpVtbl->Release(self);
  return result;
}

HRESULT STDMETHODCALLTYPE FactoryLockServer(ClassFactory*, BOOL lock) {
  if (lock) {
    InterlockedIncrement(&lockCount);
  } else {
    InterlockedDecrement(&lockCount);
  }
  return S_OK;
}

const ClassFactoryVtbl factoryFunctionTable = {FactoryQueryInterface, FactoryAddRef,
                                               FactoryRelease, FactoryCreateInstance,
                                               FactoryLockServer};

}  // namespace

ClassFactory ProviderClassFactory = {&factoryFunctionTable};
