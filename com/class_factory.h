// The one class object of the provider's class.
#pragma once

#include <windows.h>
#include <unknwn.h>

struct ClassFactory;
// The IClassFactory function table, in the platform's slot order.
struct ClassFactoryVtbl {
  HRESULT(STDMETHODCALLTYPE* QueryInterface)(ClassFactory* self, REFIID riid, void** object);
  ULONG(STDMETHODCALLTYPE* AddRef)(ClassFactory* self);
  ULONG(STDMETHODCALLTYPE* Release)(ClassFactory* self);
  HRESULT(STDMETHODCALLTYPE* CreateInstance)(ClassFactory* self, IUnknown* outer, REFIID riid,
                                             void** object);
  HRESULT(STDMETHODCALLTYPE* LockServer)(ClassFactory* self, BOOL lock);
};
// A record with no reference count: the factory is static and never freed.
struct ClassFactory {
  const ClassFactoryVtbl* lpVtbl;
};

extern ClassFactory ProviderClassFactory;
